#pragma once
// The script class CS_ParseMail: a mail parser a script creates and owns. Register with
// RegisterMailImportables once at start.
#include <cstdint>
#include <string>

#include "mail/ParseMail.h"

namespace mail {

class CS_ParseMail : public CParseMail {
public:
    void AddStreamingText(const char* text) {
        if (text) AddStreaming(text);
    }
    std::string GetAttachmentBuffer(int32_t index) const { return Field(index, &MailPart::body); }
    std::string GetAttachmentContentType(int32_t index) const { return Field(index, &MailPart::content_type); }
    std::string GetAttachmentContentTransferEncoding(int32_t index) const {
        return Field(index, &MailPart::transfer_encoding);
    }
    std::string GetAttachmentCharset(int32_t index) const { return Field(index, &MailPart::charset); }
    int32_t GetAttachmentCount() const { return static_cast<int32_t>(Parts().size()); }
    // The raw message's length up to its first zero byte.
    int32_t GetLen() const {
        return static_cast<int32_t>(Raw().find('\0') == std::string::npos ? Raw().size() : Raw().find('\0'));
    }

private:
    std::string Field(int32_t index, std::string MailPart::*field) const {
        const MailPart* p = Part(index);
        return p ? p->*field : std::string();
    }
};

void RegisterMailImportables();

}  // namespace mail
