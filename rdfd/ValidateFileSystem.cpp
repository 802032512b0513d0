// ReadExt3DirFromDevice::ValidateFileSystem: reads the superblock and the group
// descriptor table straight through the read callback, refuses what the reader
// cannot walk (foreign, ext4, impossible geometry), fills the reader's geometry and
// writes the key=value file-system information file.
#include <cstdio>
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

Geometry ComputeGeometry(const ext3::SuperBlock& sb, uint32_t blockSize) {
    Geometry g;
    g.blockSize = blockSize;
    const uint64_t groups =
        (uint64_t{sb.blocksPerGroup} + (sb.blocksCount - sb.firstDataBlock) - 1) /
        sb.blocksPerGroup;
    g.groupCount = static_cast<uint32_t>(groups);
    g.descPerBlock = blockSize / ext3::kGroupDescSize;
    g.descBlocks = (g.descPerBlock + g.groupCount - 1) / g.descPerBlock;
    if (uint64_t{sb.inodesCount} > groups * sb.inodesPerGroup) {
        RefuseSuperBlock("Inodes count beyond the groups' inodes", sb.inodesCount);
    }
    const uint64_t tableBytes = uint64_t{g.descBlocks} * blockSize;
    if (tableBytes > kMaxDescriptorTableBytes) {
        RefuseSuperBlock("Group descriptor table too large", tableBytes);
    }
    const uint64_t offset = uint64_t{blockSize} * (uint64_t{sb.firstDataBlock} + 1);
    if (offset > UINT32_MAX)
        RefuseSuperBlock("Group descriptor table beyond 4 GiB", offset);
    g.descOffset = static_cast<uint32_t>(offset);
    return g;
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

void WriteInfoFile(const char* path, const InfoFile& v) {
    kzvol::UniqueFile file(std::fopen(path, "w"));
    if (!file) {
        const int error = GetLastError();
        ReaderLog().Error(kContext, "Could not open %s to Dump FS info . Error:%u Error:%s ", path,
                          error, ErrnoText().c_str());
        Throw(RDFD_EXC_SYSTEM, "Dump File Open failed");
    }
    FILE* f = file.get();
    std::fprintf(f, "extentsize=%u \n", v.extentSize);
    std::fprintf(f, "gdc=%u \n", v.groupCount);
    for (unsigned int block : *v.inodeTables)
        std::fprintf(f, "itableblock=%u \n", block);
    std::fprintf(f, "extentsize=%u \n", v.extentSize);
    std::fprintf(f, "blocksize=%u \n", v.blockSize);
    std::fprintf(f, "fragsize=%u \n", v.fragSize);
    std::fprintf(f, "blockcount=%u \n", v.blocksCount);
    std::fprintf(f, "firstdatablock=%u \n", v.firstDataBlock);
    std::fprintf(f, "bpg=%u \n", v.blocksPerGroup);
    std::fprintf(f, "ipg=%u \n", v.inodesPerGroup);
    std::fprintf(f, "isize=%u \n", v.inodeSize);
    std::fprintf(f, "ipb=%u \n", v.blockSize / v.inodeSize);
    std::fprintf(f, "dpb=%u \n", v.descPerBlock);
    std::fprintf(f, "descblock=%u \n", v.descBlocks);
    std::fprintf(f, "firstinode=%u \n", v.firstInode);
    std::fprintf(f, "icount=%u \n", v.inodesCount);
    std::fprintf(f, "aclenabled=%u \n", v.aclEnabled);
    std::fprintf(f, "selinuxlabels=%u \n", v.seLinuxEnabled);
    std::fprintf(f, "fstype=ext3\n");
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
        ReadGroupDescriptors(g.groupCount, g.descBlocks, g.descOffset);
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
                                                 uint32_t offset) {
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
    m_InodeTableBlocks.clear();
    m_InodeTableByGroup.clear();
    m_InodeTableByGroup.reserve(groupCount);
    for (uint32_t g = 0; g < groupCount; ++g) {
        const unsigned char* desc = table.data() + uint64_t{g} * ext3::kGroupDescSize;
        const uint32_t block = ext3::Le32(desc + offsetof(ext3::RawGroupDesc, inodeTable));
        ReaderLog().DebugLvl(kContext, 3, "%u InodeTable is located at Block:%u", g, block);
        m_InodeTableBlocks.push_back(block);
        m_InodeTableByGroup.push_back(block);
    }
}
