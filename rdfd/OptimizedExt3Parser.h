// The optimized ext2/ext3 directory walker: the same reports as the depth-first
// walker, with the reads reordered to run mostly forward across the device.
// Directories are walked in ascending inode order, directory blocks reached through
// indirect blocks in ascending block order, and files' inodes are read in batches in
// ascending inode order (a batch is flushed when its names reach 8 MiB, and at the
// end). Each object is still reported after its parent directory.
//
// Inodes go through the inherited cache; directory and indirect blocks are read in
// runs of queued neighbours. Given a read-ahead hook, a directory's blocks are
// hinted when it is queued, long before its turn comes. A directory already walked or queued is
// refused when an entry leads to it again (it has a second parent), so no image can
// make the queues cycle.
//
// Threads: one object, one walk, the caller's thread.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "host/Export.h"
#include "rdfd/PendingFiles.h"
#include "rdfd/ReadExt3DirFromDevice.h"

// A pending object: its parent directory's inode and its short name.
struct PinodeName {
    unsigned int parentInode;
    std::string name;
};

class KZVOL_API OptimizedExt3Parser : public ReadExt3DirFromDevice {
  public:
    // The arguments of ReadExt3DirFromDevice, all handed to it.
    OptimizedExt3Parser(ReadCallBack readCallBack, void* readContext,
                        QuitCheckCallBack quitCallBack, int quitArgument, void* quitContext,
                        unsigned int extentSize, bool namesOnly, unsigned int cacheSize,
                        unsigned int bufferCount, std::list<std::string>* filterList);

    int GetInodeAnameMapping(GetInodeAnameMappingCallBack callBack, void* context, char* rootName,
                             unsigned int rootInode) override;
    ~OptimizedExt3Parser() override;
    unsigned int ReadFsBlock(unsigned int block, char* buffer) override;
    // Queues every non-zero entry of the indirect block as a directory block.
    int ProcessSingleIndirection(unsigned int block, unsigned int dirInode,
                                 unsigned int blockBudget) override;
    // Queues sub-directories and files; reports files at once in names-only mode.
    int ProcessBlock(unsigned int block, unsigned int dirInode, unsigned int blockBudget) override;

  protected:
    // A reported directory: its direct blocks are scanned now, the blocks behind its
    // indirect pointers queued.
    int WalkDirectory(unsigned int inode, const kzvol::ext3::Inode& node) override;

  private:
    class QueueingSink;
    int FlushPendingFiles();
    int DrainQueues();
    // Announces the blocks of a directory just queued.
    void LookAhead(unsigned int dirInode);

    unsigned int m_nPendingFileBytes = 0;
    unsigned int m_nPendingFileLimit = 8388608;
    kzvol::PendingFiles m_PendingFiles;  // file inode -> parent and name, ascending
    std::map<unsigned int, PinodeName> m_PendingDirs;
    std::map<unsigned int, unsigned int> m_PendingDirBlocks;  // block -> owner directory
};
