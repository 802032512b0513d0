// Reads the ext superblock's magic and feature words, through the directory
// reader's own layout of it.
#include "tools/ExtProbe.h"

#include <unistd.h>

#include "rdfd/Ext3Layout.h"

namespace kzvol::cli {

std::string ProbeExtType(int fd) {
    unsigned char raw[ext3::kSuperBlockSize];
    if (::pread(fd, raw, sizeof raw, ext3::kSuperBlockOffset) != static_cast<ssize_t>(sizeof raw))
        return "";
    const ext3::SuperBlock sb = ext3::DecodeSuperBlock(raw);
    if (sb.magic != ext3::kMagic)
        return "";
    if (sb.featureIncompat & ext3::kExt4IncompatMask)
        return "ext4";
    return (sb.featureCompat & ext3::kCompatHasJournal) ? "ext3" : "ext2";
}

}  // namespace kzvol::cli
