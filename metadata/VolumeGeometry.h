// The ext2/ext3 geometry recorded in the volume-information file: decoded from a
// superblock, checked so that no derived value divides by zero or wraps, and
// formatted as the file's key=value lines. No state; safe on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kzvol::metadata {

struct VolumeGeometry {
    uint32_t blockSize = 0, fragSize = 0, blockCount = 0, firstDataBlock = 0;
    uint32_t bpg = 0, ipg = 0, isize = 0, ipb = 0, gdc = 0, dpb = 0, descBlock = 0;
    uint32_t firstInode = 0, icount = 0, incompatFeatures = 0;
    uint16_t magic = 0;
};

// Decodes the 1024 superblock bytes and computes the derived values. Returns ""
// when the geometry is usable, else why not (the magic and the meta-block-group
// feature are left to the caller, which reports them in its own words).
std::string DecodeGeometry(const unsigned char* superBlock, VolumeGeometry* geometry);

// Bytes of the group descriptor table and its byte offset on the device.
uint64_t DescriptorTableBytes(const VolumeGeometry& g);
uint64_t DescriptorTableOffset(const VolumeGeometry& g);

// The inode-table block of each of the gdc groups, from the descriptor table.
std::vector<uint32_t> InodeTableBlocks(const VolumeGeometry& g, const unsigned char* table);

// The file's lines, "key=value \n" each, gdc + 17 in all.
std::string FormatVolumeInfo(const VolumeGeometry& g, const std::vector<uint32_t>& inodeTables,
                             uint32_t extentSize, int aclEnabled, int seLinuxLabels);

}  // namespace kzvol::metadata
