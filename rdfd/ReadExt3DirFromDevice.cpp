// The depth-first ext2/ext3 directory walk: root inode first, then each directory's
// blocks in pointer order (direct, single, double, triple indirect), each block's
// entries in on-disk order, each sub-directory walked completely when its entry is
// met. Inodes are read through the cache, directory and indirect blocks in runs of
// announced neighbours. The walk descends through a stack of cursors, not through
// recursion.
#include "rdfd/ReadExt3DirFromDevice.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "rdfd/DirBlock.h"
#include "rdfd/DirBlockSequence.h"
#include "rdfd/Ext3Layout.h"
#include "rdfd/ReaderSupport.h"

using kzvol::rdfd::AllocBuffer;
using kzvol::rdfd::LogAndRethrow;
using kzvol::rdfd::ReaderLog;
using kzvol::rdfd::Throw;
namespace ext3 = kzvol::ext3;

namespace {

const char kCtorContext[] = "ReadExt3DirFromDevice :: ReadExt3DirFromDevice";
const char kMapContext[] = "ReadExt3DirFromDevice :: GetInodeAnameMapping";
const char kInodeContext[] = "ReadExt3DirFromDevice :: ProcessInode";
const char kReadInodeContext[] = "ReadExt3DirFromDevice :: ReadInode";
const char kReadBlockContext[] = "ReadExt3DirFromDevice :: ReadFsBlock";
const char kSingleContext[] = "ReadExt3DirFromDevice :: ProcessSingleIndirection";
const char kDoubleContext[] = "ReadExt3DirFromDevice :: ProcessDoubleIndirection";
const char kTripleContext[] = "ReadExt3DirFromDevice :: ProcessTripleIndirection";
const char kBlockContext[] = "ReadExt3DirFromDevice :: ProcessBlock";
const char kBlockBufText[] = "Could not allocate memory to hold the BlockBuf";
constexpr unsigned int kQuitInterval = 1000;

}  // namespace

// Reports the entries of one block: a sub-directory is walked at once (through the
// cursor stack of WalkTree), a file's inode is read at once.
class ReadExt3DirFromDevice::DepthFirstSink : public EntrySink {
  public:
    explicit DepthFirstSink(ReadExt3DirFromDevice* reader) : reader_(reader) {}
    int OnDirectory(unsigned int dirInode, const ext3::DirEntry& entry) override {
        CheckFirstVisit(dirInode, entry.inode);
        return reader_->ProcessInode(dirInode, entry.inode, const_cast<char*>(entry.name), true);
    }
    int OnFile(unsigned int dirInode, const ext3::DirEntry& entry) override {
        if (reader_->m_bNamesOnly) {
            reader_->ReportNameOnly(kBlockContext, dirInode, entry);
            return 0;
        }
        return reader_->ProcessInode(dirInode, entry.inode, const_cast<char*>(entry.name), false);
    }

  protected:
    void CheckFirstVisit(unsigned int dirInode, unsigned int inode) {
        if (reader_->m_WalkedDirs.Contains(inode)) {
            reader_->RefuseSecondParent(kInodeContext, inode, dirInode,
                                        reader_->m_PathInodes.Contains(inode));
        }
    }
    ReadExt3DirFromDevice* reader_;
};

// The sink of the walk itself: a sub-directory is reported and handed back to
// WalkTree, which descends into it and comes back to the entry after it.
class ReadExt3DirFromDevice::TreeSink : public DepthFirstSink {
  public:
    using DepthFirstSink::DepthFirstSink;
    int OnDirectory(unsigned int dirInode, const ext3::DirEntry& entry) override {
        CheckFirstVisit(dirInode, entry.inode);
        if (!reader_->ReadAndReport(dirInode, entry.inode, const_cast<char*>(entry.name), true,
                                    &childNode))
            return 0;
        childInode = entry.inode;
        return kDescend;
    }

    unsigned int childInode = 0;
    ext3::Inode childNode{};
};

// One directory level of the walk: where its listing stopped.
struct ReadExt3DirFromDevice::DirCursor {
    DirCursor(unsigned int dirInode, const ext3::Inode& node, unsigned int blockSize)
        : inode(dirInode), blocksLeft(2ull * (node.sizeLow / blockSize + 1)), blocks(node.block) {}

    unsigned int inode;
    // A directory of N data blocks has at most N indirect blocks besides them.
    unsigned long long blocksLeft;
    ext3::DirBlockSequence blocks;
    unsigned int block = 0;  // the data block being listed; 0 between blocks
    uint32_t position = 0;   // where its next entry starts
    std::vector<char> data;  // the block's bytes, kept while a sub-directory is walked
};

ReadExt3DirFromDevice::ReadExt3DirFromDevice(ReadCallBack readCallBack, void* readContext,
                                             QuitCheckCallBack quitCallBack, int quitArgument,
                                             void* quitContext, unsigned int extentSize,
                                             bool namesOnly, unsigned int cacheSize,
                                             unsigned int bufferCount,
                                             std::list<std::string>* filterList)
    : ReadDirFromDevice(readCallBack, readContext, extentSize, filterList),
      m_nQuitArgument(quitArgument),
      m_pQuitContext(quitContext),
      m_pQuitCallBack(quitCallBack),
      m_bNamesOnly(namesOnly) {
    LogAndRethrow(kCtorContext, false, [&] {
        m_pCache.reset(new (std::nothrow)
                           BufferCache(readCallBack, readContext, cacheSize, bufferCount));
        if (!m_pCache)
            Throw(RDFD_EXC_SYSTEM, "Could not create the BufferCache object");
    });
}

ReadExt3DirFromDevice::~ReadExt3DirFromDevice() = default;

int ReadExt3DirFromDevice::GetInodeAnameMapping(GetInodeAnameMappingCallBack callBack,
                                                void* context, char* rootName,
                                                unsigned int rootInode) {
    return LogAndRethrow(kMapContext, false, [&] {
        if (callBack == nullptr) {
            Throw(RDFD_EXC_APPLICATION,
                  "Improper Usage. GetInodeAnameMappingCallBack cannot be NULL");
        }
        m_pMapCallBack = callBack;
        m_pMapContext = context;
        const unsigned long long deviceSize =
            static_cast<unsigned long long>(m_nBlocksCount) * m_nBlockSize;
        if (deviceSize == 0)
            Throw(RDFD_EXC_FS, "DeviceSize is zero");
        ReaderLog().Debug(kMapContext, "DeviceSize[%llu] BlocksCount[%u] BlockSize[%u]", deviceSize,
                          m_nBlocksCount, m_nBlockSize);
        m_pCache->SetDeviceSize(deviceSize);
        m_nWalkBlocksLeft = m_nBlocksCount;
        m_Plan.SetBlockSize(m_nBlockSize);
        HintInodeTables();
        char noName[] = "";
        return ProcessInode(0, rootInode, rootName != nullptr ? rootName : noName, true) == -1 ? -1
                                                                                               : 0;
    });
}

void ReadExt3DirFromDevice::PollQuit() {
    if (m_pQuitCallBack == nullptr)
        return;
    if (--m_nQuitCountdown != 0)
        return;
    unsigned char quit = 0;  // the callback stores a bool into it
    m_pQuitCallBack(m_nQuitArgument, m_pQuitContext, &quit);
    if (quit != 0) {
        ReaderLog().Error(kInodeContext, "Quit flag is set. Aborting meta data collection");
        Throw(RDFD_EXC_APPLICATION, "Quit flag set");
    }
    m_nQuitCountdown = kQuitInterval;
}

void ReadExt3DirFromDevice::RefuseSecondParent(const char* context, unsigned int dirInode,
                                               unsigned int parentInode, bool loop) {
    if (loop) {
        ReaderLog().Error(context,
                          "Directory Inode:%u is already on the current path . Parent Inode:%u",
                          dirInode, parentInode);
        Throw(RDFD_EXC_FS, "Directory loop detected");
    }
    ReaderLog().Error(context,
                      "Directory Inode:%u was reached before from another parent . Parent Inode:%u",
                      dirInode, parentInode);
    Throw(RDFD_EXC_FS, "Directory with more than one parent");
}

void ReadExt3DirFromDevice::SpendInodeBudget(const char* context) {
    if (m_nInodeBudget == 0) {
        ReaderLog().Debug(context, "Inode Count Exhausted");
        Throw(RDFD_EXC_FS, "Inode Count Exhausted");
    }
    --m_nInodeBudget;
}

bool ReadExt3DirFromDevice::ReadAndReport(unsigned int parentInode, unsigned int inode, char* name,
                                          bool isDir, ext3::Inode* node) {
    PollQuit();
    // Only the root of the walk (parent 0) must be there whatever its descriptors say.
    const bool isRoot = parentInode == 0;
    if (!isRoot && !InodeTableHolds(inode)) {
        ReaderLog().DebugLvl(kInodeContext, 3,
                             "Pinode:%u ShortName:%s Inode:%u is not in use , skipping it",
                             parentInode, name, inode);
        return false;
    }
    *node = ReadDecodedInode(kInodeContext, inode);
    if (!isRoot && !node->InUse()) {
        ReaderLog().DebugLvl(kInodeContext, 3,
                             "Pinode:%u ShortName:%s Inode:%u is not in use , skipping it",
                             parentInode, name, inode);
        return false;
    }
    if (isDir && !node->IsDirectory()) {
        ReaderLog().Error(kInodeContext,
                          "The Inode read doesnot seem to be a Dir . Inode:%u , Mode:%u ", inode,
                          node->mode);
        Throw(RDFD_EXC_FS, "This Seems to be not a dir");
    }
    // A link's size is its target's length: the low word only.
    unsigned long long size = node->sizeLow;
    if (!isDir && !node->IsSymlink())
        size += static_cast<unsigned long long>(node->sizeHigh) << 32;
    if (!isDir && node->linksCount > 1) {
        ReaderLog().DebugLvl(kInodeContext, 3, "Pinode:%u ShortName:%s has nlink:%u , skipping it",
                             parentInode, name, node->linksCount);
        return false;
    }
    SpendInodeBudget(kInodeContext);
    if (!m_pMapCallBack(m_pMapContext, parentInode, inode, size, node->modifyTime, isDir, name)) {
        ReaderLog().Error(kInodeContext, "GetInodeAnameMappingCallBack indicated error");
        Throw(RDFD_EXC_APPLICATION, "Inode Aname Mapping Call back failed");
    }
    return true;
}

int ReadExt3DirFromDevice::ProcessInode(unsigned int parentInode, unsigned int inode, char* name,
                                        bool isDir) {
    return LogAndRethrow(kInodeContext, true, [&] {
        ext3::Inode node;
        if (!ReadAndReport(parentInode, inode, name, isDir, &node) || !isDir)
            return 0;
        return WalkDirectory(inode, node);
    });
}

int ReadExt3DirFromDevice::WalkDirectory(unsigned int inode, const ext3::Inode& node) {
    return WalkTree(inode, node);
}

int ReadExt3DirFromDevice::WalkTree(unsigned int inode, const ext3::Inode& node) {
    std::vector<DirCursor> stack;
    // The directories still on the stack leave the path however the walk ends.
    struct PathGuard {
        ReadExt3DirFromDevice* reader;
        std::vector<DirCursor>& stack;
        ~PathGuard() {
            for (const DirCursor& dir : stack)
                reader->m_PathInodes.Erase(dir.inode);
        }
    } guard{this, stack};
    auto enter = [&](unsigned int dir, const ext3::Inode& dirNode) {
        m_PathInodes.Insert(dir);
        m_WalkedDirs.Insert(dir);
        AnnounceWalk(dir, dirNode);
        stack.emplace_back(dir, dirNode, m_nBlockSize);
    };
    enter(inode, node);
    unsigned int childInode = 0;
    ext3::Inode childNode{};
    while (!stack.empty()) {
        const int result = NextSubdirectory(stack.back(), &childInode, &childNode);
        if (result == -1)
            return -1;
        if (result == 1) {
            enter(childInode, childNode);
            continue;
        }
        m_PathInodes.Erase(stack.back().inode);
        stack.pop_back();
    }
    return 0;
}

void ReadExt3DirFromDevice::LoadIndirect(const char* context, unsigned int dirInode,
                                         unsigned long long* dirBlocksLeft, unsigned int block,
                                         std::vector<uint32_t>* entries) {
    ChargeDirBlock(dirInode, block, true, dirBlocksLeft);
    auto buffer = AllocBuffer(m_nBlockSize, context, kBlockBufText);
    ReadFsBlock(block, buffer.get());
    const auto* raw = reinterpret_cast<const unsigned char*>(buffer.get());
    entries->resize(m_nBlockSize / 4);
    for (unsigned int i = 0; i < m_nBlockSize / 4; ++i)
        (*entries)[i] = ext3::Le32(raw + 4 * i);
    m_Plan.Announce(entries->data(), entries->size());
}

int ReadExt3DirFromDevice::NextSubdirectory(DirCursor& dir, unsigned int* childInode,
                                            ext3::Inode* childNode) {
    const ext3::DirBlockSequence::Loader load = [&](uint32_t indirect,
                                                    std::vector<uint32_t>* entries) {
        LoadIndirect(kSingleContext, dir.inode, &dir.blocksLeft, indirect, entries);
    };
    TreeSink sink(this);
    for (;;) {
        if (dir.block == 0) {
            uint32_t next = 0;
            if (!dir.blocks.Next(load, &next))
                return 0;
            ChargeDirBlock(dir.inode, next, true, &dir.blocksLeft);
            dir.block = next;
            dir.position = 0;
            dir.data.resize(m_nBlockSize);
            ReadFsBlock(dir.block, dir.data.data());
            LookAheadChildren(dir.data.data());
        }
        ext3::DirBlockParser parser(reinterpret_cast<const unsigned char*>(dir.data.data()),
                                    m_nBlockSize, dir.position);
        const int result = ScanEntries(kBlockContext, parser, dir.block, dir.inode, sink);
        if (result == EntrySink::kDescend) {
            dir.position = parser.position();
            *childInode = sink.childInode;
            *childNode = sink.childNode;
            return 1;
        }
        if (result == -1)
            return -1;
        dir.block = 0;
    }
}

int ReadExt3DirFromDevice::WalkDirectoryBlocks(unsigned int inode, const unsigned int* blocks,
                                               unsigned int budget) {
    // A directory of N data blocks has at most N indirect blocks besides them.
    DirBlockBudget dirBudget(this, 2ull * budget);
    for (unsigned int i = 0; i < ext3::kBlockPointers; ++i) {
        if (blocks[i] == 0)
            continue;
        int result;
        if (i < ext3::kDirectBlocks) {
            result = ProcessBlock(blocks[i], inode, budget);
        } else if (i == ext3::kSingleIndirect) {
            result = ProcessSingleIndirection(blocks[i], inode, budget);
        } else if (i == ext3::kDoubleIndirect) {
            result = ProcessDoubleIndirection(blocks[i], inode, budget);
        } else {
            result = ProcessTripleIndirection(blocks[i], inode, budget);
        }
        if (result == -1)
            return -1;
    }
    return 0;
}

bool ReadExt3DirFromDevice::FindInode(unsigned int inode, unsigned int* group,
                                      unsigned int* index) const {
    *group = 0xFFFFFFFFu;  // inode 0 falls into group -1
    *index = 0;
    if (inode != 0 && m_nInodesPerGroup != 0) {
        *group = (inode - 1) / m_nInodesPerGroup;
        *index = (inode - 1) % m_nInodesPerGroup + 1;
    }
    return *group < m_InodeTableByGroup.size() && inode <= m_nInodesCount;
}

unsigned long long ReadExt3DirFromDevice::InodeOffset(unsigned int group,
                                                      unsigned int index) const {
    return static_cast<unsigned long long>(m_InodeTableByGroup[group]) * m_nBlockSize +
           static_cast<unsigned long long>(index - 1) * m_nInodeSize;
}

void ReadExt3DirFromDevice::LocateInode(unsigned int inode, unsigned int* group,
                                        unsigned int* index) const {
    if (FindInode(inode, group, index))
        return;
    if (*group >= m_InodeTableByGroup.size()) {
        ReaderLog().Error(kReadInodeContext,
                          " InodeTableBlocks out of range exception. GroupInWhichThisInodeFalls:%u",
                          *group);
        Throw(RDFD_EXC_FS, "Inode Group out of range.");
    }
    if (inode > m_nInodesCount) {
        ReaderLog().Error(kReadInodeContext, " Inode out of range. Inode:%u , InodesCount:%u",
                          inode, m_nInodesCount);
        Throw(RDFD_EXC_FS, "Inode number out of range.");
    }
}

bool ReadExt3DirFromDevice::InodeTableHolds(unsigned int inode) const {
    unsigned int group = 0, index = 0;
    LocateInode(inode, &group, &index);
    if (index <= m_InodesInUseByGroup[group])
        return true;
    const unsigned int bitmap = m_InodeBitmapByGroup[group];
    if (bitmap >= m_nBlocksCount)
        return false;
    // Past the unused mark: the inode bitmap has the last word.
    unsigned char bits = 0;
    const unsigned long long offset =
        static_cast<unsigned long long>(bitmap) * m_nBlockSize + (index - 1) / 8;
    return m_pCache->ReadAligned(reinterpret_cast<char*>(&bits), 1, offset) == 1 &&
           ((bits >> ((index - 1) % 8)) & 1) != 0;
}

void ReadExt3DirFromDevice::ReadInode(unsigned int inode, char* buffer) {
    unsigned int group = 0, index = 0;
    LocateInode(inode, &group, &index);
    const unsigned long long offset = InodeOffset(group, index);
    const unsigned int got = m_pCache->ReadAligned(buffer, m_nInodeSize, offset);
    if (got != m_nInodeSize) {
        ReaderLog().Error(
            kReadInodeContext,
            " Could not read the entire Inode:%u . Read returned:%u , Seek Offset:%llu ", inode,
            got, offset);
        Throw(RDFD_EXC_READ, " Could not read the entire Inode");
    }
}

unsigned int ReadExt3DirFromDevice::ReadDirBlock(const char* context, unsigned int block,
                                                 char* buffer) {
    if (block >= m_nBlocksCount) {
        ReaderLog().Error(context, "Block :%u is beyond the file system . BlocksCount:%u", block,
                          m_nBlocksCount);
        Throw(RDFD_EXC_FS, "Block number out of range.");
    }
    if (!m_Run.Holds(block)) {
        const uint32_t limit =
            std::min(std::max(1u, kMaxRunBytes / m_nBlockSize), m_nBlocksCount - block);
        const uint32_t count = m_Plan.TakeRun(block, limit);
        const unsigned long long offset = static_cast<unsigned long long>(block) * m_nBlockSize;
        m_Run.count = 0;
        m_Run.data.resize(size_t{count} * m_nBlockSize);
        // While hints are batched, slow reads show a device that does not answer
        // from memory after all: hints then go at once, with the look-ahead.
        using Clock = std::chrono::steady_clock;
        const bool timed = m_Plan.Batched();
        const Clock::time_point start = timed ? Clock::now() : Clock::time_point{};
        const unsigned int got =
            m_pReadCallBack(m_pReadContext, m_Run.data.data(), count * m_nBlockSize, offset);
        if (timed && m_Plan.NoteRead(Clock::now() - start))
            m_bFromMemory = false;
        if (got < m_nBlockSize || got > count * m_nBlockSize) {
            ReaderLog().Error(context,
                              "Could not read Block :%u . Read returned:%u . SeekOffset:%llu",
                              block, got, offset);
            Throw(RDFD_EXC_READ, " Could not read FsBlock.");
        }
        m_Run.first = block;
        m_Run.count = got / m_nBlockSize;  // a short run keeps the blocks it delivered
    }
    std::memcpy(buffer, m_Run.data.data() + size_t{block - m_Run.first} * m_nBlockSize,
                m_nBlockSize);
    return m_nBlockSize;
}

unsigned int ReadExt3DirFromDevice::ReadFsBlock(unsigned int block, char* buffer) {
    return ReadDirBlock(kReadBlockContext, block, buffer);
}

void ReadExt3DirFromDevice::ChargeDirBlock(unsigned int dirInode, unsigned int block,
                                           bool countForWalk, unsigned long long* dirBlocksLeft) {
    unsigned long long& dirLeft = dirBlocksLeft != nullptr ? *dirBlocksLeft : m_nDirBlocksLeft;
    if (dirLeft == 0 || (countForWalk && m_nWalkBlocksLeft == 0)) {
        ReaderLog().Error(
            kBlockContext,
            "Block Count Exceeded for this Dir with inode : %u . Current Block no : %u", dirInode,
            block);
        Throw(RDFD_EXC_FS, "Block Count Exceeded");
    }
    --dirLeft;
    if (countForWalk)
        --m_nWalkBlocksLeft;
}

int ReadExt3DirFromDevice::WalkIndirect(const char* context, unsigned int block,
                                        unsigned int dirInode,
                                        const std::function<int(unsigned int)>& perEntry) {
    std::vector<uint32_t> entries;
    LoadIndirect(context, dirInode, &m_nDirBlocksLeft, block, &entries);
    for (const uint32_t entry : entries) {
        if (entry != 0 && perEntry(entry) == -1)
            return -1;
    }
    return 0;
}

int ReadExt3DirFromDevice::ProcessSingleIndirection(unsigned int block, unsigned int dirInode,
                                                    unsigned int blockBudget) {
    return LogAndRethrow(kSingleContext, false, [&] {
        return WalkIndirect(kSingleContext, block, dirInode, [&](unsigned int entry) {
            return ProcessBlock(entry, dirInode, blockBudget);
        });
    });
}

int ReadExt3DirFromDevice::ProcessDoubleIndirection(unsigned int block, unsigned int dirInode,
                                                    unsigned int blockBudget) {
    return LogAndRethrow(kDoubleContext, false, [&] {
        return WalkIndirect(kDoubleContext, block, dirInode, [&](unsigned int entry) {
            return ProcessSingleIndirection(entry, dirInode, blockBudget);
        });
    });
}

int ReadExt3DirFromDevice::ProcessTripleIndirection(unsigned int block, unsigned int dirInode,
                                                    unsigned int blockBudget) {
    return LogAndRethrow(kTripleContext, false, [&] {
        return WalkIndirect(kTripleContext, block, dirInode, [&](unsigned int entry) {
            return ProcessDoubleIndirection(entry, dirInode, blockBudget);
        });
    });
}

int ReadExt3DirFromDevice::ProcessBlock(unsigned int block, unsigned int dirInode,
                                        unsigned int blockBudget) {
    return LogAndRethrow(kBlockContext, true, [&] {
        DepthFirstSink sink(this);
        return ScanDirBlock(kBlockContext, block, dirInode, blockBudget, sink);
    });
}

void ReadExt3DirFromDevice::ReportNameOnly(const char* context, unsigned int dirInode,
                                           const ext3::DirEntry& entry) {
    if (!InodeTableHolds(entry.inode))
        return;
    if (!m_pMapCallBack(m_pMapContext, dirInode, entry.inode, 0, 0, false,
                        const_cast<char*>(entry.name))) {
        ReaderLog().Error(context, "GetInodeAnameMappingCallBack indicated error");
        Throw(RDFD_EXC_APPLICATION, "Inode Aname Mapping Call back failed");
    }
}

uint8_t ReadExt3DirFromDevice::EntryFileType(const ext3::DirEntry& entry) {
    if (m_bEntryFileTypes && entry.fileType != ext3::kFileTypeUnknown)
        return entry.fileType;
    if (!InodeTableHolds(entry.inode))
        return ext3::kFileTypeUnknown;
    return ReadDecodedInode(kBlockContext, entry.inode).EntryFileType();
}

char* ReadExt3DirFromDevice::InodeBuffer(const char* context) {
    if (m_nInodeBufferSize != m_nInodeSize) {
        m_InodeBuffer =
            AllocBuffer(m_nInodeSize, context, "Could not allocate memory to hold the InodeBuf");
        m_nInodeBufferSize = m_nInodeSize;
    }
    return m_InodeBuffer.get();
}

ext3::Inode ReadExt3DirFromDevice::ReadDecodedInode(const char* context, unsigned int inode) {
    char* buffer = InodeBuffer(context);
    ReadInode(inode, buffer);
    return ext3::DecodeInode(reinterpret_cast<unsigned char*>(buffer));
}

int ReadExt3DirFromDevice::ScanDirBlock(const char* context, unsigned int block,
                                        unsigned int dirInode, unsigned int blockBudget,
                                        EntrySink& sink) {
    if (blockBudget == 0) {
        ReaderLog().Error(
            context, "Block Count Exceeded for this Dir with inode : %u . Current Block no : %u",
            dirInode, block);
        Throw(RDFD_EXC_FS, "Block Count Exceeded");
    }
    ChargeDirBlock(dirInode, block);
    auto buffer = AllocBuffer(m_nBlockSize, context, kBlockBufText);
    ReadFsBlock(block, buffer.get());
    ext3::DirBlockParser parser(reinterpret_cast<const unsigned char*>(buffer.get()), m_nBlockSize);
    return ScanEntries(context, parser, block, dirInode, sink) == -1 ? -1 : 0;
}

int ReadExt3DirFromDevice::ScanEntries(const char* context, ext3::DirBlockParser& parser,
                                       unsigned int block, unsigned int dirInode, EntrySink& sink) {
    ext3::DirEntry entry;
    for (;;) {
        const ext3::DirEntryStatus status = parser.Next(&entry);
        if (status == ext3::DirEntryStatus::kEnd)
            return 0;
        if (status == ext3::DirEntryStatus::kBadRecord) {
            ReaderLog().Error(context,
                              "Skipping processing inode [%u]. Current Block no : [%u] as DirEntry "
                              "rec_len is not valid",
                              dirInode, block);
            return 0;
        }
        if (std::strcmp(entry.name, ".") == 0 || std::strcmp(entry.name, "..") == 0)
            continue;
        if (entry.nameLen == 0)
            return 0;
        if (entry.inode == 0)
            continue;
        const uint8_t type = EntryFileType(entry);
        int result = 0;
        if (type == ext3::kFileTypeDirectory) {
            if (IsFiltered(entry.name))
                continue;
            result = sink.OnDirectory(dirInode, entry);
        } else if (type == ext3::kFileTypeRegular || type == ext3::kFileTypeSymlink) {
            result = sink.OnFile(dirInode, entry);
        }
        if (result != 0)
            return result;
    }
}
