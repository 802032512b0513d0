// The checks a backup makes before it changes anything.
#include "backup/Preflight.h"

namespace kzvol::backup {
namespace {

std::string ShapeText(uint64_t volumeBytes, uint64_t extentBytes) {
    return std::to_string(volumeBytes) + " bytes in extents of " + std::to_string(extentBytes);
}

VolumeIdentity IdentityOf(const VolumeShape& s) {
    return {s.device, s.volumeBytes, s.extentBytes, s.fsUuid};
}

bool CheckChain(const Repository& repo, const VolumeShape& shape, bool incremental,
                std::vector<Manifest>* chain, std::string* error) {
    const std::vector<std::string> ids = repo.BackupIds();
    if (ids.empty()) {
        if (!incremental)
            return true;
        *error =
            "no backup in " + repo.dir() + " to build an incremental on: make a full one first";
        return false;
    }
    Manifest last;
    bool ok =
        incremental ? repo.Chain(ids.back(), chain, error) : repo.Load(ids.back(), &last, error);
    if (!ok) {
        *error = "the newest backup in " + repo.dir() + " is unusable: " + *error;
        return false;
    }
    if (incremental)
        last = chain->back();
    if (last.volumeBytes != shape.volumeBytes || last.extentBytes != shape.extentBytes) {
        *error = "the repository " + repo.dir() + " holds backups of a volume of " +
                 ShapeText(last.volumeBytes, last.extentBytes) + "; this volume has " +
                 ShapeText(shape.volumeBytes, shape.extentBytes);
        return false;
    }
    return true;
}

}  // namespace

bool CheckShape(const VolumeShape& s, std::string* error) {
    const uint64_t e = s.extentBytes;
    if (e < kMinExtentBytes || e > kMaxExtentBytes || (e & (e - 1)) != 0 || s.volumeBytes == 0 ||
        s.volumeBytes % 512 != 0 || s.bitmapBytes < (ExtentCount(s.volumeBytes, e) + 7) / 8) {
        *error = "the volume's shape cannot be backed up: " + ShapeText(s.volumeBytes, e) +
                 ", a bitmap of " + std::to_string(s.bitmapBytes) + " bytes";
        return false;
    }
    return true;
}

bool AdmitVolume(Repository& repo, const VolumeShape& shape, bool incremental,
                 std::vector<Manifest>* chain, std::string* error) {
    const VolumeIdentity volume = IdentityOf(shape);
    if (const RepositoryConfig* config = repo.config()) {
        const std::string mismatch = IdentityMismatch(config->volume, volume);
        if (!mismatch.empty()) {
            *error = "the repository " + repo.dir() + " is not for this volume: " + mismatch +
                     " (use another repository)";
            return false;
        }
    }
    if (!CheckChain(repo, shape, incremental, chain, error))
        return false;
    if (repo.config())
        return true;
    RepositoryConfig config;
    config.id = NewRepositoryId();
    config.volume = volume;
    return repo.WriteConfig(config, error);
}

}  // namespace kzvol::backup
