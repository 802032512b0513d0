// The optimized walk: the depth-first machinery of ReadExt3DirFromDevice, with
// ProcessBlock and ProcessSingleIndirection turned into queueing steps and a loop
// that drains the queues in ascending inode and block order.
#include "rdfd/OptimizedExt3Parser.h"

#include "rdfd/DirBlock.h"
#include "rdfd/Ext3Layout.h"
#include "rdfd/ReaderSupport.h"

using kzvol::rdfd::LogAndRethrow;
using kzvol::rdfd::ReaderLog;
using kzvol::rdfd::Throw;
namespace ext3 = kzvol::ext3;

namespace {

const char kMapContext[] = "OptimizedExt3Parser::GetInodeAnameMapping";
const char kReadBlockContext[] = "OptimizedExt3Parser :: ReadFsBlock";
const char kSingleContext[] = "ReadExt3DirFromDevice :: ProcessSingleIndirection";
const char kBlockContext[] = "OptimizedExt3Parser :: ProcessBlock";
constexpr unsigned int kQueuedBlockBudget = 10;
constexpr unsigned int kPendingFileOverhead = 8;

}  // namespace

class OptimizedExt3Parser::QueueingSink : public EntrySink {
  public:
    explicit QueueingSink(OptimizedExt3Parser* parser) : parser_(parser) {}
    int OnDirectory(unsigned int dirInode, const ext3::DirEntry& entry) override {
        // Walked or queued already: the queues hold no path, so a loop shows here as
        // what it also is, a directory with a second parent.
        if (parser_->m_WalkedDirs.Contains(entry.inode) ||
            parser_->m_PendingDirs.count(entry.inode) != 0)
            parser_->RefuseSecondParent(kBlockContext, entry.inode, dirInode, false);
        parser_->m_PendingDirs.emplace(entry.inode, PinodeName{dirInode, entry.name});
        parser_->LookAhead(entry.inode);
        return 0;
    }
    int OnFile(unsigned int dirInode, const ext3::DirEntry& entry) override {
        if (parser_->m_bNamesOnly) {
            parser_->ReportNameOnly(kBlockContext, dirInode, entry);
            return 0;
        }
        parser_->m_PendingFiles.Add(entry.inode, dirInode, entry.name, entry.nameLen);
        parser_->m_nPendingFileBytes += kPendingFileOverhead + entry.nameLen;
        if (parser_->m_nPendingFileBytes < parser_->m_nPendingFileLimit)
            return 0;
        parser_->m_nPendingFileBytes = 0;
        return parser_->FlushPendingFiles();
    }

  private:
    OptimizedExt3Parser* parser_;
};

OptimizedExt3Parser::OptimizedExt3Parser(ReadCallBack readCallBack, void* readContext,
                                         QuitCheckCallBack quitCallBack, int quitArgument,
                                         void* quitContext, unsigned int extentSize, bool namesOnly,
                                         unsigned int cacheSize, unsigned int bufferCount,
                                         std::list<std::string>* filterList)
    : ReadExt3DirFromDevice(readCallBack, readContext, quitCallBack, quitArgument, quitContext,
                            extentSize, namesOnly, cacheSize, bufferCount, filterList) {}

OptimizedExt3Parser::~OptimizedExt3Parser() = default;

unsigned int OptimizedExt3Parser::ReadFsBlock(unsigned int block, char* buffer) {
    return ReadDirBlock(kReadBlockContext, block, buffer);
}

int OptimizedExt3Parser::ProcessSingleIndirection(unsigned int block, unsigned int dirInode,
                                                  unsigned int blockBudget) {
    return LogAndRethrow(kSingleContext, false, [&] {
        return WalkIndirect(kSingleContext, block, dirInode, [&](unsigned int entry) {
            // Queued blocks count against the directory's budget now, when queued.
            ChargeDirBlock(dirInode, entry, false);
            m_PendingDirBlocks.emplace(entry, dirInode);
            return 0;
        });
    });
}

int OptimizedExt3Parser::ProcessBlock(unsigned int block, unsigned int dirInode,
                                      unsigned int blockBudget) {
    return LogAndRethrow(kBlockContext, false, [&] {
        QueueingSink sink(this);
        return ScanDirBlock(kBlockContext, block, dirInode, blockBudget, sink);
    });
}

int OptimizedExt3Parser::WalkDirectory(unsigned int inode, const ext3::Inode& node) {
    AnnounceWalk(inode, node);
    return WalkDirectoryBlocks(inode, node.block, node.sizeLow / m_nBlockSize + 1);
}

int OptimizedExt3Parser::FlushPendingFiles() {
    const int result = m_PendingFiles.ForEachAscending(
        [this](unsigned int inode, unsigned int parent, char* name) {
            return ProcessInode(parent, inode, name, false);
        });
    if (result == -1)
        return -1;
    m_PendingFiles.Clear();
    return 0;
}

void OptimizedExt3Parser::LookAhead(unsigned int dirInode) {
    if (!m_Plan.Hinting() || m_bPrescanned || m_bFromMemory)
        return;
    ext3::Inode node;
    // Read apart from the cache: its two buffers are kept for the walk's own pass.
    if (PeekInode(dirInode, &node, false) && node.IsDirectory())
        AnnounceDirectory(node);
}

int OptimizedExt3Parser::DrainQueues() {
    while (!m_PendingDirs.empty() || !m_PendingDirBlocks.empty()) {
        while (!m_PendingDirs.empty()) {
            auto node = m_PendingDirs.extract(m_PendingDirs.begin());
            const unsigned int inode = node.key();
            m_WalkedDirs.Insert(inode);
            if (ProcessInode(node.mapped().parentInode, inode, node.mapped().name.data(), true) ==
                -1) {
                return -1;
            }
        }
        while (!m_PendingDirBlocks.empty()) {
            auto node = m_PendingDirBlocks.extract(m_PendingDirBlocks.begin());
            DirBlockBudget budget(this, 1);  // charged when it was queued
            if (ProcessBlock(node.key(), node.mapped(), kQueuedBlockBudget) == -1)
                return -1;
        }
    }
    return 0;
}

int OptimizedExt3Parser::GetInodeAnameMapping(GetInodeAnameMappingCallBack callBack, void* context,
                                              char* rootName, unsigned int rootInode) {
    return LogAndRethrow(kMapContext, false, [&] {
        m_WalkedDirs.Insert(rootInode);
        if (ReadExt3DirFromDevice::GetInodeAnameMapping(callBack, context, rootName, rootInode) ==
            -1) {
            return -1;
        }
        if (DrainQueues() == -1)
            return -1;
        if (m_nPendingFileBytes != 0) {
            if (FlushPendingFiles() == -1)
                return -1;
            m_nPendingFileBytes = 0;
        }
        return 0;
    });
}
