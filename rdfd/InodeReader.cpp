// InodeReader: the directory reader's validation and reads, put to single inodes.
#include "rdfd/InodeReader.h"

#include <cstring>
#include <new>
#include <vector>

#include "rdfd/RDFDException.h"
#include "rdfd/ReadExt3DirFromDevice.h"
#include "rdfd/ReaderSupport.h"

namespace kzvol::ext3 {
namespace {

// Inodes are read through a small cache of 16 KiB windows of the inode tables.
constexpr unsigned int kCacheBytes = 1u << 20;
constexpr unsigned int kCacheBuffers = 64;
// Inode flags of layouts this reader does not map (extents, inline data).
constexpr uint32_t kUnmappedFlags = 0x80000 | 0x10000000;

// Runs `body`; a reader exception or a failed allocation becomes *error.
template <typename Body>
bool Guarded(std::string* error, Body&& body) {
    try {
        body();
        return true;
    } catch (RDFDException* e) {
        *error = e->GetErrorMsg();
        delete e;
    } catch (const std::bad_alloc&) {
        *error = "out of memory";
    }
    return false;
}

[[noreturn]] void Damaged(uint32_t inode, const std::string& what) {
    const std::string text = "inode " + std::to_string(inode) + " " + what;
    throw new RDFDException(RDFD_EXC_FS, text.c_str());
}

}  // namespace

uint64_t FileInode::Size() const {
    return IsRegular() ? node.sizeLow | (uint64_t{node.sizeHigh} << 32) : node.sizeLow;
}

bool FileInode::IsFastSymlink() const {
    // A fast link uses no data blocks; an extended-attribute block is counted in
    // the sectors all the same.
    const uint32_t attributeSectors = attributes.fileAcl != 0 ? blockSectors : 0;
    return node.IsSymlink() && attributes.sectors == attributeSectors;
}

std::string FileInode::FastSymlinkTarget() const {
    unsigned char raw[sizeof node.block];
    for (unsigned i = 0; i < kBlockPointers; ++i)
        for (unsigned b = 0; b < 4; ++b)
            raw[4 * i + b] = static_cast<unsigned char>(node.block[i] >> (8 * b));
    const size_t length = Size() < sizeof raw ? static_cast<size_t>(Size()) : sizeof raw;
    return std::string(reinterpret_cast<const char*>(raw), length);
}

// The directory reader with its cache bounded by the device, as its walk sets it.
class InodeReader::Device : public ReadExt3DirFromDevice {
  public:
    Device(ReadCallBack read, void* context)
        : ReadExt3DirFromDevice(read, context, nullptr, 0, nullptr, 0, false, kCacheBytes,
                                kCacheBuffers, nullptr) {}
    void Open() {
        ValidateFileSystem(nullptr, nullptr, nullptr);
        m_pCache->SetDeviceSize(uint64_t{m_nBlocksCount} * m_nBlockSize);
    }
    std::vector<uint32_t> ReadPointers(uint32_t block) {
        std::vector<char> data(m_nBlockSize);
        ReadFsBlock(block, data.data());
        std::vector<uint32_t> pointers(m_nBlockSize / 4);
        for (size_t i = 0; i < pointers.size(); ++i)
            pointers[i] = Le32(reinterpret_cast<const unsigned char*>(data.data()) + 4 * i);
        return pointers;
    }
};

// Walks the pointers of one inode into runs of mapped blocks.
class InodeReader::Mapper {
  public:
    Mapper(Device& device, const FileInode& file, const std::function<bool(const BlockRun&)>& visit)
        : device_(device), file_(file), visit_(visit), perBlock_(device.GetBlockSize() / 4) {
        const uint64_t blockSize = device.GetBlockSize();
        limit_ = (file.Size() + blockSize - 1) / blockSize;
        uint64_t mappable = kDirectBlocks, span = 1;
        for (int depth = 1; depth <= 3; ++depth)
            mappable += span *= perBlock_;
        if (limit_ > mappable)
            Damaged(file.number, "claims more blocks than its pointers map");
    }

    void Run() {
        uint64_t first = kDirectBlocks, span = 1;
        for (unsigned i = 0; i < kBlockPointers && !stopped_; ++i) {
            const uint32_t pointer = file_.node.block[i];
            if (i < kDirectBlocks) {
                Add(i, pointer);
                continue;
            }
            span *= perBlock_;  // logical blocks behind this pointer
            Walk(pointer, i - kDirectBlocks + 1, first);
            first += span;
        }
        Flush();
    }

  private:
    // `block` holds pointers of `depth` levels (1: to data) for logical blocks from `first`.
    void Walk(uint32_t block, unsigned depth, uint64_t first) {
        if (block == 0 || first >= limit_ || stopped_)
            return;
        if (++indirectBlocks_ > limit_)
            Damaged(file_.number, "has more indirect blocks than data blocks");
        const std::vector<uint32_t> pointers = device_.ReadPointers(block);
        uint64_t span = 1;
        for (unsigned d = 1; d < depth; ++d)
            span *= perBlock_;
        for (size_t i = 0; i < pointers.size() && !stopped_; ++i) {
            const uint64_t logical = first + i * span;
            if (logical >= limit_)
                break;
            if (depth == 1)
                Add(logical, pointers[i]);
            else
                Walk(pointers[i], depth - 1, logical);
        }
    }

    void Add(uint64_t logical, uint32_t physical) {
        if (physical == 0 || logical >= limit_)
            return;
        if (physical >= device_.GetBlocksCount())
            Damaged(file_.number,
                    "points to block " + std::to_string(physical) + " beyond the file system");
        if (run_.count != 0 && run_.logical + run_.count == logical &&
            run_.physical + run_.count == physical) {
            ++run_.count;
            return;
        }
        Flush();
        run_ = BlockRun{logical, physical, 1};
    }

    void Flush() {
        if (run_.count != 0 && !stopped_)
            stopped_ = !visit_(run_);
        run_.count = 0;
    }

    Device& device_;
    const FileInode& file_;
    const std::function<bool(const BlockRun&)>& visit_;
    const uint64_t perBlock_;
    uint64_t limit_ = 0;
    uint64_t indirectBlocks_ = 0;
    BlockRun run_;
    bool stopped_ = false;
};

InodeReader::InodeReader(ReadCallBack read, void* context) {
    Guarded(&openError_, [&] { device_ = std::make_unique<Device>(read, context); });
}

InodeReader::~InodeReader() = default;

bool InodeReader::Open(std::string* error) {
    if (!device_) {
        *error = openError_;
        return false;
    }
    return Guarded(error, [&] { device_->Open(); });
}

uint32_t InodeReader::BlockSize() const {
    return device_->GetBlockSize();
}

uint64_t InodeReader::BlocksCount() const {
    return device_->GetBlocksCount();
}

bool InodeReader::ReadInode(uint32_t inode, FileInode* out, std::string* error) {
    return Guarded(error, [&] {
        std::vector<char> raw(device_->GetInodeSize());
        device_->ReadInode(inode, raw.data());
        const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
        out->number = inode;
        out->blockSectors = device_->GetBlockSize() / 512;
        out->node = DecodeInode(bytes);
        out->attributes = DecodeInodeAttributes(bytes, device_->GetInodeSize());
        if (!out->node.InUse())
            Damaged(inode, "is not in use");
        if (out->attributes.flags & kUnmappedFlags)
            Damaged(inode, "keeps its data in a layout this reader does not map");
    });
}

bool InodeReader::MapBlocks(const FileInode& file,
                            const std::function<bool(const BlockRun&)>& visit, std::string* error) {
    return Guarded(error, [&] { Mapper(*device_, file, visit).Run(); });
}

bool InodeReader::ListDirectory(const FileInode& dir,
                                const std::function<bool(const DirEntry&)>& visit,
                                std::string* error) {
    if (!dir.node.IsDirectory()) {
        *error = "inode " + std::to_string(dir.number) + " is not a directory";
        return false;
    }
    std::vector<BlockRun> runs;
    if (!MapBlocks(
            dir, [&](const BlockRun& run) { return runs.push_back(run), true; }, error))
        return false;
    return Guarded(error, [&] {
        const uint32_t blockSize = device_->GetBlockSize();
        std::vector<char> data(blockSize);
        DirEntry entry;
        for (const BlockRun& run : runs)
            for (uint64_t b = 0; b < run.count; ++b) {
                device_->ReadFsBlock(static_cast<uint32_t>(run.physical + b), data.data());
                DirBlockParser parser(reinterpret_cast<const unsigned char*>(data.data()),
                                      blockSize);
                for (DirEntryStatus status;
                     (status = parser.Next(&entry)) != DirEntryStatus::kEnd;) {
                    if (status == DirEntryStatus::kBadRecord)
                        Damaged(dir.number, "holds a directory block that cannot be read");
                    if (entry.inode == 0 || std::strcmp(entry.name, ".") == 0 ||
                        std::strcmp(entry.name, "..") == 0)
                        continue;
                    if (!visit(entry))
                        return;
                }
            }
    });
}

bool InodeReader::LookUp(const FileInode& dir, const std::string& name, uint32_t* inode,
                         std::string* error) {
    *inode = 0;
    return ListDirectory(
        dir,
        [&](const DirEntry& entry) {
            if (name != entry.name)
                return true;
            *inode = entry.inode;
            return false;
        },
        error);
}

}  // namespace kzvol::ext3
