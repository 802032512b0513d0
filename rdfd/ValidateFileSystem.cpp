// ReadExt3DirFromDevice::ValidateFileSystem: reads the superblock and the group
// descriptor table straight through the read callback, refuses what the reader
// cannot walk (foreign, ext4, impossible geometry), fills the reader's geometry and
// writes the key=value file-system information file.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "host/Handles.h"
#include "rdfd/Ext3Layout.h"
#include "rdfd/RDFDException.h"
#include "rdfd/ReadExt3DirFromDevice.h"
#include "rdfd/ReaderSupport.h"

using kzvol::rdfd::LogAndRethrow;
using kzvol::rdfd::ReaderLog;
using kzvol::rdfd::Throw;
namespace ext3 = kzvol::ext3;

namespace {

const char kContext[] = " ReadExt3DirFromDevice :: ValidateFileSystem";
constexpr uint32_t kMaxBlockSize = 16384;
// The largest descriptor table of any ext3 file system (2^32 blocks of 1 KiB in
// groups of 8192) is 16 MiB; a claim beyond twice that is a corrupt superblock.
constexpr uint64_t kMaxDescriptorTableBytes = 32ull << 20;

struct Geometry {
    uint32_t blockSize = 0;
    uint32_t groupCount = 0;
    uint32_t descPerBlock = 0;
    uint32_t descBlocks = 0;
    uint32_t descOffset = 0;
};

void LogSuperBlock(const ext3::SuperBlock& sb) {
    EvDebug& log = ReaderLog();
    log.DebugLvl(kContext, 3, "Inodes count :%u", sb.inodesCount);
    log.DebugLvl(kContext, 3, "Blocks count :%u", sb.blocksCount);
    log.DebugLvl(kContext, 3, "Reserved blocks count :%u", sb.reservedBlocksCount);
    log.DebugLvl(kContext, 3, "Free blocks count :%u", sb.freeBlocksCount);
    log.DebugLvl(kContext, 3, "Free inodes count :%u", sb.freeInodesCount);
    log.DebugLvl(kContext, 3, "First Data Block :%u", sb.firstDataBlock);
    log.DebugLvl(kContext, 3, "Block size :%u", sb.logBlockSize);
    log.DebugLvl(kContext, 3, "Fragment size :%u", sb.logFragSize);
    log.DebugLvl(kContext, 3, "# Blocks per group :%u", sb.blocksPerGroup);
    log.DebugLvl(kContext, 3, "# Fragments per group :%u", sb.fragsPerGroup);
    log.DebugLvl(kContext, 3, "# Inodes per group :%u", sb.inodesPerGroup);
    log.DebugLvl(kContext, 3, "Magic signature:%u", sb.magic);
    log.DebugLvl(kContext, 3, "minor revision level :%u", sb.minorRevLevel);
    log.DebugLvl(kContext, 3, "OS :%u", sb.creatorOs);
    log.DebugLvl(kContext, 3, "Revision level :%u", sb.revLevel);
    log.DebugLvl(kContext, 3, "First non-reserved inode :%u", sb.firstInode);
    log.DebugLvl(kContext, 3, "size of inode structure :%u", sb.inodeSize);
    log.DebugLvl(kContext, 3, "block group # of this superblock :%u", sb.blockGroupNr);
    log.DebugLvl(kContext, 3, "compatible feature set:%u", sb.featureCompat);
    log.DebugLvl(kContext, 3, "incompatible feature set:%u", sb.featureIncompat);
}

[[noreturn]] void RefuseSuperBlock(const char* why, unsigned long long value) {
    ReaderLog().Error(kContext, "%s :%llu", why, value);
    Throw(RDFD_EXC_FS, "Not a Valod SuperBlock .");
}

bool PowerOfTwo(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

// Geometry checks beyond the zero test: each value must be one an ext2/ext3 file
// system can have, so that no later computation wraps or runs away.
void CheckGeometry(const ext3::SuperBlock& sb, uint32_t blockSize) {
    if (sb.inodeSize < ext3::kMinInodeSize || sb.inodeSize > blockSize ||
        !PowerOfTwo(sb.inodeSize)) {
        RefuseSuperBlock("Impossible inode size", sb.inodeSize);
    }
    // One bitmap block per group holds the group's block and inode bits.
    if (sb.blocksPerGroup > 8ull * blockSize) {
        RefuseSuperBlock("Impossible blocks per group", sb.blocksPerGroup);
    }
    if (sb.inodesPerGroup > 8ull * blockSize) {
        RefuseSuperBlock("Impossible inodes per group", sb.inodesPerGroup);
    }
    if (sb.firstDataBlock >= sb.blocksCount) {
        RefuseSuperBlock("First data block beyond the blocks count", sb.firstDataBlock);
    }
}

// Group and descriptor counts in 64 bits: a blocks count near 2^32 with tiny groups
// must be refused for its table size, not wrap to an empty table.
Geometry ComputeGeometry(const ext3::SuperBlock& sb, uint32_t blockSize) {
    Geometry g;
    g.blockSize = blockSize;
    const uint64_t groups =
        (uint64_t{sb.blocksPerGroup} + (sb.blocksCount - sb.firstDataBlock) - 1) /
        sb.blocksPerGroup;
    g.descPerBlock = blockSize / ext3::kGroupDescSize;
    const uint64_t descBlocks = (groups + g.descPerBlock - 1) / g.descPerBlock;
    if (uint64_t{sb.inodesCount} > groups * sb.inodesPerGroup) {
        RefuseSuperBlock("Inodes count beyond the groups' inodes", sb.inodesCount);
    }
    const uint64_t tableBytes = descBlocks * blockSize;
    if (tableBytes > kMaxDescriptorTableBytes) {
        RefuseSuperBlock("Group descriptor table too large", tableBytes);
    }
    const uint64_t offset = uint64_t{blockSize} * (uint64_t{sb.firstDataBlock} + 1);
    if (offset > UINT32_MAX)
        RefuseSuperBlock("Group descriptor table beyond 4 GiB", offset);
    // Both fit in 32 bits now: the table is at most kMaxDescriptorTableBytes.
    g.groupCount = static_cast<uint32_t>(groups);
    g.descBlocks = static_cast<uint32_t>(descBlocks);
    g.descOffset = static_cast<uint32_t>(offset);
    return g;
}

// How many inodes from the start of a group's table may be in use: all of them,
// unless the descriptors carry flags and say the table is not initialised, or how
// many at its end were never used.
uint32_t InodesInUse(const ext3::GroupDesc& desc, bool groupFlags, uint32_t inodesPerGroup) {
    if (!groupFlags)
        return inodesPerGroup;
    if (desc.flags & ext3::kGroupInodeUninit)
        return 0;
    return desc.itableUnused <= inodesPerGroup ? inodesPerGroup - desc.itableUnused
                                               : inodesPerGroup;
}

std::string ErrnoText() {
    std::string text;
    RDFDFormatError(text);
    return text.empty() ? "NULL" : text;
}

// The values of the information file, in the order of its lines.
struct InfoFile {
    uint32_t extentSize, groupCount, blockSize, fragSize, blocksCount, firstDataBlock;
    uint32_t blocksPerGroup, inodesPerGroup, inodeSize, descPerBlock, descBlocks, firstInode;
    uint32_t inodesCount, aclEnabled, seLinuxEnabled;
    const std::list<unsigned int>* inodeTables;
};

// Appends one formatted line to `out`.
template <class... Args>
void Line(std::string* out, const char* format, Args... args) {
    char line[64];
    const int n = std::snprintf(line, sizeof line, format, args...);
    out->append(line, static_cast<size_t>(std::min<int>(n, sizeof line - 1)));
}

std::string InfoText(const InfoFile& v) {
    std::string text;
    Line(&text, "extentsize=%u \n", v.extentSize);
    Line(&text, "gdc=%u \n", v.groupCount);
    for (unsigned int block : *v.inodeTables)
        Line(&text, "itableblock=%u \n", block);
    Line(&text, "extentsize=%u \n", v.extentSize);
    Line(&text, "blocksize=%u \n", v.blockSize);
    Line(&text, "fragsize=%u \n", v.fragSize);
    Line(&text, "blockcount=%u \n", v.blocksCount);
    Line(&text, "firstdatablock=%u \n", v.firstDataBlock);
    Line(&text, "bpg=%u \n", v.blocksPerGroup);
    Line(&text, "ipg=%u \n", v.inodesPerGroup);
    Line(&text, "isize=%u \n", v.inodeSize);
    Line(&text, "ipb=%u \n", v.blockSize / v.inodeSize);
    Line(&text, "dpb=%u \n", v.descPerBlock);
    Line(&text, "descblock=%u \n", v.descBlocks);
    Line(&text, "firstinode=%u \n", v.firstInode);
    Line(&text, "icount=%u \n", v.inodesCount);
    Line(&text, "aclenabled=%u \n", v.aclEnabled);
    Line(&text, "selinuxlabels=%u \n", v.seLinuxEnabled);
    text += "fstype=ext3\n";
    return text;
}

// Writes the information file; a failed open, write, flush or close is the
// reader's failure, with the file's error in the log.
void WriteInfoFile(const char* path, const InfoFile& v) {
    kzvol::UniqueFile file(std::fopen(path, "w"));
    if (!file) {
        const int error = GetLastError();
        ReaderLog().Error(kContext, "Could not open %s to Dump FS info . Error:%u Error:%s ", path,
                          error, ErrnoText().c_str());
        Throw(RDFD_EXC_SYSTEM, "Dump File Open failed");
    }
    const std::string text = InfoText(v);
    int error = 0;  // errno of the first step that failed
    if (std::fwrite(text.data(), 1, text.size(), file.get()) != text.size() ||
        std::fflush(file.get()) != 0)
        error = GetLastError();
    if (std::fclose(file.release()) != 0 && error == 0)
        error = GetLastError();
    if (error != 0) {
        errno = error;
        ReaderLog().Error(kContext, "Could not write %s to Dump FS info . Error:%u Error:%s ", path,
                          error, ErrnoText().c_str());
        Throw(RDFD_EXC_SYSTEM, "Dump File Write failed");
    }
}

}  // namespace

void ReadExt3DirFromDevice::ValidateFileSystem(char* dumpPath, bool* isSupported,
                                               std::string* fsType) {
    EvDebug& log = ReaderLog();
    LogAndRethrow(kContext, false, [&] {
        unsigned char raw[ext3::kSuperBlockSize];
        const unsigned int got = m_pReadCallBack(m_pReadContext, reinterpret_cast<char*>(raw),
                                                 ext3::kSuperBlockSize, ext3::kSuperBlockOffset);
        if (got != ext3::kSuperBlockSize) {
            log.Error(kContext, " Could not read the entire SuperBlock . Read returned:%u  ", got);
            Throw(RDFD_EXC_READ, " Could not read the entire SuperBlock");
        }
        const ext3::SuperBlock sb = ext3::DecodeSuperBlock(raw);
        if (sb.magic != ext3::kMagic) {
            if (isSupported != nullptr)
                *isSupported = false;
            Throw(RDFD_EXC_FS, "Fs is not ext3 / empty or swap partition");
        }
        m_nInodeBudget = sb.inodesCount;
        m_nInodesCount = sb.inodesCount;
        m_nBlocksCount = sb.blocksCount;
        LogSuperBlock(sb);

        if (sb.featureIncompat & ext3::kExt4IncompatMask) {
            log.Debug(kContext, "incompatible feature set :%u", sb.featureIncompat);
            log.Debug(kContext, "Most likely ext4 -- unsupported fs type");
            if (isSupported != nullptr)
                *isSupported = false;
            if (fsType != nullptr)
                *fsType = "Ext4";
            Throw(RDFD_EXC_FS, " Fs is ext4");
        }
        log.DebugLvl(kContext, 3, "readonly-compatible feature set :%u", sb.featureRoCompat);
        log.DebugLvl(kContext, 3, "volume name:%s", sb.volumeName.c_str());
        log.DebugLvl(kContext, 3, "directory where last mounted:%s", sb.lastMounted.c_str());

        const uint32_t blockSize = 1024u << (sb.logBlockSize % 32);
        if (blockSize == 0 || blockSize % 512 != 0 || blockSize > kMaxBlockSize) {
            log.Error(kContext, "FS Block size is weird!! . Block Size :%u", blockSize);
            Throw(RDFD_EXC_FS, "Weird Block Size");
        }
        m_nBlockSize = blockSize;
        m_nInodeSize = sb.inodeSize;
        m_nInodesPerGroup = sb.inodesPerGroup;
        if (sb.inodeSize == 0 || sb.inodesPerGroup == 0 || sb.blocksCount == 0 ||
            sb.blocksPerGroup == 0) {
            log.Error(kContext,
                      "One of the InodeSize , InodesPerGroup , TotalBlockCount , BlocksPerGroup , "
                      "InodesPerGroup is zero");
            Throw(RDFD_EXC_FS, "Not a Valod SuperBlock .");
        }
        CheckGeometry(sb, blockSize);
        const Geometry g = ComputeGeometry(sb, blockSize);
        m_bEntryFileTypes = (sb.featureIncompat & ext3::kIncompatFileType) != 0;
        ReadGroupDescriptors(g.groupCount, g.descBlocks, g.descOffset,
                             (sb.featureRoCompat & ext3::kRoCompatGroupFlagsMask) != 0);
        if (dumpPath == nullptr)
            return;
        WriteInfoFile(dumpPath, InfoFile{m_nExtentSize, g.groupCount, blockSize, sb.logFragSize,
                                         sb.blocksCount, sb.firstDataBlock, sb.blocksPerGroup,
                                         sb.inodesPerGroup, sb.inodeSize, g.descPerBlock,
                                         g.descBlocks, sb.firstInode, sb.inodesCount, m_nAclEnabled,
                                         m_nSELinuxEnabled, &m_InodeTableBlocks});
    });
}

void ReadExt3DirFromDevice::ReadGroupDescriptors(uint32_t groupCount, uint32_t descBlocks,
                                                 uint32_t offset, bool groupFlags) {
    const uint32_t bytes = descBlocks * m_nBlockSize;
    std::vector<unsigned char> table;
    try {
        table.resize(bytes);
    } catch (const std::bad_alloc&) {
        ReaderLog().Error(kContext,
                          "calloc failed while allocating memory for GroupDescArray. Error:%u "
                          "Error:%s",
                          GetLastError(), ErrnoText().c_str());
        Throw(RDFD_EXC_SYSTEM, "calloc failed for GroupDescArray");
    }
    const unsigned int got =
        m_pReadCallBack(m_pReadContext, reinterpret_cast<char*>(table.data()), bytes, offset);
    if (got != bytes) {
        ReaderLog().Error(kContext,
                          "Could not read FS GroupDescriptors. Read returned:%u . SeekOffset:%llu ",
                          got, static_cast<unsigned long long>(offset));
        Throw(RDFD_EXC_READ, " Could not read File system Group Descriptors");
    }
    if (uint64_t{groupCount} * ext3::kGroupDescSize > table.size()) {
        ReaderLog().Error(kContext, "Group descriptor table of %u bytes holds fewer than %u groups",
                          bytes, groupCount);
        Throw(RDFD_EXC_FS, "Not a Valod SuperBlock .");
    }
    m_InodeTableBlocks.clear();
    m_InodeTableByGroup.clear();
    m_InodesInUseByGroup.clear();
    m_InodeBitmapByGroup.clear();
    m_InodeTableByGroup.reserve(groupCount);
    m_InodeBitmapByGroup.reserve(groupCount);
    m_InodesInUseByGroup.reserve(groupCount);
    for (uint32_t g = 0; g < groupCount; ++g) {
        const ext3::GroupDesc desc =
            ext3::DecodeGroupDesc(table.data() + uint64_t{g} * ext3::kGroupDescSize);
        ReaderLog().DebugLvl(kContext, 3, "%u InodeTable is located at Block:%u", g,
                             desc.inodeTable);
        m_InodeTableBlocks.push_back(desc.inodeTable);
        m_InodeTableByGroup.push_back(desc.inodeTable);
        m_InodeBitmapByGroup.push_back(desc.inodeBitmap);
        m_InodesInUseByGroup.push_back(InodesInUse(desc, groupFlags, m_nInodesPerGroup));
    }
}
