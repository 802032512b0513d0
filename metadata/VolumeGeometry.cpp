// Decoding, checking and formatting of the volume-information geometry.
#include "metadata/VolumeGeometry.h"

#include "host/EvDebug.h"
#include "rdfd/Ext3Layout.h"

namespace kzvol::metadata {
namespace {

// Block sizes above 64 KiB do not exist on ext2/ext3; a larger shift is damage.
constexpr uint32_t kMaxLogBlockSize = 6;
// Twice the largest descriptor table ext3 can have (2^32 blocks of 1 KiB).
constexpr uint64_t kMaxDescriptorTableBytes = 32ull << 20;

}  // namespace

std::string DecodeGeometry(const unsigned char* superBlock, VolumeGeometry* g) {
    const ext3::SuperBlock sb = ext3::DecodeSuperBlock(superBlock);
    g->magic = sb.magic;
    g->incompatFeatures = sb.featureIncompat;
    g->fragSize = sb.logFragSize;
    g->blockCount = sb.blocksCount;
    g->firstDataBlock = sb.firstDataBlock;
    g->bpg = sb.blocksPerGroup;
    g->ipg = sb.inodesPerGroup;
    g->isize = sb.inodeSize;
    g->firstInode = sb.firstInode;
    g->icount = sb.inodesCount;
    if (sb.logBlockSize > kMaxLogBlockSize)
        return Format("block size shift %u is beyond 64 KiB blocks", sb.logBlockSize);
    g->blockSize = 1024u << sb.logBlockSize;
    if (g->isize == 0 || g->bpg == 0)
        return Format("inode size %u and blocks per group %u must both be non-zero", g->isize,
                      g->bpg);
    if (g->firstDataBlock >= g->blockCount)
        return Format("first data block %u is not below the blocks count %u", g->firstDataBlock,
                      g->blockCount);
    g->gdc = static_cast<uint32_t>((uint64_t{g->bpg} + (g->blockCount - g->firstDataBlock) - 1) /
                                   g->bpg);
    g->dpb = g->blockSize / ext3::kGroupDescSize;
    g->descBlock = (g->dpb + g->gdc - 1) / g->dpb;
    g->ipb = g->blockSize / g->isize;
    if (DescriptorTableBytes(*g) > kMaxDescriptorTableBytes)
        return Format("descriptor table of %u blocks is too large", g->descBlock);
    return "";
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
                             uint32_t extentSize, int aclEnabled, int seLinuxLabels) {
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
                                                       {"icount", g.icount}};
    for (const auto& [key, value] : fields)
        text += Format("%s=%u \n", key, value);
    text += Format("aclenabled=%d \n", aclEnabled);
    text += Format("selinuxlabels=%d \n", seLinuxLabels);
    return text;
}

}  // namespace kzvol::metadata
