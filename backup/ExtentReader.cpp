// Loading, decompressing and checking the extents of a backup.
#include "backup/ExtentReader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "backup/Codec.h"
#include "backup/Files.h"
#include "host/FullIO.h"
#include "host/KzcSHA512.h"

namespace kzvol::backup {
namespace {

uint64_t Number(uint64_t n) {
    return n;
}
uint64_t Number(const ExtentEntry& e) {
    return e.number;
}

}  // namespace

Digest DigestOf(const char* data, uint32_t length) {
    KzcSHA512 sha;
    Digest digest;
    sha.addData(data, length);
    sha._finish(digest.data(), digest.size());
    return digest;
}

bool AllZero(const char* data, uint32_t length) {
    return length == 0 || (data[0] == 0 && std::memcmp(data, data + 1, length - 1) == 0);
}

bool BackupExtents::Open(const Repository& repo, const Manifest& backup, std::string* error) {
    backup_ = &backup;
    const std::string path = repo.BackupDir(backup.id) + "/" + kExtentsFile;
    fd_ = OpenRegular(path, O_RDONLY);  // never a planted link, FIFO or device
    struct stat st;
    if (!fd_ || ::fstat(fd_.get(), &st) != 0) {
        *error = WithErrno("cannot open the extents of backup " + backup.id);
        return false;
    }
    const uint64_t want = backup.BytesStored();
    if (static_cast<uint64_t>(st.st_size) == want)
        return true;
    *error = "the extents file of backup " + backup.id + " holds " + std::to_string(st.st_size) +
             " bytes where its manifest lists " + std::to_string(want) +
             (static_cast<uint64_t>(st.st_size) < want ? " (truncated)" : "");
    return false;
}

bool BackupExtents::LoadStored(const ExtentEntry& e, char* stored, std::string* error) const {
    if (PReadAll(fd_.get(), stored, e.StoredBytes(), e.filePos))
        return true;
    *error = WithErrno("cannot read the extents of backup " + backup_->id);
    return false;
}

bool BackupExtents::Read(uint64_t number, char* buffer, std::string* error) const {
    const auto& list = backup_->extents;
    auto e = std::lower_bound(list.begin(), list.end(), number,
                              [](const ExtentEntry& x, uint64_t n) { return x.number < n; });
    if (e == list.end() || e->number != number) {
        *error = "backup " + backup_->id + " holds no extent " + std::to_string(number);
        return false;
    }
    if (!e->stored)
        return LoadStored(*e, buffer, error) &&
               DecodeExtent(*e, backup_->id, buffer, nullptr, nullptr, error);
    std::unique_ptr<char[]> stored(new char[e->stored]);
    return LoadStored(*e, stored.get(), error) &&
           DecodeExtent(*e, backup_->id, stored.get(), buffer, nullptr, error);
}

bool PointExtents::Open(const Repository& repo, const std::vector<Manifest>& chain,
                        std::string* error) {
    files_.clear();
    files_.resize(chain.size());
    for (size_t i = 0; i < chain.size(); ++i)
        if (!files_[i].Open(repo, chain[chain.size() - 1 - i], error))
            return false;
    return !chain.empty() || (*error = "no backup to read", false);
}

bool PointExtents::Read(uint64_t number, char* buffer, std::string* error) const {
    for (const BackupExtents& file : files_) {
        const auto& list = file.backup().extents;
        if (std::binary_search(list.begin(), list.end(), number,
                               [](const auto& a, const auto& b) { return Number(a) < Number(b); }))
            return file.Read(number, buffer, error);
    }
    *error = "no backup of the chain holds extent " + std::to_string(number);
    return false;
}

const char* DecodeExtent(const ExtentEntry& e, const std::string& backupId, const char* stored,
                         char* scratch, Digest* digest, std::string* error) {
    auto fail = [&](const char* what) {
        *error = "extent " + std::to_string(e.number) + " of backup " + backupId + what;
        return nullptr;
    };
    const char* plain = stored;
    if (e.stored) {
        if (!DecompressExtent(stored, e.stored, scratch, e.length))
            return fail(" does not decompress");
        plain = scratch;
    }
    const Digest got = DigestOf(plain, e.length);
    if (digest)
        *digest = got;
    return got == e.digest ? plain : fail(" does not match its digest");
}

}  // namespace kzvol::backup
