// Benchmark support: cached data files and the ratio reporter.
#include "bench/BenchSupport.h"

#include "host/Env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kzvol::bench {

std::string CachedDataFile(const std::string& name, unsigned long long bytes) {
    const char* dir = std::getenv("KZVOL_BENCH_DIR");
    std::string path = std::string(dir && *dir ? dir : "/var/tmp") + "/" + name;
    struct stat st;
    std::vector<char> block(1 << 20);
    if (::stat(path.c_str(), &st) != 0 || static_cast<unsigned long long>(st.st_size) != bytes) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) {
            std::perror(path.c_str());
            std::exit(2);
        }
        for (unsigned long long done = 0; done < bytes; done += block.size()) {
            for (size_t i = 0; i < block.size(); i += 4096)
                block[i] = static_cast<char>(done + i + 1);
            size_t n =
                static_cast<size_t>(std::min<unsigned long long>(block.size(), bytes - done));
            if (::write(fd, block.data(), n) != static_cast<ssize_t>(n))
                std::exit(2);
        }
        ::close(fd);
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (::read(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
    return path;
}

namespace {
class QuietEnv : public EnvWrapper {
  public:
    QuietEnv() : EnvWrapper(Env::Default()) {}
    void Log(LogKind, int, const std::string&, const std::string&) override {}
    bool DebugLevelShown(int) override { return false; }
};
}  // namespace

void SilenceLibraryLog() {
    static QuietEnv quiet;
    SetEnv(&quiet);
}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
        if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median")
            continue;
        auto it = r.counters.find("bytes_per_second");
        if (it == r.counters.end())
            continue;
        auto& [sum, n] = rate_[r.run_name.function_name];
        sum += it->second.value;
        ++n;
    }
}

void RatioReporter::Finalize() {
    ConsoleReporter::Finalize();
    for (const auto& [subject, peer] : pairs_) {
        if (!rate_.count(subject) || !rate_.count(peer))
            continue;
        double a = rate_[subject].first / rate_[subject].second;
        double b = rate_[peer].first / rate_[peer].second;
        std::printf("ratio %s / %s (mean throughput over %d alternating runs each): %.3f\n",
                    subject.c_str(), peer.c_str(), rate_[subject].second, a / b);
    }
}

}  // namespace kzvol::bench
