#pragma once
// CParseMail: splits one mail message into the pieces the checks and scripts look at: header
// block, body, a few header fields (subject, from, to, content type, charset, transfer
// encoding, boundary, Message-Id domain) and, for a multipart message, its parts. A light,
// pattern-driven splitter: it never decodes base64 or quoted-printable and never descends into
// nested multiparts; part bodies stay exactly as they stand.
//
// Parse never clears what an earlier Parse produced (fields are overwritten only where found
// again, parts are appended): call Reset before each new message. One thread at a time.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mail {

// What the checks are shown of a message: its first this many bytes. A session holds no more
// before its verdict (the hold limit), and the tools cut message files alike.
inline constexpr size_t kAnalysedBytes = 30720;

struct MailPart {
    std::string content_type;  // lower case
    std::string body;          // as it stands, after the part's blank line
    std::string charset;
    std::string transfer_encoding;
};

class CParseMail {
public:
    bool LoadMail(const char* text);
    void AddStreaming(std::string_view text);
    // Appends the file's content, in 1024-byte blocks each cut at its first zero byte. True
    // unless `path` is null, also when the file cannot be read (nothing is appended then).
    bool LoadFromFile(const char* path);
    bool Parse();
    bool SaveToFile(const char* path) const;
    void Reset();

    const std::string& Raw() const { return raw_; }
    const std::string& Header() const { return header_; }
    const std::string& Body() const { return body_; }
    const std::string& Subject() const { return subject_; }
    const std::string& From() const { return from_; }
    const std::string& To() const { return to_; }
    const std::string& ContentType() const { return content_type_; }
    const std::string& Charset() const { return charset_; }
    const std::string& TransferEncoding() const { return transfer_encoding_; }
    const std::string& Boundary() const { return boundary_; }
    const std::string& MessageIdDomain() const { return message_id_domain_; }
    const std::vector<MailPart>& Parts() const { return parts_; }
    // The part at `index`, or nullptr outside 0..count-1.
    const MailPart* Part(int index) const;

private:
    std::string raw_, header_, body_, subject_, from_, to_, content_type_, charset_, transfer_encoding_, boundary_,
        message_id_domain_;
    std::vector<MailPart> parts_;
};

}  // namespace mail
