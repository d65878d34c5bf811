// The parse every message gets: a 30 KB multipart message (what a session hands the parser).
#include <benchmark/benchmark.h>

#include <string>

#include "mail/ParseMail.h"

namespace {

std::string Message30K() {
    std::string m =
        "Received: from mx.example.org (mx.example.org [192.0.2.1]) by mail.example.net\r\n"
        "From: \"Sender\" <sender@example.org>\r\nTo: rcpt@example.net\r\nSubject: Quarterly report\r\n"
        "Message-Id: <abc.123@example.org>\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"----=_Part_1234\"\r\n\r\nThis is a multi-part message.\r\n";
    std::string text;
    while (text.size() < 6000) text += "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod.\r\n";
    std::string b64;
    while (b64.size() < 20000) b64 += "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5ejAx\r\n";
    m += "------=_Part_1234\r\nContent-Type: text/plain; charset=\"utf-8\"\r\nContent-Transfer-Encoding: 7bit\r\n\r\n" +
         text;
    m += "------=_Part_1234\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: "
         "quoted-printable\r\n\r\n<p>" +
         text.substr(0, 2000) + "</p>\r\n";
    m += "------=_Part_1234\r\nContent-Type: application/pdf; name=\"r.pdf\"\r\nContent-Transfer-Encoding: "
         "base64\r\n\r\n" +
         b64;
    m += "------=_Part_1234--\r\n";
    return m.substr(0, 30720);
}

void BM_Parse30KMultipart(benchmark::State& state) {
    const std::string msg = Message30K();
    for (auto _ : state) {
        mail::CParseMail m;
        m.AddStreaming(msg);
        m.Parse();
        benchmark::DoNotOptimize(m.Parts().size());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(msg.size()));
}
BENCHMARK(BM_Parse30KMultipart);

}  // namespace
