// DNS replies of arbitrary bytes: the reader never reads past the message and never loops.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "checks/DnsMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view msg(reinterpret_cast<const char*>(data), size);
    auto reply = checks::ParseReply(msg);
    if (reply && reply->answers.size() > checks::kMaxAnswers) std::abort();
    if (reply) checks::ReplyMatches(*reply, reply->id, reply->question);
    if (size > 2) checks::BuildQuery(static_cast<uint16_t>(data[0]), msg.substr(2), data[1]);
    return 0;
}
