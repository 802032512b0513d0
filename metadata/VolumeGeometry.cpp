// Decoding, checking, formatting and parsing of the volume-information geometry.
#include "metadata/VolumeGeometry.h"

#include <map>

#include "host/EvDebug.h"
#include "rdfd/Ext3Layout.h"

namespace kzvol::metadata {
namespace {

constexpr uint32_t kMaxBlockSize = 16384;
// The largest descriptor table of any ext3 file system (2^32 blocks of 1 KiB in
// groups of 8192) is 16 MiB; a claim beyond twice that is a corrupt superblock.
constexpr uint64_t kMaxDescriptorTableBytes = 32ull << 20;

bool PowerOfTwo(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

GeometryProblem Refuse(const char* why, unsigned long long value) {
    return {Format("%s :%llu", why, value), false};
}

// Each value must be one an ext2/ext3 file system can have; one bitmap block
// per group holds the group's block and inode bits.
GeometryProblem CheckSizes(const VolumeGeometry& g) {
    if (g.isize == 0 || g.ipg == 0 || g.blockCount == 0 || g.bpg == 0)
        return {
            "One of the InodeSize , InodesPerGroup , TotalBlockCount , BlocksPerGroup , "
            "InodesPerGroup is zero",
            false};
    if (g.isize < ext3::kMinInodeSize || g.isize > g.blockSize || !PowerOfTwo(g.isize))
        return Refuse("Impossible inode size", g.isize);
    if (g.bpg > 8ull * g.blockSize)
        return Refuse("Impossible blocks per group", g.bpg);
    if (g.ipg > 8ull * g.blockSize)
        return Refuse("Impossible inodes per group", g.ipg);
    if (g.firstDataBlock >= g.blockCount)
        return Refuse("First data block beyond the blocks count", g.firstDataBlock);
    return {};
}

// Group and descriptor counts in 64 bits: a blocks count near 2^32 with tiny
// groups is refused for its table size, never wrapped to a small table.
GeometryProblem ComputeCounts(VolumeGeometry* g) {
    const uint64_t groups = (uint64_t{g->bpg} + (g->blockCount - g->firstDataBlock) - 1) / g->bpg;
    g->dpb = g->blockSize / ext3::kGroupDescSize;
    const uint64_t descBlocks = (groups + g->dpb - 1) / g->dpb;
    if (uint64_t{g->icount} > groups * g->ipg)
        return Refuse("Inodes count beyond the groups' inodes", g->icount);
    if (descBlocks * g->blockSize > kMaxDescriptorTableBytes)
        return Refuse("Group descriptor table too large", descBlocks * g->blockSize);
    const uint64_t offset = uint64_t{g->blockSize} * (uint64_t{g->firstDataBlock} + 1);
    if (offset > UINT32_MAX)
        return Refuse("Group descriptor table beyond 4 GiB", offset);
    // Both fit in 32 bits now: the table is at most kMaxDescriptorTableBytes.
    g->gdc = static_cast<uint32_t>(groups);
    g->descBlock = static_cast<uint32_t>(descBlocks);
    g->ipb = g->blockSize / g->isize;
    return {};
}

}  // namespace

GeometryProblem DecodeGeometry(const unsigned char* superBlock, VolumeGeometry* g) {
    const ext3::SuperBlock sb = ext3::DecodeSuperBlock(superBlock);
    g->magic = sb.magic;
    g->incompatFeatures = sb.featureIncompat;
    g->roCompatFeatures = sb.featureRoCompat;
    g->fragSize = sb.logFragSize;
    g->blockCount = sb.blocksCount;
    g->firstDataBlock = sb.firstDataBlock;
    g->bpg = sb.blocksPerGroup;
    g->ipg = sb.inodesPerGroup;
    g->isize = sb.inodeSize;
    g->firstInode = sb.firstInode;
    g->icount = sb.inodesCount;
    // A shift of 32 or more is taken modulo 32, as the kernel's own shift would.
    g->blockSize = 1024u << (sb.logBlockSize % 32);
    if (g->blockSize == 0 || g->blockSize % 512 != 0 || g->blockSize > kMaxBlockSize)
        return {Format("FS Block size is weird!! . Block Size :%u", g->blockSize), true};
    GeometryProblem problem = CheckSizes(*g);
    return problem.why.empty() ? ComputeCounts(g) : problem;
}

uint64_t DescriptorTableBytes(const VolumeGeometry& g) {
    return uint64_t{g.descBlock} * g.blockSize;
}

uint64_t DescriptorTableOffset(const VolumeGeometry& g) {
    return uint64_t{g.blockSize} * (uint64_t{g.firstDataBlock} + 1);
}

std::vector<uint32_t> InodeTableBlocks(const VolumeGeometry& g, const unsigned char* table) {
    std::vector<uint32_t> blocks;
    blocks.reserve(g.gdc);
    for (uint32_t i = 0; i < g.gdc; ++i)
        blocks.push_back(ext3::Le32(table + uint64_t{i} * ext3::kGroupDescSize +
                                    offsetof(ext3::RawGroupDesc, inodeTable)));
    return blocks;
}

std::string FormatVolumeInfo(const VolumeGeometry& g, const std::vector<uint32_t>& inodeTables,
                             uint32_t extentSize, unsigned aclEnabled, unsigned seLinuxLabels,
                             bool fsType) {
    std::string text = Format("extentsize=%u \n", extentSize) + Format("gdc=%u \n", g.gdc);
    for (uint32_t block : inodeTables)
        text += Format("itableblock=%u \n", block);
    text += Format("extentsize=%u \n", extentSize);
    const std::pair<const char*, uint32_t> fields[] = {{"blocksize", g.blockSize},
                                                       {"fragsize", g.fragSize},
                                                       {"blockcount", g.blockCount},
                                                       {"firstdatablock", g.firstDataBlock},
                                                       {"bpg", g.bpg},
                                                       {"ipg", g.ipg},
                                                       {"isize", g.isize},
                                                       {"ipb", g.ipb},
                                                       {"dpb", g.dpb},
                                                       {"descblock", g.descBlock},
                                                       {"firstinode", g.firstInode},
                                                       {"icount", g.icount},
                                                       {"aclenabled", aclEnabled},
                                                       {"selinuxlabels", seLinuxLabels}};
    for (const auto& [key, value] : fields)
        text += Format("%s=%u \n", key, value);
    return fsType ? text + "fstype=ext3\n" : text;
}

bool ParseVolumeInfo(std::istream& in, VolumeInfoFile* file, std::string* error) {
    std::map<std::string, bool> seen;
    std::string line, gdc;
    for (int number = 1; std::getline(in, line); ++number) {
        const size_t eq = line.find('=');
        const size_t end = line.find_last_not_of(' ');
        if (eq == std::string::npos || eq == 0 || end == std::string::npos || end <= eq) {
            *error = "line " + std::to_string(number) + " is not key=value: " + line;
            return false;
        }
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1, end - eq);
        if (key == "itableblock")
            file->inodeTables.push_back(value);
        else if (key == "extentsize")
            file->extentSizes.push_back(value);
        if (!seen[key])
            file->fields.emplace_back(key, value);
        if (key == "gdc" && !seen[key])
            gdc = value;
        seen[key] = true;
    }
    if (gdc.empty() || std::to_string(file->inodeTables.size()) != gdc) {
        *error = "gdc=" + gdc + " but " + std::to_string(file->inodeTables.size()) +
                 " itableblock lines";
        return false;
    }
    if (file->extentSizes.size() != 2 || file->extentSizes[0] != file->extentSizes[1]) {
        *error = "extentsize is not given twice with one value";
        return false;
    }
    return true;
}

}  // namespace kzvol::metadata
