// DiskRead of 1 MiB transfers over a page-cached 1 GiB file, against a plain
// pread loop over the same file in the same run.
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "bench/BenchSupport.h"
#include "volume/KZVolume.h"

namespace {

constexpr unsigned long long kFileBytes = 1ULL << 30;
constexpr unsigned int kTransferSectors = 2048;  // 1 MiB
constexpr size_t kTransferBytes = kTransferSectors * 512;

const std::string& DataFile() {
    static const std::string path = kzvol::bench::CachedDataFile("kzvol-rawread.dat", kFileBytes);
    return path;
}

void BM_DiskRead(benchmark::State& state) {
    KZVolumeUnix vol(DataFile());
    if (!vol.Open(1))
        state.SkipWithError("open failed");
    std::unique_ptr<char[]> buf(new char[kTransferBytes]);
    unsigned long long sector = 0;
    const unsigned long long sectors = kFileBytes / 512;
    for (auto _ : state) {
        unsigned int done = 0;
        if (!vol.DiskRead(sector, kTransferSectors, buf.get(), done))
            state.SkipWithError("read");
        sector = (sector + kTransferSectors) % sectors;
        benchmark::DoNotOptimize(buf.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kTransferBytes);
}

void BM_Pread(benchmark::State& state) {
    int fd = ::open(DataFile().c_str(), O_RDONLY);
    std::unique_ptr<char[]> buf(new char[kTransferBytes]);
    off_t at = 0;
    for (auto _ : state) {
        if (::pread(fd, buf.get(), kTransferBytes, at) != static_cast<ssize_t>(kTransferBytes))
            state.SkipWithError("pread");
        at = static_cast<off_t>((at + kTransferBytes) % kFileBytes);
        benchmark::DoNotOptimize(buf.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kTransferBytes);
    ::close(fd);
}

// Alternating registrations, so drift of the machine affects both sides alike.
BENCHMARK(BM_DiskRead)->MinTime(1.0);
BENCHMARK(BM_Pread)->MinTime(1.0);
BENCHMARK(BM_DiskRead)->MinTime(1.0);
BENCHMARK(BM_Pread)->MinTime(1.0);
BENCHMARK(BM_DiskRead)->MinTime(1.0);
BENCHMARK(BM_Pread)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    kzvol::bench::SilenceLibraryLog();
    DataFile();
    kzvol::bench::RatioReporter reporter({std::make_pair("BM_DiskRead", "BM_Pread")});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
