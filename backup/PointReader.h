// An assembled point: the volume as it was at one backup of a repository, read
// at any offset without restoring it. Each extent comes from the newest backup of
// the chain that holds it, read whole (and decompressed) through PointExtents and
// checked against its manifest's digest before any byte of it is handed out; the
// extents read last stay in a bounded cache. A read that meets an extent that
// cannot be read or does not match its digest fails with the backup and the
// extent named, never with wrong bytes.
//
// Threads: an object is used from one thread at a time.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backup/ExtentReader.h"
#include "backup/Repository.h"

namespace kzvol::backup {

class PointReader {
  public:
    // At most `cacheBytes` of checked extents are kept (at least two extents).
    explicit PointReader(const Repository& repo, uint64_t cacheBytes = 64ull << 20);
    ~PointReader();
    PointReader(const PointReader&) = delete;
    PointReader& operator=(const PointReader&) = delete;

    // Loads and checks the chain of backup `id`, and the sizes of its extents files.
    bool Open(const std::string& id, std::string* error);
    // The backups of the chain, oldest first; the point is the last.
    const std::vector<Manifest>& chain() const { return chain_; }
    const Manifest& point() const { return chain_.back(); }
    uint64_t size() const { return point().volumeBytes; }

    // Reads `length` bytes of the volume at `offset`. False with *error naming the
    // backup and extent when one cannot be given, or when the range passes the
    // volume's end.
    bool Read(char* out, uint64_t length, uint64_t offset, std::string* error);
    // Bytes of extents read from the repository so far.
    uint64_t BytesLoaded() const { return loaded_; }

  private:
    struct Cached {
        uint64_t number;
        std::unique_ptr<char[]> data;
    };

    // The checked bytes of extent `number`, from the cache or the repository.
    const char* Extent(uint64_t number, std::string* error);
    uint32_t LengthOf(uint64_t number) const;

    const Repository& repo_;
    uint64_t cacheBytes_;
    std::vector<Manifest> chain_;
    PointExtents extents_;
    std::list<Cached> cache_;  // most recently used first
    std::map<uint64_t, std::list<Cached>::iterator> cached_;
    uint64_t loaded_ = 0;
};

}  // namespace kzvol::backup
