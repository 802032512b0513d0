// Size and sector geometry of a block device, asked of the device itself, and the
// size answers of a volume object that does not go through the filter driver.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "host/EvDebug.h"
#include "host/Handles.h"
#include "volume/DeviceProbe.h"
#include "volume/KZVolume.h"

namespace {

EvDebug g_log;

// The byte size of an open block device: BLKGETSIZE64, else sectors times the
// logical sector size. False (logged) when neither answers or the product overflows.
bool ByteSize(int fd, const std::string& device, unsigned long long* size) {
    static const char kContext[] = "GetDeviceSize";
    uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) {
        *size = bytes;
        return true;
    }
    g_log.Error(kContext,
                " ioctl BLKGETSIZE64 failed for volume %s errorno=%d. falling back to BLKGETSIZE",
                device.c_str(), errno);
    unsigned long sectors = 0;
    if (::ioctl(fd, BLKGETSIZE, &sectors) != 0) {
        g_log.Error(kContext, " ioctl BLKGETSIZE failed for volume %s errorno=%d \n",
                    device.c_str(), errno);
        return false;
    }
    int sectorSize = 0;
    if (::ioctl(fd, BLKSSZGET, &sectorSize) != 0) {
        g_log.Error(kContext, " ioctl BLKSSZGET  failed for volume %s errorno=%d \n",
                    device.c_str(), errno);
        return false;
    }
    unsigned long long product;
    if (sectorSize < 0 ||
        __builtin_mul_overflow(static_cast<unsigned long long>(sectors),
                               static_cast<unsigned long long>(sectorSize), &product)) {
        g_log.Error(kContext, "size of volume %s does not fit in 64 bits \n", device.c_str());
        return false;
    }
    *size = product;
    return true;
}

}  // namespace

bool GetDeviceSize(std::string device, unsigned long long* size) {
    return GetDeviceSize_Internal(device, size, nullptr);
}

bool GetDeviceSize_Internal(std::string device, unsigned long long* usable,
                            unsigned long long* raw) {
    static const char kContext[] = "GetDeviceSize";
    kzvol::UniqueFd fd(::open(device.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) {
        g_log.Error(kContext, "open failed on %s. errno:%d", device.c_str(), errno);
        return false;
    }
    unsigned long long size = 0;
    if (!ByteSize(fd.get(), device, &size))
        return false;
    int blockSize = 0;
    if (::ioctl(fd.get(), BLKBSZGET, &blockSize) != 0) {
        g_log.Error(kContext, " ioctl BLKBSZGET failed for volume %s errorno=%d \n", device.c_str(),
                    errno);
        return false;
    }
    if (raw)
        *raw = size;
    // A block size of 0 (or a nonsensical negative one) leaves nothing to round to.
    unsigned long long usableSize =
        blockSize > 0 ? size - size % static_cast<unsigned long long>(blockSize) : size;
    if (usable)
        *usable = usableSize;
    g_log.Debug(kContext, "Device:%s\tSize:%llu", device.c_str(), usableSize);
    return true;
}

namespace {

// One 32-bit geometry query into a 64-bit output; false (logged) when it fails.
template <typename T>
bool Query(int fd, unsigned long request, const char* message, const std::string& device,
           unsigned long long* out) {
    T value = 0;
    if (::ioctl(fd, request, &value) != 0) {
        g_log.Error("GetDiskSectorSz", message, device.c_str(), std::strerror(errno));
        return false;
    }
    *out = static_cast<unsigned long long>(value);
    return true;
}

}  // namespace

bool GetDiskSectorSz(const std::string& device, unsigned long long* logical,
                     unsigned long long* physical, unsigned long long* ioMin,
                     unsigned long long* ioOpt) {
    static const char kContext[] = "GetDiskSectorSz";
    try {
        kzvol::UniqueFd fd(::open(device.c_str(), O_RDWR | O_CLOEXEC));
        if (!fd) {
            g_log.Error(kContext, "open failed for device %s, error %s", device.c_str(),
                        std::strerror(errno));
            return false;
        }
        bool ok = Query<int>(fd.get(), BLKSSZGET, "BLKSSZGET failed for device %s, error: %s",
                             device, logical);
        ok &= Query<unsigned int>(fd.get(), BLKPBSZGET,
                                  "BLKPBSZGET failed for device %s, error: %s", device, physical);
        ok &= Query<unsigned int>(fd.get(), BLKIOMIN, "BLKIOMIN failed for device %s, error: %s",
                                  device, ioMin);
        ok &= Query<unsigned int>(fd.get(), BLKIOOPT, "BLKIOOPT failed for device %s, error: %s",
                                  device, ioOpt);
        g_log.Debug(kContext, "LogSecSz[%llu] PhySecSz[%llu] IOMinSz[%llu] IOOptimalSz[%llu]",
                    *logical, *physical, *ioMin, *ioOpt);
        if (!ok) {
            g_log.Debug(kContext,
                        "At least one of the device ioctl's have failed, resetting attr to 0's");
            *logical = *physical = *ioMin = *ioOpt = 0;
        }
        return true;
    } catch (const std::exception& e) {
        g_log.Error(kContext, "Exception: %s", e.what());
    } catch (...) {
        g_log.Error(kContext, "Unhandled exception caught");
    }
    return false;
}

unsigned long long KZVolume::GetTotalVolumeBlocks(std::string) {
    return 0;
}

unsigned long long KZVolume::GetTotalRawVolumeBlocks(std::string volume, std::string) {
    return GetTotalVolumeBlocks(volume);
}

int KZVolumeUnix::GetVolInfo(unsigned long long& size) {
    return GetDeviceSize(m_strVolName, &size) ? 0 : -1;
}
