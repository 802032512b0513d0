// Reading the block bitmaps of an ext2/ext3 file system through the directory
// reader's decoding of its on-disk structures.
#include "backup/UsedBlocks.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include "rdfd/Ext3Layout.h"

namespace kzvol::backup {
namespace {

constexpr uint32_t kMaxLogBlockSize = 6;  // 64 KiB blocks
// Twice the largest descriptor table an ext3 file system can have.
constexpr uint64_t kMaxTableBytes = 32ull << 20;
// Incompatible features that move or widen the group descriptors.
constexpr uint32_t kIncompatMetaBg = 0x10;
// The group's block bitmap is not initialised (with group flags only).
constexpr uint16_t kGroupBlockUninit = 0x2;

bool Refuse(const std::string& why, std::string* error) {
    *error = "the volume holds no ext2/ext3 file system whose block bitmaps can be read: " + why;
    return false;
}

void SetRange(std::vector<uint8_t>& bits, uint64_t from, uint64_t to) {
    for (uint64_t b = from; b < to; ++b)
        bits[b / 8] |= static_cast<uint8_t>(1u << (b % 8));
}

}  // namespace

bool UsedBlocks::Load(uint64_t volumeBytes, const ReadAt& read, std::string* error) {
    unsigned char raw[ext3::kSuperBlockSize];
    if (!read(ext3::kSuperBlockOffset, ext3::kSuperBlockSize, reinterpret_cast<char*>(raw), error))
        return false;
    const ext3::SuperBlock sb = ext3::DecodeSuperBlock(raw);
    if (sb.magic != ext3::kMagic)
        return Refuse("no ext2/ext3 superblock", error);
    if (sb.featureIncompat & (ext3::kExt4IncompatMask | kIncompatMetaBg))
        return Refuse("it uses ext4 features", error);
    if (sb.logBlockSize > kMaxLogBlockSize || sb.blocksPerGroup == 0 ||
        sb.firstDataBlock >= sb.blocksCount)
        return Refuse("its superblock gives an impossible geometry", error);
    blockSize_ = 1024u << sb.logBlockSize;
    blocks_ = sb.blocksCount;
    if (sb.blocksPerGroup > 8ull * blockSize_ || blocks_ * blockSize_ > volumeBytes)
        return Refuse("its superblock gives an impossible geometry", error);
    used_.assign((blocks_ + 7) / 8, 0);
    SetRange(used_, 0, sb.firstDataBlock);
    return ReadGroups(sb.firstDataBlock, sb.blocksPerGroup,
                      (sb.featureRoCompat & ext3::kRoCompatGroupFlagsMask) != 0, read, error);
}

bool UsedBlocks::ReadGroups(uint32_t firstDataBlock, uint32_t blocksPerGroup, bool groupFlags,
                            const ReadAt& read, std::string* error) {
    const uint64_t groups = (blocks_ - firstDataBlock + blocksPerGroup - 1) / blocksPerGroup;
    const uint64_t tableBytes = groups * ext3::kGroupDescSize;
    const uint64_t tableBlocks = (tableBytes + blockSize_ - 1) / blockSize_;
    if (tableBlocks * blockSize_ > kMaxTableBytes)
        return Refuse("its group descriptor table would be too large", error);
    std::vector<char> table(tableBlocks * blockSize_);
    if (!read(uint64_t{blockSize_} * (firstDataBlock + 1), static_cast<uint32_t>(table.size()),
              table.data(), error))
        return false;
    std::unique_ptr<char[]> bitmap(new char[blockSize_]);
    for (uint64_t g = 0; g < groups; ++g) {
        const auto* desc =
            reinterpret_cast<const unsigned char*>(table.data() + g * ext3::kGroupDescSize);
        const uint64_t first = firstDataBlock + g * blocksPerGroup;
        const uint64_t end = std::min<uint64_t>(blocks_, first + blocksPerGroup);
        const uint32_t where = ext3::Le32(desc + offsetof(ext3::RawGroupDesc, blockBitmap));
        if (groupFlags && (ext3::DecodeGroupDesc(desc).flags & kGroupBlockUninit)) {
            SetRange(used_, first, end);
            continue;
        }
        if (where < firstDataBlock || where >= blocks_)
            return Refuse("group " + std::to_string(g) + " has its block bitmap outside", error);
        if (!read(uint64_t{where} * blockSize_, blockSize_, bitmap.get(), error))
            return false;
        for (uint64_t b = first; b < end; ++b)
            if (bitmap[(b - first) / 8] >> ((b - first) % 8) & 1)
                used_[b / 8] |= static_cast<uint8_t>(1u << (b % 8));
    }
    return true;
}

void UsedBlocks::Mask(uint64_t offset, char* data, uint32_t length) const {
    const uint64_t end = offset + length;
    for (uint64_t at = offset; at < end;) {
        const uint64_t block = at / blockSize_;
        const uint64_t next = std::min(end, (block + 1) * blockSize_);
        if (!Used(block))
            std::memset(data + (at - offset), 0, next - at);
        at = next;
    }
}

bool UsedBlocks::Unused(uint64_t offset, uint32_t length) const {
    for (uint64_t b = offset / blockSize_; b * blockSize_ < offset + length; ++b)
        if (Used(b))
            return false;
    return true;
}

uint64_t UsedBlocks::UsedBlockCount() const {
    uint64_t n = 0;
    for (uint8_t byte : used_)
        n += static_cast<uint64_t>(__builtin_popcount(byte));
    return n;
}

}  // namespace kzvol::backup
