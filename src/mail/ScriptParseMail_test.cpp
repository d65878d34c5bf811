#include "mail/ScriptParseMail.h"

#include <gtest/gtest.h>

#include "script/Imports.h"
#include "script/Interpreter.h"

namespace mail {
namespace {

TEST(ScriptParseMailTest, ScriptsParseTheirOwnMessages) {
    RegisterMailImportables();
    script::Interpreter in;
    auto pre = in.PreprocessText(R"cs(#import(class, CS_ParseMail)
        int main() {
            CS_ParseMail m = new CS_ParseMail();
            m.AddStreaming("Subject: Hi\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n");
            m.AddStreaming("--B\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\nhello\r\n--B--\r\n");
            if (!m.Parse()) return 1;
            if (m.GetSubject() != "Hi") return 2;
            if (m.GetAttachmentCount() != 1) return 3;
            if (m.GetAttachmentContentType(0) != "text/plain" || m.GetAttachmentCharset(0) != "utf-8") return 4;
            if (m.GetAttachmentBuffer(5) != "" || m.GetAttachmentBuffer(-1) != "") return 5;
            if (m.GetLen() < 50) return 6;
            return 0;
        })cs",
                                 "t.cs");
    script::RegisterImports(in);
    ASSERT_TRUE(pre && in.LoadByRam(*pre)) << in.CollectDiagnostics();
    EXPECT_EQ(in.Run("main"), 0) << in.CollectDiagnostics();
}

}  // namespace
}  // namespace mail
