// The directory reader's read-ahead: finding, before the walk needs them, the
// inode-table blocks and directory blocks it will read, and announcing them to the
// read plan. Nothing here reports, throws or logs: a read-ahead read that fails
// only leaves a hint out, and the walk meets the failure itself if it matters.
#include <algorithm>
#include <chrono>

#include "rdfd/DirBlock.h"
#include "rdfd/Ext3Layout.h"
#include "rdfd/ReadExt3DirFromDevice.h"

namespace ext3 = kzvol::ext3;

namespace {

// True when any of bits [from, to) of `bitmap` is set (bit i is bit i % 8 of byte
// i / 8).
bool AnyBitSet(const std::vector<unsigned char>& bitmap, uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) {
        if (i % 8 == 0 && i + 8 <= to) {
            if (bitmap[i / 8] != 0)
                return true;
            i += 7;
        } else if (bitmap[i / 8] & (1u << (i % 8))) {
            return true;
        }
    }
    return false;
}

// The bytes the prescan reads at once, and the bytes of a probe: a piece of the
// inode tables asked about (or, without a residency query, read and timed) to tell a
// device that answers from this machine's memory from one that does not. Timing is
// the weaker test: a fresh mebibyte from the page cache can take as long as one a
// virtual disk's host serves from its own cache (400 microseconds and more on some
// machines). A device taken for memory wrongly loses its read-ahead until its slow
// reads show, while one taken for a disk wrongly only costs time.
constexpr uint64_t kPrescanChunk = 1 << 20;
constexpr uint64_t kPrescanProbe = kPrescanChunk;
constexpr unsigned int kProbes = 2;

// Hands the first kProbes pieces of at most kPrescanProbe bytes of the inode-table
// stretches `runs` (those within the device) to `probe(offset, size)`: true when
// there was one and `probe` answered true for each.
template <typename Runs, typename Probe>
bool EveryProbe(const Runs& runs, uint64_t deviceSize, Probe probe) {
    unsigned int probes = 0;
    for (const auto& run : runs) {
        if (run.offset + run.length > deviceSize)
            continue;
        for (uint64_t done = 0; done < run.length && probes < kProbes; done += kPrescanProbe) {
            const auto size = static_cast<unsigned int>(std::min(kPrescanProbe, run.length - done));
            if (!probe(run.offset + done, size))
                return false;
            ++probes;
        }
    }
    return probes != 0;
}

}  // namespace

bool ReadExt3DirFromDevice::TablesInMemory(const std::vector<TableRun>& runs) {
    const uint64_t deviceSize = uint64_t{m_nBlocksCount} * m_nBlockSize;
    if (m_pResidentCallBack != nullptr) {
        return EveryProbe(runs, deviceSize, [&](uint64_t offset, unsigned int size) {
            return m_pResidentCallBack(m_pReadContext, offset, size);
        });
    }
    // Without a residency query, each probe must come back fast.
    using Clock = std::chrono::steady_clock;
    std::vector<char> chunk(kPrescanProbe);
    return EveryProbe(runs, deviceSize, [&](uint64_t offset, unsigned int size) {
        const auto limit =
            std::chrono::microseconds(uint64_t{m_nPrescanMicros} * size / kPrescanProbe);
        const Clock::time_point start = Clock::now();
        return m_pReadCallBack(m_pReadContext, chunk.data(), size, offset) == size &&
               Clock::now() - start < limit;
    });
}

void ReadExt3DirFromDevice::HintInodeTables() {
    if (!m_Plan.Hinting())
        return;
    const std::vector<TableRun> runs = InodeTableRuns();
    m_bFromMemory = TablesInMemory(runs);
    m_Plan.SetBatched(m_bFromMemory);
    for (const TableRun& run : runs)
        m_Plan.HintBytes(run.offset, run.length, true);
    if (!m_bFromMemory)
        PrescanDirectories(runs);
}

std::vector<ReadExt3DirFromDevice::TableRun> ReadExt3DirFromDevice::InodeTableRuns() {
    std::vector<TableRun> runs;
    const uint32_t perBlock = m_nBlockSize / m_nInodeSize;
    const size_t groups = m_InodeTableByGroup.size();
    auto readable = [&](size_t g) {
        return m_InodesInUseByGroup[g] != 0 && m_InodeBitmapByGroup[g] < m_nBlocksCount;
    };
    for (size_t g = 0; g < groups; ++g) {
        if (readable(g))
            m_Plan.HintBytes(uint64_t{m_InodeBitmapByGroup[g]} * m_nBlockSize, m_nBlockSize);
    }
    std::vector<unsigned char> bitmap(m_nBlockSize);
    for (size_t g = 0; g < groups; ++g) {
        const uint32_t inUse = std::min(m_InodesInUseByGroup[g], m_nBlockSize * 8);
        if (inUse == 0)
            continue;
        const bool haveBitmap =
            readable(g) &&
            m_pReadCallBack(m_pReadContext, reinterpret_cast<char*>(bitmap.data()), m_nBlockSize,
                            uint64_t{m_InodeBitmapByGroup[g]} * m_nBlockSize) == m_nBlockSize;
        const uint64_t table = uint64_t{m_InodeTableByGroup[g]} * m_nBlockSize;
        const uint32_t tableBlocks = (inUse + perBlock - 1) / perBlock;
        uint32_t runStart = 0, runLength = 0;
        for (uint32_t k = 0; k <= tableBlocks; ++k) {
            const bool used =
                k < tableBlocks && (!haveBitmap || AnyBitSet(bitmap, k * perBlock,
                                                             std::min(inUse, (k + 1) * perBlock)));
            if (used) {
                if (runLength++ == 0)
                    runStart = k;
                continue;
            }
            if (runLength != 0) {
                runs.push_back(TableRun{table + uint64_t{runStart} * m_nBlockSize,
                                        uint64_t{runLength} * m_nBlockSize});
            }
            runLength = 0;
        }
    }
    return runs;
}

void ReadExt3DirFromDevice::PrescanDirectories(const std::vector<TableRun>& runs) {
    const uint64_t deviceSize = uint64_t{m_nBlocksCount} * m_nBlockSize;
    std::vector<char> chunk(kPrescanChunk);
    for (const TableRun& run : runs) {
        if (run.offset + run.length > deviceSize)
            continue;
        for (uint64_t done = 0; done < run.length;) {
            const auto size = static_cast<unsigned int>(std::min(kPrescanChunk, run.length - done));
            if (m_pReadCallBack(m_pReadContext, chunk.data(), size, run.offset + done) != size)
                return;
            m_bPrescanned = true;
            for (unsigned int i = 0; i < size / m_nInodeSize; ++i) {
                const ext3::Inode node = ext3::DecodeInode(
                    reinterpret_cast<const unsigned char*>(chunk.data()) + i * m_nInodeSize);
                if (node.IsDirectory() && node.linksCount != 0)
                    AnnounceDirectory(node);
            }
            done += size;
        }
    }
}

void ReadExt3DirFromDevice::AnnounceDirectory(const ext3::Inode& node) {
    uint32_t blocks[ext3::kBlockPointers];
    for (unsigned int i = 0; i < ext3::kBlockPointers; ++i)
        blocks[i] = m_Run.Holds(node.block[i]) ? 0 : node.block[i];
    m_Plan.Announce(blocks, ext3::kBlockPointers);
}

void ReadExt3DirFromDevice::AnnounceWalk(unsigned int inode, const ext3::Inode& node) {
    const bool held = m_Run.Holds(node.block[0]);
    AnnounceDirectory(node);
    if (m_bPrescanned || held || node.block[0] == 0)
        return;
    // Blocks announced in a row from the directory's first one on.
    auto leading = [](const ext3::Inode& dir) {
        uint32_t count = 1;
        while (count < ext3::kDirectBlocks && dir.block[count] == dir.block[0] + count)
            ++count;
        return count;
    };
    const uint32_t limit = std::max(1u, kMaxRunBytes / m_nBlockSize);
    uint64_t next = uint64_t{node.block[0]} + leading(node);
    ext3::Inode peer;
    for (uint32_t blocks = leading(node), k = inode + 1; blocks < limit && k != 0; ++k) {
        if (m_WalkedDirs.Contains(k) || !PeekInode(k, &peer, true) || !peer.IsDirectory() ||
            peer.linksCount == 0 || peer.block[0] != next)
            return;
        AnnounceDirectory(peer);
        const uint32_t count = leading(peer);
        blocks += count;
        next += count;
    }
}

bool ReadExt3DirFromDevice::PeekInode(unsigned int inode, ext3::Inode* node, bool throughCache) {
    unsigned int group = 0, index = 0;
    if (!FindInode(inode, &group, &index) || index > m_InodesInUseByGroup[group])
        return false;
    const unsigned long long offset = InodeOffset(group, index);
    char* buffer = InodeBuffer("ReadExt3DirFromDevice :: PeekInode");
    const unsigned int got = throughCache
                                 ? m_pCache->ReadAligned(buffer, m_nInodeSize, offset)
                                 : m_pReadCallBack(m_pReadContext, buffer, m_nInodeSize, offset);
    if (got != m_nInodeSize)
        return false;
    *node = ext3::DecodeInode(reinterpret_cast<unsigned char*>(buffer));
    return true;
}

void ReadExt3DirFromDevice::LookAheadChildren(const char* block) {
    if (!m_Plan.Hinting() || m_bPrescanned || m_bFromMemory || !m_bEntryFileTypes)
        return;
    ext3::DirBlockParser parser(reinterpret_cast<const unsigned char*>(block), m_nBlockSize);
    ext3::DirEntry entry;
    ext3::Inode node;
    while (parser.Next(&entry) == ext3::DirEntryStatus::kEntry) {
        // "." and ".." lead to directories walked already.
        if (entry.fileType != ext3::kFileTypeDirectory || entry.inode == 0 ||
            m_WalkedDirs.Contains(entry.inode))
            continue;
        if (PeekInode(entry.inode, &node, true) && node.IsDirectory())
            AnnounceDirectory(node);
    }
}
