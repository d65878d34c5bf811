#include "mail/ScriptParseMail.h"

#include "script/Bind.h"
#include "script/Imports.h"

namespace mail {

// The getters' texts are copied into the script's values, so a script keeps them after the
// parser changes.
void RegisterMailImportables() {
    script::RegisterImportable("CS_ParseMail", [](script::Interpreter& in) {
        using P = CS_ParseMail;
        auto c = std::make_unique<script::ExternClass<P>>("CS_ParseMail");
        c->Method("AddStreaming", &P::AddStreamingText)
            .Method("GetBody", &P::Body)
            .Method("GetHeader", &P::Header)
            .Method("GetSubject", &P::Subject)
            .Method("GetRawEmail", &P::Raw)
            .Method("GetMailFrom", &P::From)
            .Method("GetMailTo", &P::To)
            .Method("GetContentTransferEncoding", &P::TransferEncoding)
            .Method("GetCharset", &P::Charset)
            .Method("GetContentType", &P::ContentType)
            .Method("GetAttachmentCount", &P::GetAttachmentCount)
            .Method("GetLen", &P::GetLen)
            .Method("Parse", &P::Parse)
            .Method("GetAttachmentBuffer", &P::GetAttachmentBuffer)
            .Method("GetAttachmentContentType", &P::GetAttachmentContentType)
            .Method("GetAttachmentContentTransferEncoding", &P::GetAttachmentContentTransferEncoding)
            .Method("GetAttachmentCharset", &P::GetAttachmentCharset)
            .Method("LoadMail", &P::LoadMail)
            .Method("LoadFromFile", &P::LoadFromFile);
        in.AddExternClass("CS_ParseMail", std::move(c));
    });
}

}  // namespace mail
