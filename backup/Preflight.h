// What a backup checks before it touches the volume's bitmaps: that the volume's
// shape can be backed up, that the repository protects this very volume (a new
// repository, or one made before repositories had an identity, gets this
// volume's identity here), and the chain an incremental builds on.
#pragma once

#include <string>
#include <vector>

#include "backup/Repository.h"
#include "backup/Source.h"

namespace kzvol::backup {

bool CheckShape(const VolumeShape& shape, std::string* error);

// The chain a new backup builds on (empty for a full one) in *chain; false with
// *error naming the mismatch. `repo` must be locked for writing.
bool AdmitVolume(Repository& repo, const VolumeShape& shape, bool incremental,
                 std::vector<Manifest>* chain, std::string* error);

}  // namespace kzvol::backup
