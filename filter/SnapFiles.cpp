// Chunk size and copy-on-write file names of a snapshot.
#include "filter/SnapFiles.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "host/EvDebug.h"
#include "host/KZPlatformInfo.h"
#include "host/KzException.h"
#include "volume/MountTable.h"

namespace kzvol {
namespace {

EvDebug g_log;
constexpr unsigned long kDefaultChunkSize = 4096;

// The configured text; false when there is none (or the registry cannot be read).
bool ConfiguredChunkSize(const char* context, std::string* value) {
    try {
        KZPlatformInfo registry;
        return registry.getString("UnixImagePOD", "dSnapChunkSize", value) != 0;
    } catch (const KzException& e) {
        g_log.Error(context, "cannot read the host configuration: %s \n", e.getMessage());
        return false;
    }
}

}  // namespace

unsigned long SnapChunkSize(const char* context) {
    std::string text;
    if (!ConfiguredChunkSize(context, &text) || text.empty())
        return kDefaultChunkSize;
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text.c_str(), &end, 0);
    // The driver's field is 32 bits wide: larger (or negative) values are refused.
    if (end == text.c_str() || errno == ERANGE || value > UINT32_MAX ||
        text.find('-') != std::string::npos) {
        g_log.Error(context, "invalid snapchunk size in registry \n");
        g_log.Debug(context, "will use default value =%lu \n", kDefaultChunkSize);
        return kDefaultChunkSize;
    }
    g_log.Debug(context, "will use snapchunksize=%lu", value);
    return value;
}

namespace {
std::string& ChosenPartition() {
    static std::string dir;
    return dir;
}
}  // namespace

void SetSnapPartition(const std::string& dir) {
    ChosenPartition() = dir;
}

const char* SnapPartition() {
    if (!ChosenPartition().empty())
        return ChosenPartition().c_str();
    const char* dir = std::getenv("KZ_SNAP_PARTITION");
    return dir && *dir ? dir : nullptr;
}

CowFiles CowFileNames(const std::string& dir, const std::string& device) {
    std::string base = dir;
    if (base.empty() || base.back() != '/')
        base += '/';
    base += "." + getdevname(device) + "-snap";
    return {base, base + "map"};
}

}  // namespace kzvol
