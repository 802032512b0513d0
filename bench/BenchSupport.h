// Shared pieces of the benchmarks: a data file kept in the page cache and a
// reporter that prints the throughput ratio of a benchmark against its peer
// measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kzvol::bench {

// Path of a file of `bytes` bytes of non-zero data under $KZVOL_BENCH_DIR (default
// /var/tmp), created once and read through once so that it sits in the page cache.
std::string CachedDataFile(const std::string& name, unsigned long long bytes);

// Drops the library's log lines while a benchmark runs.
void SilenceLibraryLog();

// Console reporter that averages the bytes_per_second of each benchmark over its
// runs (register subject and peer alternately several times) and at the end prints,
// per (subject, peer) pair, subject throughput / peer throughput.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    explicit RatioReporter(std::vector<std::pair<std::string, std::string>> pairs)
        : pairs_(std::move(pairs)) {}
    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

  private:
    std::vector<std::pair<std::string, std::string>> pairs_;
    std::map<std::string, std::pair<double, int>> rate_;
};

}  // namespace kzvol::bench
