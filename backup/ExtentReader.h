// Reading one extent of a backup back: its stored bytes from the backup's
// extents file, decompressed when stored compressed, checked against the digest
// its manifest gives. Restore and verify run the same two steps (LoadStored,
// DecodeExtent) on the threads of their pipeline; everything else that reads a
// repository goes through BackupExtents::Read (one backup) or PointExtents::Read
// (one point of a chain).
//
// Threads: Read, LoadStored and DecodeExtent may run on several threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backup/Repository.h"
#include "host/Handles.h"

namespace kzvol::backup {

// The extents file of one backup, opened and its size checked against the manifest.
class BackupExtents {
  public:
    // `backup` must outlive this object.
    bool Open(const Repository& repo, const Manifest& backup, std::string* error);

    // Reads extent `number` of the volume, which the backup must hold, into
    // `buffer` (extentBytes of the manifest): exactly its length in plain bytes,
    // checked against its digest. False with *error naming the backup and extent.
    bool Read(uint64_t number, char* buffer, std::string* error) const;

    // The stored bytes of `e` (e.StoredBytes()) into `stored`.
    bool LoadStored(const ExtentEntry& e, char* stored, std::string* error) const;

    const Manifest& backup() const { return *backup_; }

  private:
    const Manifest* backup_ = nullptr;
    UniqueFd fd_;
};

// The extents of one point: a chain (oldest first, as Repository::Chain gives it),
// each extent read from the newest backup of the chain that holds it.
class PointExtents {
  public:
    // `chain` must outlive this object.
    bool Open(const Repository& repo, const std::vector<Manifest>& chain, std::string* error);
    // Extent `number` of the volume at that point into `buffer` (extentBytes of the
    // chain), checked against its digest.
    bool Read(uint64_t number, char* buffer, std::string* error) const;

  private:
    std::vector<BackupExtents> files_;  // newest first
};

// The plain bytes of `e` from its stored bytes: `stored` itself when kept raw,
// else decompressed into `scratch` (e.length bytes); checked against e.digest,
// the digest computed put in *digest. Null with *error when they do not decompress
// or do not match; `backupId` names the backup in the error.
const char* DecodeExtent(const ExtentEntry& e, const std::string& backupId, const char* stored,
                         char* scratch, Digest* digest, std::string* error);

// SHA-512 of `length` bytes.
Digest DigestOf(const char* data, uint32_t length);
// True when all `length` bytes are zero.
bool AllZero(const char* data, uint32_t length);

}  // namespace kzvol::backup
