// Removing the images and folding in the changes of killed backups.
#include "backup/Leftovers.h"

#include <unistd.h>

#include "backup/Files.h"

namespace kzvol::backup {

bool RemoveLeftoverImages(const Repository& repo, Source& source,
                          const std::vector<std::string>& leftovers, std::string* error) {
    for (const std::string& id : leftovers) {
        const std::string path = repo.TempDir(id) + "/" + kSnapshotFile;
        std::string record;
        if (!ReadWholeFile(path, 1 << 16, &record))
            continue;  // killed before it recorded an image: nothing of it is ours to remove
        if (!source.RemoveLeftover(record, error)) {
            *error = "cannot remove the snapshot of the unfinished backup in " + repo.TempDir(id) +
                     ": " + *error;
            return false;
        }
        ::unlink(path.c_str());
    }
    return true;
}

Folded FoldLeftoverBitmaps(const Repository& repo, const std::vector<std::string>& leftovers,
                           std::vector<uint8_t>* bits) {
    Folded f;
    for (const std::string& id : leftovers) {
        std::string taken;
        if (!ReadWholeFile(repo.TempDir(id) + "/" + kBitmapFile, bits->size(), &taken) ||
            taken.size() != bits->size()) {
            ++f.lost;
            continue;
        }
        for (size_t i = 0; i < taken.size(); ++i)
            (*bits)[i] |= static_cast<uint8_t>(taken[i]);
        ++f.folded;
    }
    return f;
}

}  // namespace kzvol::backup
