// The extent hash tracker's decision for 2 MiB extents of a page-cached file (type 1:
// digest, HashTmp record, lookup in the previous backup's Hash file) against
// OpenSSL's own SHA-512 over the same bytes, one EVP call per extent, in the same run.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "checksum/CheckSum.h"

namespace {

constexpr unsigned long long kExtentBytes = 2ULL << 20;
constexpr unsigned long long kExtents = 128;  // a 256 MiB file

struct Extents {
    const char* data = nullptr;
    std::vector<std::string> names;
    std::string jobResults;
};

[[noreturn]] void Die(const std::string& what) {
    std::perror(what.c_str());
    std::exit(2);
}

// Every extent checked once by a type 0 tracker, its HashTmp kept as the Hash file
// that the measured type 1 runs compare with.
void WritePreviousBackup(const Extents& e) {
    CheckSum first("bench", e.jobResults, CHECKSUM_BACKUP_FULL, 0, false);
    if (!first.InitializeScan(-1) || !first.InitializeBackup())
        Die("tracker set-up");
    for (unsigned long long k = 0; k < kExtents; ++k) {
        bool backUp = true;
        if (!first.ShouldThisExtentBeBackedUp(e.names[k], e.data + k * kExtentBytes,
                                              static_cast<int>(kExtentBytes), &backUp))
            Die("first backup");
    }
    if (std::rename(first.HashTmpPath().c_str(), first.HashPath().c_str()) != 0)
        Die(first.HashPath());
}

const Extents& Data() {
    static const Extents extents = [] {
        Extents e;
        const std::string path =
            kzvol::bench::CachedDataFile("kzvol-checksum.dat", kExtents * kExtentBytes);
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        void* map = fd < 0 ? MAP_FAILED
                           : ::mmap(nullptr, kExtents * kExtentBytes, PROT_READ,
                                    MAP_SHARED | MAP_POPULATE, fd, 0);
        if (map == MAP_FAILED)
            Die(path);
        ::close(fd);
        e.data = static_cast<const char*>(map);
        char name[32];
        for (unsigned long long k = 0; k < kExtents; ++k) {
            std::snprintf(name, sizeof name, "extent%010llu", k);
            e.names.push_back(name);
        }
        e.jobResults = path + ".jobs";
        ::mkdir(e.jobResults.c_str(), 0755);
        WritePreviousBackup(e);
        return e;
    }();
    return extents;
}

void BM_ShouldThisExtentBeBackedUp(benchmark::State& state) {
    const Extents& e = Data();
    std::unique_ptr<CheckSum> tracker;
    unsigned long long k = 0;
    for (auto _ : state) {
        if (k == 0) {  // a new job per pass over the file, its set-up measured too
            tracker.reset();
            tracker = std::make_unique<CheckSum>("bench", e.jobResults, CHECKSUM_BACKUP_COMPARE, 0,
                                                 false);
            if (!tracker->InitializeScan(-1) || !tracker->InitializeBackup())
                state.SkipWithError("tracker set-up");
        }
        bool backUp = true;
        if (!tracker->ShouldThisExtentBeBackedUp(e.names[k], e.data + k * kExtentBytes,
                                                 static_cast<int>(kExtentBytes), &backUp) ||
            backUp)
            state.SkipWithError("unchanged extent not skipped");
        k = (k + 1) % kExtents;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kExtentBytes));
}

void BM_EvpSha512(benchmark::State& state) {
    const Extents& e = Data();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    unsigned long long k = 0;
    for (auto _ : state) {
        if (!EVP_Digest(e.data + k * kExtentBytes, kExtentBytes, digest, &size, EVP_sha512(),
                        nullptr))
            state.SkipWithError("EVP_Digest");
        benchmark::DoNotOptimize(digest);
        k = (k + 1) % kExtents;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kExtentBytes));
}

// Alternating registrations, so drift of the machine affects both sides alike.
BENCHMARK(BM_ShouldThisExtentBeBackedUp)->MinTime(1.0);
BENCHMARK(BM_EvpSha512)->MinTime(1.0);
BENCHMARK(BM_ShouldThisExtentBeBackedUp)->MinTime(1.0);
BENCHMARK(BM_EvpSha512)->MinTime(1.0);
BENCHMARK(BM_ShouldThisExtentBeBackedUp)->MinTime(1.0);
BENCHMARK(BM_EvpSha512)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Data();
    kzvol::bench::RatioReporter reporter(
        {std::make_pair("BM_ShouldThisExtentBeBackedUp", "BM_EvpSha512")});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
