// kzvol read: copies raw sectors of a device or image with the retrying read.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "host/FullIO.h"
#include "tools/Commands.h"
#include "tools/Options.h"
#include "tools/OutputFile.h"
#include "volume/KZVolume.h"

namespace kzvol::cli {
namespace {

// Sectors moved per DiskRead call: 1 MiB.
constexpr uint64_t kChunkSectors = 2048;

}  // namespace

int RunRead(const Words& args) {
    Options opts({"offset", "count", "out"}, {});
    std::string error;
    uint64_t offset = 0, count = 0;
    if (!opts.Parse(args, &error) || !opts.GetU64("offset", 0, &offset, &error) ||
        !opts.GetU64("count", 0, &count, &error))
        return Usage(error);
    if (opts.positional().size() != 1 || !opts.Has("offset") || !opts.Has("count"))
        return Usage("wants one SOURCE, --offset and --count");
    const std::string source = opts.positional()[0];

    KZVolumeUnix volume(source);
    if (!volume.Open(1))
        return Fail("cannot open " + source + ": " + std::strerror(errno));

    // The output file is written beside its target and replaces it only when
    // every sector is in: a failed read leaves what FILE held.
    std::unique_ptr<OutputFile> outFile;
    int out = STDOUT_FILENO;
    const std::string path = opts.Get("out");
    if (opts.Has("out")) {
        outFile = std::make_unique<OutputFile>(path);
        if (!outFile->ok())
            return Fail("cannot write " + path + ": " + std::strerror(errno));
        out = outFile->fd();
    }

    std::unique_ptr<char[]> buffer(new char[kChunkSectors * 512]);
    for (uint64_t at = 0; at < count; at += kChunkSectors) {
        unsigned int n = static_cast<unsigned int>(std::min(kChunkSectors, count - at));
        unsigned int done = 0;
        if (!volume.DiskRead(offset + at, n, buffer.get(), done))
            return Fail("read of " + std::to_string(n) + " sectors at sector " +
                        std::to_string(offset + at) + " of " + source + " failed");
        if (!WriteAll(out, buffer.get(), size_t{n} * 512))
            return Fail(std::string("write of the output failed: ") + std::strerror(errno));
    }
    if (outFile && !outFile->Commit())
        return Fail("cannot put " + path + " in place: " + std::strerror(errno));
    return 0;
}

}  // namespace kzvol::cli
