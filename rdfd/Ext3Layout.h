// On-disk structures of ext2/ext3 that the directory reader reads, declared as byte
// layouts (every field a little-endian byte array, so the structs have no padding and
// their offsets are pinned below) and decoded explicitly into host-order records.
// Only the fields the reader uses are decoded; the others document the layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace kzvol::ext3 {

inline uint16_t Le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

using le16 = unsigned char[2];
using le32 = unsigned char[4];

constexpr uint64_t kSuperBlockOffset = 1024;
constexpr uint32_t kSuperBlockSize = 1024;
constexpr uint16_t kMagic = 0xEF53;
constexpr uint32_t kCompatHasJournal = 0x4;  // what makes an ext2 file system ext3
// Incompatible features the reader cannot walk: extents, 64-bit, multiple-mount
// protection, flexible block groups, extended attributes in inodes, directory data.
constexpr uint32_t kExt4IncompatMask = 0x40 | 0x80 | 0x100 | 0x200 | 0x400 | 0x1000;
// Directory entries carry the file type (otherwise the byte is the name length's
// high byte, and the type is the inode's).
constexpr uint32_t kIncompatFileType = 0x2;
// Group descriptors carry checksums, flags and a count of unused inodes at the end of
// the inode table (uninit_bg, metadata_csum); without either the fields mean nothing.
constexpr uint32_t kRoCompatGroupFlagsMask = 0x10 | 0x400;

struct RawSuperBlock {
    le32 inodesCount;
    le32 blocksCount;
    le32 reservedBlocksCount;
    le32 freeBlocksCount;
    le32 freeInodesCount;
    le32 firstDataBlock;
    le32 logBlockSize;
    le32 logFragSize;
    le32 blocksPerGroup;
    le32 fragsPerGroup;
    le32 inodesPerGroup;
    le32 mountTime;
    le32 writeTime;
    le16 mountCount;
    le16 maxMountCount;
    le16 magic;
    le16 state;
    le16 errors;
    le16 minorRevLevel;
    le32 lastCheck;
    le32 checkInterval;
    le32 creatorOs;
    le32 revLevel;
    le16 defResUid;
    le16 defResGid;
    le32 firstInode;
    le16 inodeSize;
    le16 blockGroupNr;
    le32 featureCompat;
    le32 featureIncompat;
    le32 featureRoCompat;
    unsigned char uuid[16];
    char volumeName[16];
    char lastMounted[64];
    unsigned char rest[824];
};
static_assert(sizeof(RawSuperBlock) == kSuperBlockSize);
static_assert(offsetof(RawSuperBlock, blocksCount) == 4);
static_assert(offsetof(RawSuperBlock, firstDataBlock) == 20);
static_assert(offsetof(RawSuperBlock, logBlockSize) == 24);
static_assert(offsetof(RawSuperBlock, logFragSize) == 28);
static_assert(offsetof(RawSuperBlock, blocksPerGroup) == 32);
static_assert(offsetof(RawSuperBlock, inodesPerGroup) == 40);
static_assert(offsetof(RawSuperBlock, magic) == 56);
static_assert(offsetof(RawSuperBlock, minorRevLevel) == 62);
static_assert(offsetof(RawSuperBlock, creatorOs) == 72);
static_assert(offsetof(RawSuperBlock, revLevel) == 76);
static_assert(offsetof(RawSuperBlock, firstInode) == 84);
static_assert(offsetof(RawSuperBlock, inodeSize) == 88);
static_assert(offsetof(RawSuperBlock, blockGroupNr) == 90);
static_assert(offsetof(RawSuperBlock, featureCompat) == 92);
static_assert(offsetof(RawSuperBlock, featureIncompat) == 96);
static_assert(offsetof(RawSuperBlock, featureRoCompat) == 100);
static_assert(offsetof(RawSuperBlock, volumeName) == 120);
static_assert(offsetof(RawSuperBlock, lastMounted) == 136);

// The superblock fields the reader logs, stores or writes, in host order.
struct SuperBlock {
    uint32_t inodesCount, blocksCount, reservedBlocksCount, freeBlocksCount, freeInodesCount;
    uint32_t firstDataBlock, logBlockSize, logFragSize, blocksPerGroup, fragsPerGroup;
    uint32_t inodesPerGroup;
    uint16_t magic, minorRevLevel;
    uint32_t creatorOs, revLevel, firstInode;
    uint16_t inodeSize, blockGroupNr;
    uint32_t featureCompat, featureIncompat, featureRoCompat;
    std::string volumeName, lastMounted;
};

// A fixed-width text field, up to its first NUL.
inline std::string FixedText(const char* field, size_t width) {
    const void* nul = std::memchr(field, '\0', width);
    return std::string(field, nul ? static_cast<const char*>(nul) - field : width);
}

// Fields are read at their pinned offsets, never through a cast of the bytes.
#define KZ_FIELD(Raw, bytes, field) ((bytes) + offsetof(Raw, field))

inline SuperBlock DecodeSuperBlock(const unsigned char* b) {
    SuperBlock sb;
    sb.inodesCount = Le32(KZ_FIELD(RawSuperBlock, b, inodesCount));
    sb.blocksCount = Le32(KZ_FIELD(RawSuperBlock, b, blocksCount));
    sb.reservedBlocksCount = Le32(KZ_FIELD(RawSuperBlock, b, reservedBlocksCount));
    sb.freeBlocksCount = Le32(KZ_FIELD(RawSuperBlock, b, freeBlocksCount));
    sb.freeInodesCount = Le32(KZ_FIELD(RawSuperBlock, b, freeInodesCount));
    sb.firstDataBlock = Le32(KZ_FIELD(RawSuperBlock, b, firstDataBlock));
    sb.logBlockSize = Le32(KZ_FIELD(RawSuperBlock, b, logBlockSize));
    sb.logFragSize = Le32(KZ_FIELD(RawSuperBlock, b, logFragSize));
    sb.blocksPerGroup = Le32(KZ_FIELD(RawSuperBlock, b, blocksPerGroup));
    sb.fragsPerGroup = Le32(KZ_FIELD(RawSuperBlock, b, fragsPerGroup));
    sb.inodesPerGroup = Le32(KZ_FIELD(RawSuperBlock, b, inodesPerGroup));
    sb.magic = Le16(KZ_FIELD(RawSuperBlock, b, magic));
    sb.minorRevLevel = Le16(KZ_FIELD(RawSuperBlock, b, minorRevLevel));
    sb.creatorOs = Le32(KZ_FIELD(RawSuperBlock, b, creatorOs));
    sb.revLevel = Le32(KZ_FIELD(RawSuperBlock, b, revLevel));
    sb.firstInode = Le32(KZ_FIELD(RawSuperBlock, b, firstInode));
    sb.inodeSize = Le16(KZ_FIELD(RawSuperBlock, b, inodeSize));
    sb.blockGroupNr = Le16(KZ_FIELD(RawSuperBlock, b, blockGroupNr));
    sb.featureCompat = Le32(KZ_FIELD(RawSuperBlock, b, featureCompat));
    sb.featureIncompat = Le32(KZ_FIELD(RawSuperBlock, b, featureIncompat));
    sb.featureRoCompat = Le32(KZ_FIELD(RawSuperBlock, b, featureRoCompat));
    sb.volumeName = FixedText(reinterpret_cast<const char*>(KZ_FIELD(RawSuperBlock, b, volumeName)),
                              sizeof(RawSuperBlock::volumeName));
    sb.lastMounted =
        FixedText(reinterpret_cast<const char*>(KZ_FIELD(RawSuperBlock, b, lastMounted)),
                  sizeof(RawSuperBlock::lastMounted));
    return sb;
}

struct RawGroupDesc {
    le32 blockBitmap;
    le32 inodeBitmap;
    le32 inodeTable;
    le16 freeBlocksCount;
    le16 freeInodesCount;
    le16 usedDirsCount;
    le16 flags;
    le32 excludeBitmap;
    le16 blockBitmapCsum;
    le16 inodeBitmapCsum;
    le16 itableUnused;
    le16 checksum;
};
static_assert(sizeof(RawGroupDesc) == 32);
static_assert(offsetof(RawGroupDesc, inodeTable) == 8);
static_assert(offsetof(RawGroupDesc, flags) == 18);
static_assert(offsetof(RawGroupDesc, itableUnused) == 28);
constexpr uint32_t kGroupDescSize = sizeof(RawGroupDesc);
// The group's inode table is not initialised: none of its inodes is in use.
constexpr uint16_t kGroupInodeUninit = 0x1;

// The group descriptor fields the reader uses, in host order.
struct GroupDesc {
    uint32_t inodeBitmap, inodeTable;
    uint16_t flags, itableUnused;
};

inline GroupDesc DecodeGroupDesc(const unsigned char* b) {
    return GroupDesc{
        Le32(KZ_FIELD(RawGroupDesc, b, inodeBitmap)), Le32(KZ_FIELD(RawGroupDesc, b, inodeTable)),
        Le16(KZ_FIELD(RawGroupDesc, b, flags)), Le16(KZ_FIELD(RawGroupDesc, b, itableUnused))};
}

constexpr unsigned kDirectBlocks = 12;
constexpr unsigned kSingleIndirect = 12;
constexpr unsigned kDoubleIndirect = 13;
constexpr unsigned kTripleIndirect = 14;
constexpr unsigned kBlockPointers = 15;

struct RawInode {
    le16 mode;
    le16 uid;
    le32 sizeLow;
    le32 accessTime;
    le32 changeTime;
    le32 modifyTime;
    le32 deleteTime;
    le16 gid;
    le16 linksCount;
    le32 sectors;
    le32 flags;
    le32 osd1;
    le32 block[kBlockPointers];
    le32 generation;
    le32 fileAcl;
    le32 sizeHigh;
    le32 fragmentAddress;
    unsigned char osd2[12];
};
static_assert(sizeof(RawInode) == 128);
static_assert(offsetof(RawInode, sizeLow) == 4);
static_assert(offsetof(RawInode, modifyTime) == 16);
static_assert(offsetof(RawInode, linksCount) == 26);
static_assert(offsetof(RawInode, block) == 40);
static_assert(offsetof(RawInode, sizeHigh) == 108);
// The smallest inode the reader accepts: every field it reads lies inside it.
constexpr uint32_t kMinInodeSize = sizeof(RawInode);

constexpr uint16_t kModeTypeMask = 0xF000;
constexpr uint16_t kModeDirectory = 0x4000;
constexpr uint16_t kModeRegular = 0x8000;
constexpr uint16_t kModeSymlink = 0xA000;

// The inode fields the reader uses, in host order.
struct Inode {
    uint16_t mode;
    uint32_t sizeLow, sizeHigh, modifyTime;
    uint16_t linksCount;
    uint32_t block[kBlockPointers];
    bool IsDirectory() const { return (mode & kModeTypeMask) == kModeDirectory; }
    bool IsSymlink() const { return (mode & kModeTypeMask) == kModeSymlink; }
    // Freed inodes have their mode cleared.
    bool InUse() const { return mode != 0; }
    // The file type a directory entry would carry for this inode; 0 for the kinds
    // the reader does not report (devices, FIFOs, sockets) and for a freed inode.
    uint8_t EntryFileType() const;
};

inline Inode DecodeInode(const unsigned char* b) {
    Inode inode;
    inode.mode = Le16(KZ_FIELD(RawInode, b, mode));
    inode.sizeLow = Le32(KZ_FIELD(RawInode, b, sizeLow));
    inode.sizeHigh = Le32(KZ_FIELD(RawInode, b, sizeHigh));
    inode.modifyTime = Le32(KZ_FIELD(RawInode, b, modifyTime));
    inode.linksCount = Le16(KZ_FIELD(RawInode, b, linksCount));
    for (unsigned i = 0; i < kBlockPointers; ++i)
        inode.block[i] = Le32(KZ_FIELD(RawInode, b, block) + 4 * i);
    return inode;
}

// What a restore keeps of an inode besides its data: owner, times, flags, and
// what tells a fast symbolic link (target in the block pointers) from one whose
// target lies in a data block.
struct InodeAttributes {
    uint16_t mode;
    uint32_t uid, gid;
    uint32_t accessTime, changeTime, modifyTime;
    uint32_t accessNanos = 0, modifyNanos = 0;  // from a large inode's extra fields
    uint32_t flags, sectors, fileAcl;
};

// Offsets past the 128-byte inode (Linux's osd2 and the large inode's extra
// fields) that DecodeInodeAttributes reads.
constexpr size_t kUidHighOffset = 120;
constexpr size_t kGidHighOffset = 122;
constexpr size_t kExtraSizeOffset = 128;
constexpr size_t kModifyExtraOffset = 136;
constexpr size_t kAccessExtraOffset = 140;

// Decodes the attributes of an inode of `inodeSize` bytes at `b`.
inline InodeAttributes DecodeInodeAttributes(const unsigned char* b, uint32_t inodeSize) {
    InodeAttributes a;
    a.mode = Le16(b + offsetof(RawInode, mode));
    a.uid = Le16(b + offsetof(RawInode, uid)) | (uint32_t{Le16(b + kUidHighOffset)} << 16);
    a.gid = Le16(b + offsetof(RawInode, gid)) | (uint32_t{Le16(b + kGidHighOffset)} << 16);
    a.accessTime = Le32(b + offsetof(RawInode, accessTime));
    a.changeTime = Le32(b + offsetof(RawInode, changeTime));
    a.modifyTime = Le32(b + offsetof(RawInode, modifyTime));
    a.flags = Le32(b + offsetof(RawInode, flags));
    a.sectors = Le32(b + offsetof(RawInode, sectors));
    a.fileAcl = Le32(b + offsetof(RawInode, fileAcl));
    if (inodeSize >= kAccessExtraOffset + 4) {
        const uint32_t extra = Le16(b + kExtraSizeOffset);
        // The extra fields hold the nanoseconds above their two epoch bits.
        if (extra >= kModifyExtraOffset + 4 - sizeof(RawInode))
            a.modifyNanos = Le32(b + kModifyExtraOffset) >> 2;
        if (extra >= kAccessExtraOffset + 4 - sizeof(RawInode))
            a.accessNanos = Le32(b + kAccessExtraOffset) >> 2;
    }
    return a;
}

struct RawDirEntryHeader {
    le32 inode;
    le16 recLen;
    unsigned char nameLen;
    unsigned char fileType;
};
static_assert(sizeof(RawDirEntryHeader) == 8);
static_assert(offsetof(RawDirEntryHeader, recLen) == 4);
static_assert(offsetof(RawDirEntryHeader, nameLen) == 6);
static_assert(offsetof(RawDirEntryHeader, fileType) == 7);
constexpr uint32_t kDirEntryHeaderSize = sizeof(RawDirEntryHeader);

constexpr uint8_t kFileTypeUnknown = 0;
constexpr uint8_t kFileTypeRegular = 1;
constexpr uint8_t kFileTypeDirectory = 2;
constexpr uint8_t kFileTypeSymlink = 7;

inline uint8_t Inode::EntryFileType() const {
    switch (mode & kModeTypeMask) {
        case kModeRegular:
            return kFileTypeRegular;
        case kModeDirectory:
            return kFileTypeDirectory;
        case kModeSymlink:
            return kFileTypeSymlink;
        default:
            return kFileTypeUnknown;
    }
}

#undef KZ_FIELD

}  // namespace kzvol::ext3
