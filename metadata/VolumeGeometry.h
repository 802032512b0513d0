// The ext2/ext3 geometry and the volume-information file, in one place for the
// on-disk reader, the directory walk's DumpVolumeInfo and `kzvol volinfo-file`:
// the geometry decoded from a superblock and checked so that no derived value
// divides by zero, wraps or claims more than a device can hold; the file's
// key=value lines; and their parser. No state; safe on any thread.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <utility>
#include <vector>

namespace kzvol::metadata {

struct VolumeGeometry {
    uint32_t blockSize = 0, fragSize = 0, blockCount = 0, firstDataBlock = 0;
    uint32_t bpg = 0, ipg = 0, isize = 0, ipb = 0, gdc = 0, dpb = 0, descBlock = 0;
    uint32_t firstInode = 0, icount = 0, incompatFeatures = 0, roCompatFeatures = 0;
    uint16_t magic = 0;
};

// Why a superblock's geometry is unusable, in words fit for the log; an empty
// `why` when it is usable. `blockSize` tells that the block size is the cause.
struct GeometryProblem {
    std::string why;
    bool blockSize = false;
};

// Decodes the 1024 superblock bytes and computes the derived values. Refuses
// block sizes other than 1 to 16 KiB, zero counts, inode sizes and group sizes
// no ext2/ext3 can have, a first data block at or past the blocks count, more
// inodes than the groups hold and descriptor tables over 32 MiB or 4 GiB into
// the device. The magic and the feature flags are left to the caller.
GeometryProblem DecodeGeometry(const unsigned char* superBlock, VolumeGeometry* geometry);

// Bytes of the group descriptor table and its byte offset on the device (both
// below 4 GiB once DecodeGeometry accepted the geometry).
uint64_t DescriptorTableBytes(const VolumeGeometry& g);
uint64_t DescriptorTableOffset(const VolumeGeometry& g);

// The inode-table block of each of the gdc groups, from a descriptor table of
// DescriptorTableBytes(g) bytes.
std::vector<uint32_t> InodeTableBlocks(const VolumeGeometry& g, const unsigned char* table);

// The file's lines, "key=value \n" each, gdc + 17 in all; with `fsType` the
// reader's last line "fstype=ext3\n" follows.
std::string FormatVolumeInfo(const VolumeGeometry& g, const std::vector<uint32_t>& inodeTables,
                             uint32_t extentSize, unsigned aclEnabled, unsigned seLinuxLabels,
                             bool fsType = false);

// A volume-information file read back: its fields in file order (the first of
// each key), the inode-table blocks and both extent sizes.
struct VolumeInfoFile {
    std::vector<std::pair<std::string, std::string>> fields;
    std::vector<std::string> inodeTables, extentSizes;
};

// Parses the file and checks it is well formed: key=value lines, the group
// count matching the inode-table lines, both extent sizes equal. False with
// *error naming the first fault.
bool ParseVolumeInfo(std::istream& in, VolumeInfoFile* file, std::string* error);

}  // namespace kzvol::metadata
