// FileIO::ReadLine over a page-cached 1 GiB file of 100-byte lines, against
// std::getline on an ifstream and against a plain read + memchr loop over the same
// file, in the same run. One benchmark iteration is one pass over the whole file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "checksum/FileIO.h"

namespace {

constexpr unsigned long long kFileBytes = 1ULL << 30;
constexpr size_t kLineBytes = 100;  // 99 characters and the newline
constexpr size_t kPlainBuffer = 128 * 1024;

[[noreturn]] void Die(const std::string& what) {
    std::perror(what.c_str());
    std::exit(2);
}

// Creates the file once (the last line is shorter: 2^30 is no multiple of 100) and
// reads it through so that it sits in the page cache.
const std::string& LinesFile() {
    static const std::string path = [] {
        const char* dir = std::getenv("KZVOL_BENCH_DIR");
        std::string p = std::string(dir && *dir ? dir : "/var/tmp") + "/kzvol-lines.dat";
        struct stat st;
        if (::stat(p.c_str(), &st) != 0 ||
            static_cast<unsigned long long>(st.st_size) != kFileBytes) {
            std::string block;
            for (int i = 0; block.size() < (1u << 20); ++i) {
                char line[kLineBytes + 1];
                std::snprintf(line, sizeof line, "%08d %090d", i, i * 7919);
                line[kLineBytes - 1] = '\n';
                block.append(line, kLineBytes);
            }
            int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0)
                Die(p);
            for (unsigned long long done = 0; done < kFileBytes;) {
                size_t n = static_cast<size_t>(
                    std::min<unsigned long long>(block.size(), kFileBytes - done));
                if (done + n == kFileBytes)
                    block[n - 1] = '\n';
                if (::write(fd, block.data(), n) != static_cast<ssize_t>(n))
                    Die(p);
                done += n;
            }
            ::close(fd);
        }
        std::unique_ptr<char[]> sink(new char[1 << 20]);
        int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        while (::read(fd, sink.get(), 1 << 20) > 0) {
        }
        ::close(fd);
        return p;
    }();
    return path;
}

void Finish(benchmark::State& state, unsigned long long lines) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
    state.counters["lines"] = static_cast<double>(lines);
}

void BM_ReadLine(benchmark::State& state) {
    char buffer[4096];
    char* p = buffer;
    unsigned long long lines = 0;
    for (auto _ : state) {
        FileIO file(LinesFile(), O_RDONLY);
        lines = 0;
        while (file.ReadLine(&p, sizeof buffer))
            ++lines;
        benchmark::DoNotOptimize(buffer);
    }
    Finish(state, lines);
}

void BM_Getline(benchmark::State& state) {
    unsigned long long lines = 0;
    for (auto _ : state) {
        std::ifstream in(LinesFile());
        std::string line;
        lines = 0;
        while (std::getline(in, line))
            ++lines;
        benchmark::DoNotOptimize(line);
    }
    Finish(state, lines);
}

// Finds each line in place: no copy, the least any reader can do.
void BM_ReadMemchr(benchmark::State& state) {
    std::unique_ptr<char[]> buffer(new char[kPlainBuffer]);
    unsigned long long lines = 0;
    for (auto _ : state) {
        int fd = ::open(LinesFile().c_str(), O_RDONLY | O_CLOEXEC);
        size_t kept = 0;
        ssize_t n;
        lines = 0;
        while ((n = ::read(fd, buffer.get() + kept, kPlainBuffer - kept)) > 0) {
            char* start = buffer.get();
            char* end = start + kept + n;
            while (char* nl = static_cast<char*>(std::memchr(start, '\n', end - start))) {
                ++lines;
                start = nl + 1;
            }
            kept = static_cast<size_t>(end - start);
            std::memmove(buffer.get(), start, kept);
        }
        ::close(fd);
    }
    Finish(state, lines);
}

#define KZVOL_LINE_BENCH(fn) BENCHMARK(fn)->MinTime(2.0)->Unit(benchmark::kMillisecond)
// Alternating registrations, so drift of the machine affects all three alike.
KZVOL_LINE_BENCH(BM_ReadLine);
KZVOL_LINE_BENCH(BM_Getline);
KZVOL_LINE_BENCH(BM_ReadMemchr);
KZVOL_LINE_BENCH(BM_ReadLine);
KZVOL_LINE_BENCH(BM_Getline);
KZVOL_LINE_BENCH(BM_ReadMemchr);
KZVOL_LINE_BENCH(BM_ReadLine);
KZVOL_LINE_BENCH(BM_Getline);
KZVOL_LINE_BENCH(BM_ReadMemchr);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    LinesFile();
    kzvol::bench::RatioReporter reporter({std::make_pair("BM_ReadLine", "BM_Getline"),
                                          std::make_pair("BM_ReadLine", "BM_ReadMemchr"),
                                          std::make_pair("BM_ReadMemchr", "BM_Getline")});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
