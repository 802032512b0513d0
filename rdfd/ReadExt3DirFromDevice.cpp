// The depth-first ext2/ext3 directory walk: root inode first, then each directory's
// blocks in pointer order (direct, single, double, triple indirect), each block's
// entries in on-disk order, each sub-directory walked completely when its entry is
// met. Inodes, directory blocks and indirect blocks are read through the cache.
#include "rdfd/ReadExt3DirFromDevice.h"

#include <cstring>
#include <new>

#include "rdfd/DirBlock.h"
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

// Recursion: a sub-directory is walked at once, a file's inode is read at once.
class ReadExt3DirFromDevice::DepthFirstSink : public EntrySink {
  public:
    explicit DepthFirstSink(ReadExt3DirFromDevice* reader) : reader_(reader) {}
    int OnDirectory(unsigned int dirInode, const ext3::DirEntry& entry) override {
        reader_->SpendInodeBudget();
        return reader_->ProcessInode(dirInode, entry.inode, const_cast<char*>(entry.name), true);
    }
    int OnFile(unsigned int dirInode, const ext3::DirEntry& entry) override {
        reader_->SpendInodeBudget();
        if (reader_->m_bNamesOnly) {
            reader_->ReportNameOnly(kBlockContext, dirInode, entry);
            return 0;
        }
        return reader_->ProcessInode(dirInode, entry.inode, const_cast<char*>(entry.name), false);
    }

  private:
    ReadExt3DirFromDevice* reader_;
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

void ReadExt3DirFromDevice::EnterDirectory(unsigned int parentInode, unsigned int inode) {
    if (m_PathInodes.Contains(inode)) {
        ReaderLog().Error(kInodeContext,
                          "Directory Inode:%u is already on the current path . Parent Inode:%u",
                          inode, parentInode);
        Throw(RDFD_EXC_FS, "Directory loop detected");
    }
    if (m_nDirDepth >= m_nMaxDirDepth) {
        ReaderLog().Error(kInodeContext,
                          "Directory Inode:%u lies deeper than %u levels . Parent Inode:%u", inode,
                          m_nMaxDirDepth, parentInode);
        Throw(RDFD_EXC_FS, "Directory depth exceeded");
    }
    m_PathInodes.Insert(inode);
    ++m_nDirDepth;
}

int ReadExt3DirFromDevice::ProcessInode(unsigned int parentInode, unsigned int inode, char* name,
                                        bool isDir) {
    return LogAndRethrow(kInodeContext, true, [&] {
        PollQuit();
        if (isDir)
            EnterDirectory(parentInode, inode);
        // Takes the directory off the current path again on every way out.
        struct LeavePath {
            ReadExt3DirFromDevice* reader;
            unsigned int inode;
            bool onPath;
            ~LeavePath() {
                if (!onPath)
                    return;
                reader->m_PathInodes.Erase(inode);
                --reader->m_nDirDepth;
            }
        } leave{this, inode, isDir};

        auto buffer = AllocBuffer(m_nInodeSize, kInodeContext,
                                  "Could not allocate memory to hold the InodeBuf");
        ReadInode(inode, buffer.get());
        const ext3::Inode node = ext3::DecodeInode(reinterpret_cast<unsigned char*>(buffer.get()));
        if (isDir && !node.IsDirectory()) {
            ReaderLog().Error(kInodeContext,
                              "The Inode read doesnot seem to be a Dir . Inode:%u , Mode:%u ",
                              inode, node.mode);
            Throw(RDFD_EXC_FS, "This Seems to be not a dir");
        }
        unsigned long long size = node.sizeLow;
        if (!isDir)
            size += static_cast<unsigned long long>(node.sizeHigh) << 32;
        if (!isDir && node.linksCount > 1) {
            ReaderLog().DebugLvl(kInodeContext, 3,
                                 "Pinode:%u ShortName:%s has nlink:%u , skipping it", parentInode,
                                 name, node.linksCount);
            return 0;
        }
        if (!m_pMapCallBack(m_pMapContext, parentInode, inode, size, node.modifyTime, isDir,
                            name)) {
            ReaderLog().Error(kInodeContext, "GetInodeAnameMappingCallBack indicated error");
            Throw(RDFD_EXC_APPLICATION, "Inode Aname Mapping Call back failed");
        }
        if (!isDir)
            return 0;
        return WalkDirectoryBlocks(inode, node.block, node.sizeLow / m_nBlockSize + 1);
    });
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

void ReadExt3DirFromDevice::ReadInode(unsigned int inode, char* buffer) {
    unsigned int group = 0xFFFFFFFFu;
    unsigned int index = 0;
    if (m_nInodesPerGroup != 0) {
        group = inode / m_nInodesPerGroup;
        index = inode % m_nInodesPerGroup;
        if (index == 0) {
            group -= 1;
            index = m_nInodesPerGroup;
        }
    }
    if (group >= m_InodeTableByGroup.size()) {
        ReaderLog().Error(kReadInodeContext,
                          " InodeTableBlocks out of range exception. GroupInWhichThisInodeFalls:%u",
                          group);
        Throw(RDFD_EXC_FS, "Inode Group out of range.");
    }
    if (inode > m_nInodesCount) {
        ReaderLog().Error(kReadInodeContext, " Inode out of range. Inode:%u , InodesCount:%u",
                          inode, m_nInodesCount);
        Throw(RDFD_EXC_FS, "Inode number out of range.");
    }
    const unsigned long long offset =
        static_cast<unsigned long long>(m_InodeTableByGroup[group]) * m_nBlockSize +
        static_cast<unsigned long long>(index - 1) * m_nInodeSize;
    const unsigned int got = m_pCache->ReadFromCache(buffer, m_nInodeSize, offset);
    if (got != m_nInodeSize) {
        ReaderLog().Error(
            kReadInodeContext,
            " Could not read the entire Inode:%u . Read returned:%u , Seek Offset:%llu ", inode,
            got, offset);
        Throw(RDFD_EXC_READ, " Could not read the entire Inode");
    }
}

unsigned int ReadExt3DirFromDevice::ReadBlockThrough(BufferCache& cache, const char* context,
                                                     unsigned int block, char* buffer) {
    if (block >= m_nBlocksCount) {
        ReaderLog().Error(context, "Block :%u is beyond the file system . BlocksCount:%u", block,
                          m_nBlocksCount);
        Throw(RDFD_EXC_FS, "Block number out of range.");
    }
    const unsigned long long offset = static_cast<unsigned long long>(block) * m_nBlockSize;
    const unsigned int got = cache.ReadFromCache(buffer, m_nBlockSize, offset);
    if (got != m_nBlockSize) {
        ReaderLog().Error(context, "Could not read Block :%u . Read returned:%u . SeekOffset:%llu",
                          block, got, offset);
        Throw(RDFD_EXC_READ, " Could not read FsBlock.");
    }
    return m_nBlockSize;
}

unsigned int ReadExt3DirFromDevice::ReadFsBlock(unsigned int block, char* buffer) {
    return ReadBlockThrough(*m_pCache, kReadBlockContext, block, buffer);
}

void ReadExt3DirFromDevice::ChargeDirBlock(unsigned int dirInode, unsigned int block,
                                           bool countForWalk) {
    if (m_nDirBlocksLeft == 0 || (countForWalk && m_nWalkBlocksLeft == 0)) {
        ReaderLog().Error(
            kBlockContext,
            "Block Count Exceeded for this Dir with inode : %u . Current Block no : %u", dirInode,
            block);
        Throw(RDFD_EXC_FS, "Block Count Exceeded");
    }
    --m_nDirBlocksLeft;
    if (countForWalk)
        --m_nWalkBlocksLeft;
}

int ReadExt3DirFromDevice::WalkIndirect(const char* context, unsigned int block,
                                        unsigned int dirInode,
                                        const std::function<int(unsigned int)>& perEntry) {
    ChargeDirBlock(dirInode, block);
    auto buffer = AllocBuffer(m_nBlockSize, context, kBlockBufText);
    ReadFsBlock(block, buffer.get());
    const auto* entries = reinterpret_cast<const unsigned char*>(buffer.get());
    for (unsigned int i = 0; i < m_nBlockSize / 4; ++i) {
        const unsigned int entry = ext3::Le32(entries + 4 * i);
        if (entry == 0)
            continue;
        if (perEntry(entry) == -1)
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
    if (!m_pMapCallBack(m_pMapContext, dirInode, entry.inode, 0, 0, false,
                        const_cast<char*>(entry.name))) {
        ReaderLog().Error(context, "GetInodeAnameMappingCallBack indicated error");
        Throw(RDFD_EXC_APPLICATION, "Inode Aname Mapping Call back failed");
    }
}

int ReadExt3DirFromDevice::ScanDirBlock(const char* context, unsigned int block,
                                        unsigned int dirInode, unsigned int blockBudget,
                                        EntrySink& sink) {
    if (m_nInodeBudget == 0) {
        ReaderLog().Debug(context, "Inode Count Exhausted");
        Throw(RDFD_EXC_FS, "Inode Count Exhausted");
    }
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
    ext3::DirEntry entry;
    for (;;) {
        const ext3::DirEntryStatus status = parser.Next(&entry);
        if (status == ext3::DirEntryStatus::kEnd)
            break;
        if (status == ext3::DirEntryStatus::kBadRecord) {
            ReaderLog().Error(context,
                              "Skipping processing inode [%u]. Current Block no : [%u] as DirEntry "
                              "rec_len is not valid",
                              dirInode, block);
            break;
        }
        if (std::strcmp(entry.name, ".") == 0 || std::strcmp(entry.name, "..") == 0)
            continue;
        if (entry.nameLen == 0)
            break;
        if (entry.inode == 0)
            continue;
        int result = 0;
        if (entry.fileType == ext3::kFileTypeDirectory) {
            if (IsFiltered(entry.name))
                continue;
            result = sink.OnDirectory(dirInode, entry);
        } else if (entry.fileType == ext3::kFileTypeRegular ||
                   entry.fileType == ext3::kFileTypeSymlink) {
            result = sink.OnFile(dirInode, entry);
        }
        if (result == -1)
            return -1;
    }
    return 0;
}
