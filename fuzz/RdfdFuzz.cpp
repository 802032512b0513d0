// Fuzz target of the on-disk directory reader: the input is a device image, walked
// by both entry points (and once more names-only, and once with the prescan of the
// inode tables forced), the volume-information file written by both, and the
// root directory's entries read as a restore reads them (inodes, block maps).
// Any crash, sanitizer report, name longer than an escaped entry name, block run
// past the file system or hang is a finding; a false result is not.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "rdfd/DirBlock.h"
#include "rdfd/InodeReader.h"
#include "rdfd/RDFD.h"
#include "rdfd/ReadExt3DirFromDevice.h"

namespace {

struct Image {
    const uint8_t* data;
    size_t size;
};

unsigned int ReadImage(void* context, char* buffer, unsigned int size, unsigned long long offset) {
    const auto* image = static_cast<const Image*>(context);
    if (offset >= image->size)
        return 0;
    const size_t n = std::min<size_t>(size, image->size - offset);
    std::memcpy(buffer, image->data + offset, n);
    return static_cast<unsigned int>(n);
}

// The volume-information file, in the target's own directory.
char* DumpPath() {
    static std::string path = kzvol::fuzz::ScratchDir("rdfd") + "/volinfo";
    return path.data();
}

bool CheckRow(void* context, unsigned long long, unsigned long long, unsigned long long,
              unsigned int, bool, char* name) {
    if (name == nullptr || std::strlen(name) > kzvol::ext3::kMaxEntryNameBytes)
        std::abort();
    ++*static_cast<unsigned long*>(context);
    return true;
}

// Read-ahead hints, from the reader's hint thread: a hint is never empty and never
// wraps past the end of the byte range.
void CheckHint(void*, unsigned long long offset, unsigned long long length) {
    if (length == 0 || offset + length < offset)
        std::abort();
}

int NeverQuit(int, void*, void* flag) {
    *static_cast<bool*>(flag) = false;
    return 0;
}

// Reads the root directory's entries and maps each one's blocks, as a restore by
// path does; every run must lie inside the file system.
void MapRootEntries(Image& image) {
    kzvol::ext3::InodeReader reader(ReadImage, &image);
    kzvol::ext3::FileInode root, file;
    std::string error;
    if (!reader.Open(&error) || !reader.ReadInode(2, &root, &error))
        return;
    int budget = 64;
    reader.ListDirectory(
        root,
        [&](const kzvol::ext3::DirEntry& entry) {
            if (reader.ReadInode(entry.inode, &file, &error))
                reader.MapBlocks(
                    file,
                    [&](const kzvol::ext3::BlockRun& run) {
                        if (run.count == 0 || run.physical + run.count > reader.BlocksCount())
                            std::abort();
                        return true;
                    },
                    &error);
            return --budget > 0;
        },
        &error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kzvol::fuzz::Quiet();
    Image image{data, size};
    char root[] = "/", ext3[] = "ext3", platform[] = "linux";
    unsigned long rows = 0;
    for (bool namesOnly : {false, true}) {
        RDFDInterfaceForImgPod(root, ReadImage, &image, CheckRow, &rows,
                               namesOnly ? nullptr : DumpPath(), ext3, platform, 2097152, 0, 0,
                               namesOnly, NeverQuit, nullptr, nullptr,
                               namesOnly ? nullptr : CheckHint);
    }
    // The depth-first walk once more, with the prescan of the inode tables forced.
    try {
        ReadExt3DirFromDevice reader(ReadImage, &image, NeverQuit, 0, nullptr, 0, false, 4194304,
                                     512, nullptr);
        reader.SetReadAhead(CheckHint);
        reader.SetPrescanThreshold(0);
        reader.ValidateFileSystem(nullptr, nullptr, nullptr);
        reader.GetInodeAnameMapping(CheckRow, &rows, root, 2);
    } catch (RDFDException* e) {
        delete e;
    }
    std::string fsType;
    bool supported = true;
    RDFDInterfaceForVirtualPod(root, ReadImage, &image, CheckRow, &rows, DumpPath(), &fsType,
                               nullptr, 2097152, nullptr, nullptr, &supported, NeverQuit, 0,
                               nullptr, nullptr, CheckHint);
    MapRootEntries(image);
    return 0;
}
