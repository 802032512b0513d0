// Reading single inodes of an ext2/ext3 file system straight from the device, for
// restoring files without mounting: an inode's attributes, where its data lies
// (logical blocks mapped through the direct, single, double and triple indirect
// pointers, holes left out), a fast symbolic link's target, and a directory's
// entries. The superblock and group descriptors are read and checked by the
// directory reader's own validation, inodes and blocks through its reads, so what
// the directory reader refuses is refused here too.
//
// Nothing read is trusted: a block pointer beyond the file system, a file larger
// than its pointers can map, or a directory block whose records cannot be used
// give an error text naming the inode, never a read outside the device.
//
// Threads: one object, the caller's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/Export.h"
#include "rdfd/DirBlock.h"
#include "rdfd/Ext3Layout.h"
#include "rdfd/RDFDCallBacks.h"

namespace kzvol::ext3 {

// Logical blocks [logical, logical + count) of a file lie at physical blocks
// [physical, physical + count).
struct BlockRun {
    uint64_t logical = 0;
    uint64_t physical = 0;
    uint64_t count = 0;
};

struct KZVOL_API FileInode {
    uint32_t number = 0;
    Inode node{};
    InodeAttributes attributes{};
    uint32_t blockSectors = 0;  // 512-byte sectors in one block of the file system
    uint64_t Size() const;
    bool IsRegular() const { return (node.mode & kModeTypeMask) == kModeRegular; }
    // A symbolic link whose target is held in the block pointers.
    bool IsFastSymlink() const;
    // The fast link's target (Size() bytes of the pointers).
    std::string FastSymlinkTarget() const;
};

class KZVOL_API InodeReader {
  public:
    // Reads go to `read` with `context`, which must outlive the object.
    InodeReader(ReadCallBack read, void* context);
    ~InodeReader();
    InodeReader(const InodeReader&) = delete;
    InodeReader& operator=(const InodeReader&) = delete;

    // Reads and checks the superblock and the group descriptors.
    bool Open(std::string* error);
    uint32_t BlockSize() const;
    uint64_t BlocksCount() const;

    bool ReadInode(uint32_t inode, FileInode* out, std::string* error);
    // Calls `visit` with each run of mapped blocks among the first
    // ceil(size / block size) logical blocks, ascending; `visit` answers false to
    // stop (the result is still true).
    bool MapBlocks(const FileInode& file, const std::function<bool(const BlockRun&)>& visit,
                   std::string* error);
    // Calls `visit` with each entry of directory `dir` in on-disk order, "." and
    // ".." and deleted entries left out; `visit` answers false to stop.
    bool ListDirectory(const FileInode& dir, const std::function<bool(const DirEntry&)>& visit,
                       std::string* error);
    // The entry `name` of directory `dir`: *inode 0 when there is none.
    bool LookUp(const FileInode& dir, const std::string& name, uint32_t* inode, std::string* error);

  private:
    class Device;
    class Mapper;
    std::unique_ptr<Device> device_;
    std::string openError_;
};

}  // namespace kzvol::ext3
