// The ext2/ext3 directory reader: validates the superblock, then walks every
// directory depth first from the root inode, in on-disk entry order, reading
// directory blocks, indirect blocks and inodes through its block cache, and reports
// each directory, regular file and symbolic link through the mapping callback.
// Files with more than one link, device nodes, FIFOs and sockets are left out, and
// so are entries that lead to an inode not in use. An entry's type comes from its
// type byte, or from the inode's mode when the byte is 0 or the file system does not
// record types in entries.
//
// The walk keeps its path in an explicit stack on the heap, one small cursor per
// directory level, so the depth of a tree costs memory, not the thread's stack.
//
// Directory and indirect blocks are read exactly, one block or one run of blocks
// the walk announced as neighbours (at most 32 KiB) per read; inodes go through the
// block cache, whose buffers hold aligned windows of the inode tables, so that the
// inodes of a directory, met in any order, share the fills of their windows.
//
// Given a read-ahead hook, the walk hints what it will read before it reads it:
// the inode-table blocks holding inodes in use (from the inode bitmaps) when it
// starts, a directory's blocks as soon as its inode is known, and the blocks of the
// sub-directories listed in each directory block it reads. On a device that does
// not answer from memory, a prescan of the inode tables finds every directory and
// hints all their blocks before the walk begins. On one that does (timed reads of
// the inode tables tell), hints only cost time: they are handed on in batches, and
// the look-ahead at sub-directories is left out.
//
// Every failure is thrown as RDFDException*; each level logs the text on its way up.
// The walk is bounded whatever the image holds: the inode budget (inodes count,
// spent per inode walked), a per-directory block budget, a walk-wide block budget
// (blocks count), and a directory is walked once: one already on the current path is
// a loop, one walked before has a second parent; both are refused.
//
// Threads: one object, one walk, the caller's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "host/Export.h"
#include "rdfd/BufferCache.h"
#include "rdfd/InodeSet.h"
#include "rdfd/ReadDirFromDevice.h"
#include "rdfd/ReadPlan.h"

namespace kzvol::ext3 {
struct DirEntry;
struct Inode;
class DirBlockParser;
}  // namespace kzvol::ext3

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
    // Reads and decodes one inode; `context` names the caller in an allocation
    // failure's log line.
    kzvol::ext3::Inode ReadDecodedInode(const char* context, unsigned int inode);
    // Polls the quit callback, reads the inode, reports it (files with several links
    // and inodes not in use excepted) and, for a directory, walks it.
    int ProcessInode(unsigned int parentInode, unsigned int inode, char* name, bool isDir);
    void SetAclEnabled(unsigned int enabled) { m_nAclEnabled = enabled; }
    // Hints go to `hook` with the read context; null (the default) hints nothing.
    // `resident` (may be null) says whether the inode tables are in memory.
    void SetReadAhead(ReadAheadCallBack hook, ResidentCallBack resident = nullptr) {
        m_Plan = kzvol::rdfd::ReadPlan(hook, m_pReadContext);
        m_pResidentCallBack = resident;
    }
    // Without a residency query, the prescan runs when reading a mebibyte of the
    // inode tables takes at least `micros` microseconds, once of two tries (a device
    // that answers from memory is faster): 0 always, a large value never. A device
    // found to answer from memory gets its hints in batches and no look-ahead.
    void SetPrescanThreshold(unsigned int micros) { m_nPrescanMicros = micros; }
    bool Prescanned() const { return m_bPrescanned; }
    void SetSELinuxEnabled(unsigned int enabled) { m_nSELinuxEnabled = enabled; }

    // Geometry left by ValidateFileSystem.
    unsigned int GetBlockSize() const { return m_nBlockSize; }
    unsigned int GetInodeSize() const { return m_nInodeSize; }
    unsigned int GetInodesPerGroup() const { return m_nInodesPerGroup; }
    unsigned int GetBlocksCount() const { return m_nBlocksCount; }
    unsigned int GetInodesCount() const { return m_nInodesCount; }
    const std::list<unsigned int>& GetInodeTableBlocks() const { return m_InodeTableBlocks; }
    const BufferCache& GetCache() const { return *m_pCache; }

  protected:
    // What is done with the usable entries of a directory block: the depth-first
    // walk descends into sub-directories, the optimized walker queues them.
    class EntrySink {
      public:
        // OnDirectory's answer: leave the block here and come back to the entry after.
        static constexpr int kDescend = 1;
        virtual ~EntrySink() = default;
        virtual int OnDirectory(unsigned int dirInode, const kzvol::ext3::DirEntry& entry) = 0;
        virtual int OnFile(unsigned int dirInode, const kzvol::ext3::DirEntry& entry) = 0;
    };

    // Checks the block budget, reads `block` through ReadFsBlock and hands each
    // usable entry to `sink`. Returns 0, or -1 when the sink did.
    int ScanDirBlock(const char* context, unsigned int block, unsigned int dirInode,
                     unsigned int blockBudget, EntrySink& sink);
    // Hands the usable entries from the parser's position on to `sink`: neither "."
    // nor "..", nor deleted entries, nor filtered directories, nor kinds the reader
    // does not report. Returns 0 at the block's end, or what the sink answered other
    // than 0.
    int ScanEntries(const char* context, kzvol::ext3::DirBlockParser& parser, unsigned int block,
                    unsigned int dirInode, EntrySink& sink);
    // Reads `block` into `buffer`: from the run read last, or with one read of the
    // announced run starting at it. Throws code 1 for a block beyond the file
    // system and code 3 when not even the block could be read.
    unsigned int ReadDirBlock(const char* context, unsigned int block, char* buffer);
    // Announces (and hints) the blocks a directory's pointers name, except those the
    // run read last holds.
    void AnnounceDirectory(const kzvol::ext3::Inode& node);
    // Announces the blocks of directory `inode`, about to be walked. Unless the
    // prescan announced every directory, or the directory's first block came with
    // the run read last, the directories whose inodes follow it are announced too,
    // as long as each one's first block continues the blocks announced so far (up
    // to one run): directories made one after another have neighbouring inodes and
    // blocks, and one read then fetches them all.
    void AnnounceWalk(unsigned int inode, const kzvol::ext3::Inode& node);
    // Reads an inode for read-ahead only, through the cache or with a read of its
    // own: false, with nothing logged or thrown, for an inode not in use or out of
    // range and for a failed read.
    bool PeekInode(unsigned int inode, kzvol::ext3::Inode* node, bool throughCache);
    // Counts one directory or indirect block against a directory's block budget
    // (*dirBlocksLeft, by default the one set by DirBlockBudget) and, with
    // `countForWalk`, the walk's; throws "Block Count Exceeded" when a budget is
    // spent. Neither budget binds a sound file system.
    void ChargeDirBlock(unsigned int dirInode, unsigned int block, bool countForWalk = true,
                        unsigned long long* dirBlocksLeft = nullptr);
    // Reads the indirect block `block` (counted against the budgets) and calls
    // `perEntry` with each non-zero block number in it, in order; stops at -1.
    int WalkIndirect(const char* context, unsigned int block, unsigned int dirInode,
                     const std::function<int(unsigned int)>& perEntry);
    // Reports a file from its directory entry alone (names-only mode).
    void ReportNameOnly(const char* context, unsigned int dirInode,
                        const kzvol::ext3::DirEntry& entry);
    // The file types of the entry: its type byte, or the inode's when the byte is 0
    // or entries carry none; 0 (not reported) for an inode not in use.
    uint8_t EntryFileType(const kzvol::ext3::DirEntry& entry);
    // Refuses a directory reached a second time: `loop` when it is an ancestor
    // (the walker knows its path), a second parent otherwise.
    [[noreturn]] void RefuseSecondParent(const char* context, unsigned int dirInode,
                                         unsigned int parentInode, bool loop);
    // Counts one walked inode against the inodes count; throws when none is left.
    void SpendInodeBudget(const char* context);
    // Reads the inode and reports it; false (nothing reported) for an inode not in
    // use, or a file with several links.
    bool ReadAndReport(unsigned int parentInode, unsigned int inode, char* name, bool isDir,
                       kzvol::ext3::Inode* node);
    // What ProcessInode does with a directory once it is reported: the depth-first
    // walk walks all below it; the optimized walker queues.
    virtual int WalkDirectory(unsigned int inode, const kzvol::ext3::Inode& node);
    // Walks the directory's blocks through ProcessBlock and the indirection levels.
    int WalkDirectoryBlocks(unsigned int inode, const unsigned int* blocks, unsigned int budget);

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

    // The most one read of announced neighbouring blocks fetches.
    static constexpr unsigned int kMaxRunBytes = 32768;

    int m_nQuitArgument;
    void* m_pQuitContext;
    QuitCheckCallBack m_pQuitCallBack;
    ResidentCallBack m_pResidentCallBack = nullptr;
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
    kzvol::rdfd::ReadPlan m_Plan{nullptr, nullptr};
    bool m_bPrescanned = false;  // every directory's blocks are announced already
    bool m_bFromMemory = false;  // the device answers from memory: no look-ahead

    kzvol::InodeSet m_WalkedDirs;  // every directory reported so far

  private:
    class DepthFirstSink;
    class TreeSink;
    struct DirCursor;
    friend class DirBlockBudget;

    void ReadGroupDescriptors(unsigned int groupCount, unsigned int descBlocks, unsigned int offset,
                              bool groupFlags);
    void PollQuit();
    // Group and index of an inode in the inode tables; throws for inode 0, an
    // inode beyond the inodes count or in a group the file system does not have.
    void LocateInode(unsigned int inode, unsigned int* group, unsigned int* index) const;
    // The same without a log line or an exception: false where LocateInode throws.
    bool FindInode(unsigned int inode, unsigned int* group, unsigned int* index) const;
    // Byte offset of the inode at 1-based `index` of group `group`'s table.
    unsigned long long InodeOffset(unsigned int group, unsigned int index) const;
    // The reader's one inode buffer, allocated at first use (`context` names the
    // caller in an allocation failure's log line).
    char* InodeBuffer(const char* context);
    // False when the group descriptors say the inode is not in use and the
    // group's inode bitmap does not mark it either (e2fsck keeps an inode past
    // the unused mark whose bit is set).
    bool InodeTableHolds(unsigned int inode) const;
    // Depth-first walk of everything below the reported directory `inode`.
    int WalkTree(unsigned int inode, const kzvol::ext3::Inode& node);
    // Scans the cursor's directory from where it stopped, reporting its files:
    // 1 with the next sub-directory to walk (already reported) in *childInode and
    // *childNode, 0 at the directory's end, -1 when a lower level gave up.
    int NextSubdirectory(DirCursor& dir, unsigned int* childInode, kzvol::ext3::Inode* childNode);
    // Reads indirect block `block`, charged to *dirBlocksLeft and the walk, into
    // `entries` and announces them.
    void LoadIndirect(const char* context, unsigned int dirInode, unsigned long long* dirBlocksLeft,
                      unsigned int block, std::vector<uint32_t>* entries);
    // A stretch of inode-table blocks holding inodes in use.
    struct TableRun {
        uint64_t offset, length;  // bytes
    };
    // Hints the inode-table blocks that hold inodes in use, then, unless the device
    // answers from memory, prescans them.
    void HintInodeTables();
    // The stretches, from the inode bitmaps (a bitmap that cannot be read gives its
    // group's whole table in use).
    std::vector<TableRun> InodeTableRuns();
    // Announces the blocks of every directory the tables hold.
    void PrescanDirectories(const std::vector<TableRun>& runs);
    // Whether the first mebibytes of `runs` answer from memory: the residency query
    // says so, or, without one, reading them is fast.
    bool TablesInMemory(const std::vector<TableRun>& runs);
    // Announces the blocks of the sub-directories listed in a directory block.
    void LookAheadChildren(const char* block);

    // The blocks read last: a run of neighbours, served block by block.
    struct BlockRun {
        uint32_t first = 0, count = 0;
        std::vector<char> data;
        bool Holds(uint32_t block) const { return block >= first && block - first < count; }
    };

    unsigned int m_nInodesCount = 0;
    bool m_bEntryFileTypes = true;                  // entries carry their file type
    std::vector<unsigned int> m_InodeTableByGroup;  // the same list, indexed by group
    // Inode bitmap block per group; kzvol::rdfd::kNoInodeBitmap where the bitmap
    // was never initialised.
    std::vector<unsigned int> m_InodeBitmapByGroup;
    BlockRun m_Run;
    unsigned int m_nPrescanMicros = 400;
    std::unique_ptr<char[]> m_InodeBuffer;  // one inode's bytes, read and decoded at once
    unsigned int m_nInodeBufferSize = 0;
    // Per group, how many inodes from the start of its table may be in use.
    std::vector<unsigned int> m_InodesInUseByGroup;
    unsigned long long m_nDirBlocksLeft = 0;
    unsigned long long m_nWalkBlocksLeft = 0;
    kzvol::InodeSet m_PathInodes;
};
