// KZVolumeUnix::DumpVolumeInfo: the volume-information file of the file system
// mounted at a path, from the superblock and group descriptors of its device. The
// file replaces its target only once complete, so a failure leaves no new file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>

#include "host/AtomicFile.h"
#include "host/EvDebug.h"
#include "host/Handles.h"
#include "metadata/VolumeGeometry.h"
#include "rdfd/Ext3Layout.h"
#include "volume/KZVolume.h"

namespace {

const char kContext[] = "DumpVolumeInfo:";
constexpr uint32_t kMetaBlockGroups = 0x10;

EvDebug g_log;

using kzvol::metadata::VolumeGeometry;

// Reads and checks the superblock of the open device. False (logged) when it is
// unreadable or describes no usable ext2/ext3 geometry.
bool ReadGeometry(int fd, const std::string& device, VolumeGeometry* g) {
    unsigned char sb[kzvol::ext3::kSuperBlockSize];
    ssize_t got = ::pread64(fd, sb, sizeof sb, kzvol::ext3::kSuperBlockOffset);
    if (got != static_cast<ssize_t>(sizeof sb)) {
        g_log.Error(kContext, "failed to read=%s  ret=%d errno=%d \n", device.c_str(),
                    static_cast<int>(got), errno);
        return false;
    }
    const std::string problem = kzvol::metadata::DecodeGeometry(sb, g).why;
    if (g->magic != kzvol::ext3::kMagic) {
        g_log.Error(kContext, "dev=%s superblock is currupt run fsck and try again \n",
                    device.c_str());
        return false;
    }
    g_log.Debug(kContext,
                "fd=%d \t block size=%u \t blockcount=%u \t firstdatablock=%u \nbpg=%u \t ipg=%u  "
                "\n",
                fd, g->blockSize, g->blockCount, g->firstDataBlock, g->bpg, g->ipg);
    if (g->incompatFeatures & kMetaBlockGroups) {
        g_log.Error(kContext, "ext2/ext3 metablock group not supported \n");
        return false;
    }
    if (!problem.empty()) {
        g_log.Error(kContext, "dev=%s superblock is unusable: %s; run fsck and try again \n",
                    device.c_str(), problem.c_str());
        return false;
    }
    g_log.Error(kContext, " group_desc_count=%u \t desc_per_bloc=%u \t desc_blocks=%u \n", g->gdc,
                g->dpb, g->descBlock);
    return true;
}

// Reads the group descriptor table and answers each group's inode-table block.
bool ReadInodeTables(int fd, const VolumeGeometry& g, std::vector<uint32_t>* blocks) {
    const uint64_t bytes = kzvol::metadata::DescriptorTableBytes(g);
    std::unique_ptr<unsigned char[]> table(new (std::nothrow) unsigned char[bytes]());
    if (!table) {
        g_log.Error(kContext, "failed to allocate memory for group_desc_arr errno=%d \n", ENOMEM);
        return false;
    }
    const uint64_t offset = kzvol::metadata::DescriptorTableOffset(g);
    ssize_t got = ::pread64(fd, table.get(), bytes, static_cast<off64_t>(offset));
    if (got != static_cast<ssize_t>(bytes)) {
        g_log.Error(kContext, "failed to read filesystem descriptor blocks errno=%d ret=%d \n",
                    errno, static_cast<int>(got));
        return false;
    }
    g_log.Debug(kContext, "successfully read from fd=%d blockno=%u bytes=%d \n", fd,
                g.firstDataBlock + 1, static_cast<int>(got));
    *blocks = kzvol::metadata::InodeTableBlocks(g, table.get());
    return true;
}

}  // namespace

bool KZVolumeUnix::DumpVolumeInfo(char* mountPath, char* volumeInfoPath, unsigned long extentSize,
                                  int aclEnabled, int seLinuxLabels) {
    if (!mountPath || !volumeInfoPath || extentSize > UINT32_MAX) {
        g_log.Error(kContext, "invalid mount path, file name or extent size \n");
        return false;
    }
    const std::string device = getrawdev(mountPath);
    kzvol::UniqueFd fd(::open(device.c_str(), O_RDONLY | O_LARGEFILE | O_CLOEXEC));
    if (fd.get() <= 0) {
        g_log.Error(kContext, "failed to open=%s errno=%d \n", device.c_str(), errno);
        return false;
    }
    VolumeGeometry g;
    std::vector<uint32_t> inodeTables;
    if (!ReadGeometry(fd.get(), device, &g) || !ReadInodeTables(fd.get(), g, &inodeTables))
        return false;
    const std::string text = kzvol::metadata::FormatVolumeInfo(
        g, inodeTables, static_cast<uint32_t>(extentSize), static_cast<unsigned>(aclEnabled),
        static_cast<unsigned>(seLinuxLabels));
    if (!kzvol::ReplaceFileContents(volumeInfoPath, text)) {
        g_log.Error(kContext, "failed to open file=%s errno=%d\n", volumeInfoPath, errno);
        return false;
    }
    return true;
}
