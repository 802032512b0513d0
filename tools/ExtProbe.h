// Names the ext file-system family member on a device from its superblock, for
// the index command's report.
#pragma once

#include <string>

namespace kzvol::cli {

// "ext2", "ext3" (a journal), "ext4" (features the directory reader refuses), or
// "" when the device holds no ext superblock or cannot be read.
std::string ProbeExtType(int fd);

}  // namespace kzvol::cli
