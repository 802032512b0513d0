// The ext2/ext3 directory reader: validates the superblock, then walks every
// directory depth first from the root inode, in on-disk entry order, reading
// directory blocks, indirect blocks and inodes through its block cache, and reports
// each directory, regular file and symbolic link through the mapping callback.
// Files with more than one link, device nodes, FIFOs and sockets are left out.
//
// Every failure is thrown as RDFDException*; each level logs the text on its way up.
// The walk is bounded whatever the image holds: the inode budget (inodes count), a
// per-directory block budget, a walk-wide block budget (blocks count), a depth limit,
// and a directory already on the current path is refused.
//
// Threads: one object, one walk, the caller's thread.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "host/Export.h"
#include "rdfd/BufferCache.h"
#include "rdfd/InodeSet.h"
#include "rdfd/ReadDirFromDevice.h"

namespace kzvol::ext3 {
struct DirEntry;
}

class KZVOL_API ReadExt3DirFromDevice : public ReadDirFromDevice {
  public:
    // Builds a cache of `bufferCount` buffers in `cacheSize` bytes. Throws
    // RDFDException* code 0 for a null read callback, code 2 when the cache cannot
    // be built.
    ReadExt3DirFromDevice(ReadCallBack readCallBack, void* readContext,
                          QuitCheckCallBack quitCallBack, int quitArgument, void* quitContext,
                          unsigned int extentSize, bool namesOnly, unsigned int cacheSize,
                          unsigned int bufferCount, std::list<std::string>* filterList);

    // Reads the superblock and group descriptors straight through the read callback,
    // refuses what cannot be walked, fills the geometry and, when `dumpPath` is
    // given, writes the key=value information file.
    void ValidateFileSystem(char* dumpPath, bool* isSupported, std::string* fsType) override;
    int GetInodeAnameMapping(GetInodeAnameMappingCallBack callBack, void* context, char* rootName,
                             unsigned int rootInode) override;
    virtual ~ReadExt3DirFromDevice();

    // Reads one file-system block; returns the block size.
    virtual unsigned int ReadFsBlock(unsigned int block, char* buffer);
    // Each non-zero entry of the indirect block goes to ProcessBlock.
    virtual int ProcessSingleIndirection(unsigned int block, unsigned int dirInode,
                                         unsigned int blockBudget);
    // Reports the entries of one directory block, walking sub-directories at once.
    virtual int ProcessBlock(unsigned int block, unsigned int dirInode, unsigned int blockBudget);

    int ProcessDoubleIndirection(unsigned int block, unsigned int dirInode,
                                 unsigned int blockBudget);
    int ProcessTripleIndirection(unsigned int block, unsigned int dirInode,
                                 unsigned int blockBudget);
    // Reads inode-size bytes of one inode.
    void ReadInode(unsigned int inode, char* buffer);
    // Polls the quit callback, reads the inode, reports it (files with several links
    // excepted) and, for a directory, walks its blocks.
    int ProcessInode(unsigned int parentInode, unsigned int inode, char* name, bool isDir);
    void SetAclEnabled(unsigned int enabled) { m_nAclEnabled = enabled; }
    void SetSELinuxEnabled(unsigned int enabled) { m_nSELinuxEnabled = enabled; }

    // Deepest directory level walked (the root is level 1); 2048 unless changed.
    void SetMaxDirDepth(unsigned int depth) { m_nMaxDirDepth = depth; }

    // Geometry left by ValidateFileSystem.
    unsigned int GetBlockSize() const { return m_nBlockSize; }
    unsigned int GetInodeSize() const { return m_nInodeSize; }
    unsigned int GetInodesPerGroup() const { return m_nInodesPerGroup; }
    unsigned int GetBlocksCount() const { return m_nBlocksCount; }
    unsigned int GetInodesCount() const { return m_nInodesCount; }
    const std::list<unsigned int>& GetInodeTableBlocks() const { return m_InodeTableBlocks; }
    const BufferCache& GetCache() const { return *m_pCache; }

  protected:
    // What ProcessBlock does with the entries of one block; the optimized walker
    // queues where the depth-first walker recurses.
    class EntrySink {
      public:
        virtual ~EntrySink() = default;
        virtual int OnDirectory(unsigned int dirInode, const kzvol::ext3::DirEntry& entry) = 0;
        virtual int OnFile(unsigned int dirInode, const kzvol::ext3::DirEntry& entry) = 0;
    };

    // Checks the budgets, reads `block` through ReadFsBlock and hands each usable
    // entry to `sink`. Returns 0, or -1 when the sink did.
    int ScanDirBlock(const char* context, unsigned int block, unsigned int dirInode,
                     unsigned int blockBudget, EntrySink& sink);
    // Reads `block` through `cache` into `buffer`; throws code 1 for a block beyond
    // the file system and code 3 for a short read.
    unsigned int ReadBlockThrough(BufferCache& cache, const char* context, unsigned int block,
                                  char* buffer);
    // Counts one directory or indirect block against the directory's block budget
    // and, with `countForWalk`, the walk's; throws "Block Count Exceeded" when a
    // budget is spent. Neither budget binds a sound file system.
    void ChargeDirBlock(unsigned int dirInode, unsigned int block, bool countForWalk = true);
    // Reads the indirect block `block` (counted against the budgets) and calls
    // `perEntry` with each non-zero block number in it, in order; stops at -1.
    int WalkIndirect(const char* context, unsigned int block, unsigned int dirInode,
                     const std::function<int(unsigned int)>& perEntry);
    // Reports a file from its directory entry alone (names-only mode).
    void ReportNameOnly(const char* context, unsigned int dirInode,
                        const kzvol::ext3::DirEntry& entry);
    void SpendInodeBudget() {
        if (m_nInodeBudget > 0)
            --m_nInodeBudget;
    }
    // Sets the block budget of the directory being walked for the life of the object.
    class DirBlockBudget {
      public:
        DirBlockBudget(ReadExt3DirFromDevice* reader, unsigned long long budget)
            : reader_(reader), saved_(reader->m_nDirBlocksLeft) {
            reader_->m_nDirBlocksLeft = budget;
        }
        ~DirBlockBudget() { reader_->m_nDirBlocksLeft = saved_; }
        DirBlockBudget(const DirBlockBudget&) = delete;
        DirBlockBudget& operator=(const DirBlockBudget&) = delete;

      private:
        ReadExt3DirFromDevice* reader_;
        unsigned long long saved_;
    };

    int m_nQuitArgument;
    void* m_pQuitContext;
    QuitCheckCallBack m_pQuitCallBack;
    unsigned int m_nQuitCountdown = 1000;
    std::list<unsigned int> m_InodeTableBlocks;
    unsigned int m_nInodesPerGroup = 0;
    unsigned int m_nInodeSize = 0;
    unsigned int m_nBlockSize = 0;
    unsigned int m_nBlocksCount = 0;
    unsigned int m_nInodeBudget = 0;
    unsigned int m_nAclEnabled = 0;
    unsigned int m_nSELinuxEnabled = 0;
    std::unique_ptr<BufferCache> m_pCache;
    bool m_bNamesOnly;

  private:
    class DepthFirstSink;
    friend class DirBlockBudget;

    void ReadGroupDescriptors(unsigned int groupCount, unsigned int descBlocks,
                              unsigned int offset);
    void PollQuit();
    int WalkDirectoryBlocks(unsigned int inode, const unsigned int* blocks, unsigned int budget);
    void EnterDirectory(unsigned int parentInode, unsigned int inode);

    unsigned int m_nInodesCount = 0;
    std::vector<unsigned int> m_InodeTableByGroup;  // the same list, indexed by group
    unsigned long long m_nDirBlocksLeft = 0;
    unsigned long long m_nWalkBlocksLeft = 0;
    unsigned int m_nMaxDirDepth = 2048;
    unsigned int m_nDirDepth = 0;
    kzvol::InodeSet m_PathInodes;
};
