// SMTP lines, message data and MTA replies of arbitrary bytes: recognition and rewriting end
// and stay inside their input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/SmtpText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    std::string in(reinterpret_cast<const char*>(data), size);
    using namespace core::smtp;
    RecognizeCommand(in, size % 2 == 0);
    RecognizeData(in);
    // Wherever the data is split, the end is found at the same place and the same lines are
    // written; what is written has only CR LF line ends and ends for a strict reader exactly
    // there.
    DataNormalizer whole, split;
    whole.Reset(DataNormalizer::Kind::Data);
    split.Reset(DataNormalizer::Kind::Data);
    std::string out_whole, out_split;
    const size_t end = whole.Feed(in, &out_whole), cut = size / 2;
    size_t found = split.Feed(std::string_view(in).substr(0, cut), &out_split);
    if (found == std::string::npos) {
        found = split.Feed(std::string_view(in).substr(cut), &out_split);
        if (found != std::string::npos) found += cut;
    }
    if (found != end || (end != std::string::npos && end > in.size())) std::abort();
    if (out_split != out_whole) std::abort();
    for (size_t i = 0; i < out_whole.size(); ++i) {
        const bool bare_cr = out_whole[i] == '\r' && (i + 1 == out_whole.size() || out_whole[i + 1] != '\n');
        const bool bare_lf = out_whole[i] == '\n' && (i == 0 || out_whole[i - 1] != '\r');
        if (bare_cr || bare_lf) std::abort();
    }
    if (end != std::string::npos) {
        const size_t final_line = out_whole.size() - 3;
        DataNormalizer strict;
        strict.Reset(DataNormalizer::Kind::Data);
        if (strict.Feed(out_whole, nullptr) != out_whole.size() || out_whole.compare(final_line, 3, ".\r\n") != 0)
            std::abort();
    }
    std::string removed;
    const std::string edited = RemoveExtensions(in, &removed);
    if (edited.size() > in.size()) std::abort();
    CompleteReplies(in);
    IsAmbiguousLine(in);
    std::string insert = "250-X\r\n", drop = in.substr(0, size / 3);
    EditReply(in, &insert, &drop);
    IsCountedError(in);
    ModifyHeaderSubject(in, "[T]", size % 3 == 0);
    WriteHeaderMessage(in, "X-T: 1");
    // Our field goes first, only forged fields go, and the body after the header is untouched.
    const std::string ours = "Authentication-Results: mx.t; spf=none\r\n";
    const std::string with = WithAuthenticationResults(in, "mx.t", "mx.t; spf=none");
    if (with.compare(0, ours.size(), ours) != 0 || with.size() > in.size() + ours.size()) std::abort();
    if (const size_t blank = in.find("\r\n\r\n"); blank != std::string::npos) {
        const std::string body = in.substr(blank + 2);
        if (with.size() < body.size() || with.compare(with.size() - body.size(), body.size(), body) != 0) std::abort();
    }
    return 0;
}
