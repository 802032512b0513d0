// The assembled point: which backup gives each extent, the extents files opened
// on first use, and a small cache of checked extents.
#include "backup/PointReader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "backup/Files.h"
#include "host/FullIO.h"
#include "host/KzcSHA512.h"

namespace kzvol::backup {

uint64_t StoredLength(const ExtentEntry& entry) {
    return entry.length;
}

bool ReadStoredExtent(int fd, uint64_t filePos, const ExtentEntry& entry,
                      const std::string& backupId, char* out, std::string* error) {
    const std::string name = "extent " + std::to_string(entry.number) + " of backup " + backupId;
    if (!PReadAll(fd, out, entry.length, filePos)) {
        *error = WithErrno("cannot read " + name);
        return false;
    }
    KzcSHA512 sha;
    Digest digest;
    sha.addData(out, entry.length);
    sha._finish(digest.data(), digest.size());
    if (digest == entry.digest)
        return true;
    *error = name + " does not match its digest";
    return false;
}

std::string NewestBackup(const Repository& repo) {
    const std::vector<std::string> ids = repo.BackupIds();
    return ids.empty() ? "" : ids.back();
}

PointReader::PointReader(const Repository& repo, uint64_t cacheBytes)
    : repo_(repo), cacheBytes_(cacheBytes) {}

PointReader::~PointReader() = default;

bool PointReader::Open(const std::string& id, std::string* error) {
    if (!repo_.Chain(id, &chain_, error))
        return false;
    if (chain_.front().kind != Kind::Full) {
        *error = "the chain of backup " + id + " does not start with a full backup";
        return false;
    }
    owners_.assign(static_cast<size_t>(chain_.front().VolumeExtents()), Owner{});
    for (size_t b = chain_.size(); b-- > 0;) {
        uint64_t pos = 0;
        for (const ExtentEntry& e : chain_[b].extents) {
            if (!owners_[e.number].entry)
                owners_[e.number] = {b, pos, &e};
            pos += StoredLength(e);
        }
    }
    files_.clear();
    files_.resize(chain_.size());
    cacheBytes_ = std::max(cacheBytes_, 2 * chain_.front().extentBytes);
    return true;
}

bool PointReader::OpenExtentsFile(size_t backup, std::string* error) {
    if (files_[backup])
        return true;
    const Manifest& m = chain_[backup];
    const std::string path = repo_.BackupDir(m.id) + "/" + kExtentsFile;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        *error = WithErrno("cannot open the extents of backup " + m.id);
        return false;
    }
    uint64_t want = 0;
    for (const ExtentEntry& e : m.extents)
        want += StoredLength(e);
    if (static_cast<uint64_t>(st.st_size) != want) {
        *error = "the extents file of backup " + m.id + " holds " + std::to_string(st.st_size) +
                 " bytes where its manifest lists " + std::to_string(want);
        return false;
    }
    files_[backup] = std::move(fd);
    return true;
}

const char* PointReader::Extent(uint64_t number, std::string* error) {
    if (auto hit = cached_.find(number); hit != cached_.end()) {
        cache_.splice(cache_.begin(), cache_, hit->second);
        return cache_.front().data.get();
    }
    const Owner& owner = owners_[number];
    if (!OpenExtentsFile(owner.backup, error))
        return nullptr;
    const uint64_t extentBytes = chain_.front().extentBytes;
    std::unique_ptr<char[]> data;
    if (cache_.size() * extentBytes + extentBytes > cacheBytes_) {
        data = std::move(cache_.back().data);  // reuse the oldest buffer
        cached_.erase(cache_.back().number);
        cache_.pop_back();
    } else {
        data.reset(new char[extentBytes]);
    }
    if (!ReadStoredExtent(files_[owner.backup].get(), owner.filePos, *owner.entry,
                          chain_[owner.backup].id, data.get(), error))
        return nullptr;
    loaded_ += owner.entry->length;
    cache_.push_front(Cached{number, std::move(data)});
    cached_[number] = cache_.begin();
    return cache_.front().data.get();
}

bool PointReader::Read(char* out, uint64_t length, uint64_t offset, std::string* error) {
    if (offset > size() || length > size() - offset) {
        *error = "a read of " + std::to_string(length) + " bytes at " + std::to_string(offset) +
                 " passes the end of the volume (" + std::to_string(size()) + " bytes)";
        return false;
    }
    const uint64_t extentBytes = chain_.front().extentBytes;
    while (length > 0) {
        const uint64_t number = offset / extentBytes, within = offset % extentBytes;
        const char* data = Extent(number, error);
        if (!data)
            return false;
        const uint64_t n = std::min(length, owners_[number].entry->length - within);
        std::memcpy(out, data + within, n);
        out += n;
        offset += n;
        length -= n;
    }
    return true;
}

}  // namespace kzvol::backup
