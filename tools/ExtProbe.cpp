// Reads the ext superblock's magic and feature words.
#include "tools/ExtProbe.h"

#include <unistd.h>

#include <cstdint>

namespace kzvol::cli {
namespace {

constexpr off_t kSuperblockOffset = 1024;
constexpr size_t kMagicAt = 56, kCompatAt = 92, kIncompatAt = 96;
constexpr uint16_t kExtMagic = 0xEF53;
constexpr uint32_t kCompatHasJournal = 0x4;
// Extents, 64-bit, MMP, flex_bg, EA in inode, dirdata.
constexpr uint32_t kIncompatExt4Only = 0x17C0;

uint32_t Le(const unsigned char* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

}  // namespace

std::string ProbeExtType(int fd) {
    unsigned char sb[128];
    if (::pread(fd, sb, sizeof sb, kSuperblockOffset) != static_cast<ssize_t>(sizeof sb))
        return "";
    if (Le(sb + kMagicAt, 2) != kExtMagic)
        return "";
    if (Le(sb + kIncompatAt, 4) & kIncompatExt4Only)
        return "ext4";
    return (Le(sb + kCompatAt, 4) & kCompatHasJournal) ? "ext3" : "ext2";
}

}  // namespace kzvol::cli
