#include "store/DbkFormat.h"

#include "common/Coding.h"

namespace store::dbk {

int MagicVersion(std::string_view bytes) {
    if (bytes.size() < kMagicSize) return 0;
    std::string_view magic = bytes.substr(0, kMagicSize);
    if (magic == kMagicV2) return 2;
    if (magic == kMagicV1) return 1;
    return 0;
}

std::optional<int32_t> ConsumeI32(std::string_view& in) {
    if (in.size() < 4) return std::nullopt;
    const uint32_t v = common::GetLe32(in, 0);
    in.remove_prefix(4);
    return static_cast<int32_t>(v);
}

void AppendI32(std::string& out, int32_t v) {
    common::PutLe32(out, static_cast<uint32_t>(v));
}

std::optional<RecordView> ConsumeRecord(std::string_view& in) {
    std::string_view rest = in;
    auto ts = ConsumeI32(rest);
    auto klen = ConsumeI32(rest);
    auto dlen = ConsumeI32(rest);
    if (!ts || !klen || !dlen) return std::nullopt;
    if (*klen < 1 || *klen > kMaxField || *dlen < 1 || *dlen > kMaxField) return std::nullopt;
    size_t need = static_cast<size_t>(*klen) + static_cast<size_t>(*dlen);
    if (rest.size() < need) return std::nullopt;
    RecordView r{*ts, rest.substr(0, static_cast<size_t>(*klen)),
                 rest.substr(static_cast<size_t>(*klen), static_cast<size_t>(*dlen))};
    rest.remove_prefix(need);
    in = rest;
    return r;
}

}  // namespace store::dbk
