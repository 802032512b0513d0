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
#include "metadata/VolumeGeometry.h"
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

// Writes the information file; a failed open, write, flush or close is the
// reader's failure, with the file's error in the log.
void WriteInfoFile(const char* path, const std::string& text) {
    kzvol::UniqueFile file(std::fopen(path, "w"));
    if (!file) {
        const int error = GetLastError();
        ReaderLog().Error(kContext, "Could not open %s to Dump FS info . Error:%u Error:%s ", path,
                          error, ErrnoText().c_str());
        Throw(RDFD_EXC_SYSTEM, "Dump File Open failed");
    }
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

        kzvol::metadata::VolumeGeometry g;
        const kzvol::metadata::GeometryProblem problem = kzvol::metadata::DecodeGeometry(raw, &g);
        if (problem.blockSize) {
            log.Error(kContext, "%s", problem.why.c_str());
            Throw(RDFD_EXC_FS, "Weird Block Size");
        }
        m_nBlockSize = g.blockSize;
        m_nInodeSize = sb.inodeSize;
        m_nInodesPerGroup = sb.inodesPerGroup;
        if (!problem.why.empty()) {
            log.Error(kContext, "%s", problem.why.c_str());
            Throw(RDFD_EXC_FS, "Not a Valod SuperBlock .");
        }
        m_bEntryFileTypes = (sb.featureIncompat & ext3::kIncompatFileType) != 0;
        ReadGroupDescriptors(g.gdc, g.descBlock,
                             static_cast<uint32_t>(kzvol::metadata::DescriptorTableOffset(g)),
                             (sb.featureRoCompat & ext3::kRoCompatGroupFlagsMask) != 0);
        if (dumpPath == nullptr)
            return;
        const std::vector<uint32_t> tables(m_InodeTableBlocks.begin(), m_InodeTableBlocks.end());
        WriteInfoFile(dumpPath,
                      kzvol::metadata::FormatVolumeInfo(g, tables, m_nExtentSize, m_nAclEnabled,
                                                        m_nSELinuxEnabled, true));
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
        const bool uninit = groupFlags && (desc.flags & ext3::kGroupInodeUninit);
        m_InodeBitmapByGroup.push_back(uninit ? kzvol::rdfd::kNoInodeBitmap : desc.inodeBitmap);
        m_InodesInUseByGroup.push_back(InodesInUse(desc, groupFlags, m_nInodesPerGroup));
    }
}
