// One filter device as the serving process sees it: the underlying block device,
// the extents written since the driver last asked, and the copy-on-write state of
// its snapshot. Every write passes Write(), which notes its extents before the
// data moves (so a bitmap request sees every write acknowledged before it) and,
// while a snapshot is active, first copies each chunk it is the first to touch
// into the copy-on-write data file and records it in the map file.
//
// Threads: any number of readers and writers at once. Writes and snapshot reads
// share a lock that a first write to a chunk takes alone while it copies.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/Handles.h"

namespace kzvol::emulator {

class ServedVolume {
  public:
    // Opens `path` (a block device) read-write. 0 or an errno value.
    static int Open(const std::string& path, uint32_t extentBytes,
                    std::unique_ptr<ServedVolume>* out);

    uint64_t size() const { return size_; }
    // The underlying device's logical sector size.
    uint32_t sector() const { return sector_; }

    // Each answers 0 or an errno value; lengths past the end are refused (EINVAL).
    int Read(char* buffer, size_t length, uint64_t offset);
    int Write(const char* buffer, size_t length, uint64_t offset);
    int ReadSnapshot(char* buffer, size_t length, uint64_t offset);
    int Flush();

    // The extents written since the last call, one bit each (least significant
    // bit first), and forgets them.
    std::string TakeWritten();

    // Starts copy-on-write into `dataPath` and `mapPath`, both created here
    // (exclusively, never through a link, mode 0600) after the files of an earlier
    // snapshot of this driver under those names are removed. EBUSY when one is active.
    int StartSnapshot(uint32_t chunkBytes, const std::string& mapPath, const std::string& dataPath);
    // Ends copy-on-write and closes its files (they stay).
    void EndSnapshot();
    bool snapshot_active();

  private:
    struct Cow {
        UniqueFd map, data;
        uint32_t chunk = 0;
        std::unordered_map<uint64_t, uint64_t> slot;  // chunk -> place in the data file
    };

    ServedVolume() = default;
    void NoteWritten(uint64_t offset, size_t length);
    bool AllCopied(uint64_t offset, size_t length) const;
    int CopyChunks(uint64_t offset, size_t length);
    int Transfer(bool write, char* buffer, size_t length, uint64_t offset);

    UniqueFd direct_, buffered_;
    uint64_t size_ = 0;
    uint32_t extent_ = 0, sector_ = 512;
    std::mutex writtenMu_;
    std::vector<uint8_t> written_;
    std::shared_mutex cowMu_;
    std::unique_ptr<Cow> cow_;
};

}  // namespace kzvol::emulator
