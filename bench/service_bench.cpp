// The XML log is written by the main thread for every drained item: its cost bounds how many
// traced SMTP lines per second the kernel can log at level 2.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>

#include "log/LogQueue.h"
#include "log/LogXML.h"

namespace {

void BM_LogXMLWrite(benchmark::State& state) {
    std::string path = "/tmp/morvane_bench_log_" + std::to_string(::getpid()) + ".xml";
    ::unlink(path.c_str());
    logging::LogXML log;
    log.Open(path, "bench");
    log.SetLevel(2);
    for (auto _ : state) log.Write(2, "fr<-cl : RCPT TO:<someone@example.org>", "LauchAntispam", "Run", "SYS", 4711);
    log.Close();
    ::unlink(path.c_str());
}
BENCHMARK(BM_LogXMLWrite);

void BM_LogQueueAddAndDrain(benchmark::State& state) {
    logging::CLogQueue session, engine;
    for (auto _ : state) {
        for (int i = 0; i < 16; ++i) session.AddLog(2, "fr->cl : 250 OK", "LauchAntispam", "Run", "SYS", 0);
        session.MoveTo(engine, 7);
        benchmark::DoNotOptimize(engine.TakeAll().size());
    }
    state.SetItemsProcessed(state.iterations() * 16);
}
BENCHMARK(BM_LogQueueAddAndDrain);

}  // namespace
