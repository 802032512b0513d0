// Reading backups back: verifying every extent of a backup against the digest
// its manifest gives, and rebuilding the volume of one point of a chain, both on
// every core (reading, decompressing and hashing, writing overlap).
// Nothing read is trusted: an extents file shorter or longer than its manifest says, or
// an extent whose digest differs, is refused with the backup and extent named.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "backup/Repository.h"

namespace kzvol::backup {

// Bytes done and bytes in all.
using Progress = std::function<void(uint64_t, uint64_t)>;

// Checks every extent of `backup` against its digest.
bool VerifyBackup(const Repository& repo, const Manifest& backup, const Progress& progress,
                  std::string* error);

// Checks every file of `backup` other than its manifest and extents against the
// list and digests of its manifest: none missing, none unlisted, none changed.
// A manifest written before files were listed passes.
bool VerifyFiles(const Repository& repo, const Manifest& backup, std::string* error);

// Writes the volume as it was at the last backup of `chain` (oldest first, as
// Repository::Chain gives it) to `fd` at the volume's offsets: each extent from
// the newest backup of the chain that holds it, checked against its digest
// before it is written. With `skipZeros` (a target known to read zeros, such as
// a fresh sparse file) extents of zeros are not written and stay holes. On
// false, part of the volume may have been written.
bool RestoreChain(const Repository& repo, const std::vector<Manifest>& chain, int fd,
                  bool skipZeros, const Progress& progress, std::string* error);

}  // namespace kzvol::backup
