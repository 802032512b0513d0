// Benchmark driver of the on-disk directory reader: walks an image file or block
// device with one entry point, counting reports, and prints one line of figures:
// entries, directories, files, directory bytes reported, seconds (of which in the
// device reads), device bytes read, read calls, the share of reads that go
// backwards on the device and the bytes hinted for read-ahead; then, per read
// size, the calls and the seconds they took.
//
//   rdfd_walk imgpod|virtualpod SOURCE [--no-hints]
//
// Reads and hints go through the library's own callbacks (RDFDReadCallBack,
// RDFDReadAheadCallBack), counted and timed; --no-hints walks without a hook.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "host/Env.h"
#include "host/Handles.h"
#include "metadata/ReaderCallBacks.h"
#include "rdfd/RDFD.h"

namespace {

struct Device {
    int fd = -1;
    unsigned long long reads = 0, bytes = 0, backward = 0, hinted = 0;
    unsigned long long lastOffset = 0;
    double readSeconds = 0;  // spent inside the reads
    unsigned long long hints = 0;
    double hintSeconds = 0;  // spent inside the hints
    // Per read size (each cache reads whole buffers of its own size): calls, seconds.
    std::map<unsigned int, std::pair<unsigned long long, double>> bySize;
};

unsigned int ReadDevice(void* context, char* buffer, unsigned int size, unsigned long long offset) {
    auto* d = static_cast<Device*>(context);
    ++d->reads;
    if (offset < d->lastOffset)
        ++d->backward;
    d->lastOffset = offset;
    const auto start = std::chrono::steady_clock::now();
    const unsigned int n = RDFDReadCallBack(&d->fd, buffer, size, offset);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    d->readSeconds += took;
    auto& [calls, seconds] = d->bySize[size];
    ++calls;
    seconds += took;
    d->bytes += n;
    return n;
}

void HintDevice(void* context, unsigned long long offset, unsigned long long length) {
    auto* d = static_cast<Device*>(context);
    d->hinted += length;
    ++d->hints;
    const auto start = std::chrono::steady_clock::now();
    RDFDReadAheadCallBack(&d->fd, offset, length);
    d->hintSeconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool ResidentDevice(void* context, unsigned long long offset, unsigned long long length) {
    return RDFDResidentCallBack(&static_cast<Device*>(context)->fd, offset, length);
}

struct Counts {
    unsigned long long entries = 0, dirs = 0, files = 0, dirBytes = 0;
};

bool Count(void* context, unsigned long long, unsigned long long, unsigned long long size,
           unsigned int, bool isDir, char*) {
    auto* c = static_cast<Counts*>(context);
    ++c->entries;
    if (isDir) {
        ++c->dirs;
        c->dirBytes += size;
    } else {
        ++c->files;
    }
    return true;
}

// Shows errors and the caches' statistics lines on standard error, nothing else.
class BenchEnv : public kzvol::EnvWrapper {
  public:
    BenchEnv() : EnvWrapper(kzvol::Env::Default()) {}
    void Log(kzvol::LogKind kind, int level, const std::string& context,
             const std::string& message) override {
        if (kind == kzvol::LogKind::Error || message.find("Stats ==>") != std::string::npos) {
            EnvWrapper::Log(kind, level, context, message);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    const bool hints = argc == 3;
    if ((argc != 3 && (argc != 4 || std::strcmp(argv[3], "--no-hints") != 0)) ||
        (std::strcmp(argv[1], "imgpod") != 0 && std::strcmp(argv[1], "virtualpod") != 0)) {
        std::fprintf(stderr, "usage: rdfd_walk imgpod|virtualpod SOURCE [--no-hints]\n");
        return 2;
    }
    const ReadAheadCallBack hook = hints ? HintDevice : nullptr;
    const ResidentCallBack resident = hints ? ResidentDevice : nullptr;
    BenchEnv env;
    kzvol::SetEnv(&env);
    kzvol::UniqueFd fd(::open(argv[2], O_RDONLY | O_CLOEXEC));
    if (!fd) {
        std::perror(argv[2]);
        return 1;
    }
    Device device;
    device.fd = fd.get();
    // As the library's callers do; RDFD_WALK_KERNEL_READAHEAD keeps the kernel's own
    // read-ahead, for comparison.
    if (hints && std::getenv("RDFD_WALK_KERNEL_READAHEAD") == nullptr)
        RDFDPrepareForReadAhead(device.fd);
    Counts counts;
    char root[] = "/", ext3[] = "ext3", platform[] = "linux";
    const auto start = std::chrono::steady_clock::now();
    bool ok;
    if (std::strcmp(argv[1], "imgpod") == 0) {
        ok = RDFDInterfaceForImgPod(root, ReadDevice, &device, Count, &counts, nullptr, ext3,
                                    platform, 2097152, 0, 0, false, nullptr, nullptr, nullptr, hook,
                                    resident);
    } else {
        std::string fsType;
        bool supported = true;
        ok = RDFDInterfaceForVirtualPod(root, ReadDevice, &device, Count, &counts, nullptr, &fsType,
                                        nullptr, 2097152, nullptr, nullptr, &supported, nullptr, 0,
                                        nullptr, nullptr, hook, resident);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    kzvol::SetEnv(nullptr);
    std::printf(
        "walker=%s ok=%d entries=%llu dirs=%llu files=%llu dirbytes=%llu seconds=%.3f "
        "readseconds=%.3f bytes=%llu reads=%llu backward=%.3f hinted=%llu hints=%llu "
        "hintseconds=%.3f\n",
        argv[1], ok ? 1 : 0, counts.entries, counts.dirs, counts.files, counts.dirBytes, seconds,
        device.readSeconds, device.bytes, device.reads,
        device.reads ? static_cast<double>(device.backward) / device.reads : 0.0, device.hinted,
        device.hints, device.hintSeconds);
    for (const auto& [size, figures] : device.bySize) {
        std::printf("  reads of %u bytes: %llu calls, %.3f s\n", size, figures.first,
                    figures.second);
    }
    return ok ? 0 : 1;
}
