// Backups that never completed (".tmp-<id>" folders): the images they took and
// the changes they took from the bitmap. A folder whose bitmap never became
// durable (the kill came between taking the bits and syncing them) is "lost":
// its changes can only be found again in the differential bitmap.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backup/Repository.h"
#include "backup/Source.h"

namespace kzvol::backup {

// Removes the images that killed backups recorded; an image no backup recorded
// is left alone.
bool RemoveLeftoverImages(const Repository& repo, Source& source,
                          const std::vector<std::string>& leftovers, std::string* error);

struct Folded {
    size_t folded = 0;  // bitmaps ORed in
    size_t lost = 0;    // folders without a whole bitmap
};
// ORs the bitmaps of unfinished backups into `bits`.
Folded FoldLeftoverBitmaps(const Repository& repo, const std::vector<std::string>& leftovers,
                           std::vector<uint8_t>* bits);

}  // namespace kzvol::backup
