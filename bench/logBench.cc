// What a log message costs the calling thread: a masked-out message, and a
// queued one (formatting, one allocation, one queue operation).
#include <apr_general.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>

#include "runtime/logging.h"

namespace {

struct LogFixture {
  LogFixture() {
    char dir[] = "/tmp/vorlan-bench-XXXXXX";
    dir_ = mkdtemp(dir);
    path_ = dir_ + "/bench.log";
    vorlan::openLog(&log, 0, 1 << 20, 3, path_.c_str());
  }
  ~LogFixture() {
    vorlan::closeLog(log);
    std::string cmd = "rm -rf " + dir_;
    if (system(cmd.c_str()) != 0) {
    }
  }
  LogContext* log = nullptr;
  std::string dir_, path_;
};

void BM_MaskedMessage(benchmark::State& state) {
  LogFixture f;
  for (auto _ : state)
    benchmark::DoNotOptimize(
        vorlan::writeLog(vorlan::kLogEntry, f.log, "%s: %d", "bench", 1));
}
BENCHMARK(BM_MaskedMessage);

void BM_QueuedMessage(benchmark::State& state) {
  LogFixture f;
  for (auto _ : state) {
    int rc = vorlan::writeLog(vorlan::kLogInfo, f.log, "message %d %s: %d", 42,
                              "bench", 1);
    if (rc != 0) state.SkipWithError("queue full");
  }
}
BENCHMARK(BM_QueuedMessage)->Iterations(200000);

}  // namespace

int main(int argc, char** argv) {
  apr_initialize();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  apr_terminate();
  return 0;
}
