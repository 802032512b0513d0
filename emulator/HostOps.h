// What the stand-in driver asks of the machine: sizes of devices and files, loop
// devices and device nodes (devices mode), and reading device data for extent
// digests, snapshot images and data-block maps. Each function answers 0 or an
// errno value and releases everything it opened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/Handles.h"

namespace kzvol::emulator {

// Size in bytes of a block device or regular file, and the device number the
// kernel encodes in 32 bits (0 for a file). `isBlock` tells which it was.
int SizeOf(const std::string& path, uint64_t* size, int32_t* devno, bool* isBlock);

struct LoopOptions {
    bool readOnly = false;
    bool direct = false;     // direct I/O on the backing file
    uint32_t blockSize = 0;  // logical block size; 0 for the default
    int preferred = -1;      // a minor to try first
};
// Attaches a free loop device over `path`; its minor goes to *minor. The
// attachment outlives the process until DetachLoop.
int AttachLoop(const std::string& path, const LoopOptions& options, int* minor);
// The logical sector size of a block device (512 when it cannot be asked).
uint32_t SectorOf(const std::string& blockDevice);
// Detaches loop device `minor`. EBUSY when it is mounted or held exclusively.
int DetachLoop(int minor);
// EBUSY when loop device `minor` is mounted or held exclusively, else 0.
int LoopBusy(int minor);
std::string LoopPath(int minor);

// Creates the block node /dev/qnbf/<name> for loop device `minor`; removes it.
int MakeNode(const std::string& name, int loopMinor);
void RemoveNode(const std::string& name);
// Creates /dev/qnbf and its admin node when missing.
int MakeAdminNode();
void RemoveAdminNode();

// The mount point of the file system mounted from block device `device` (this
// mount namespace), or "" when none is.
std::string MountPointOf(const std::string& device);
// Freezes the file system mounted at `mountPoint` (FIFREEZE) until the object
// ends; nothing when `mountPoint` is empty or the file system is frozen already
// (whoever froze it thaws it).
class FrozenFileSystem {
  public:
    explicit FrozenFileSystem(const std::string& mountPoint);
    ~FrozenFileSystem();
    FrozenFileSystem(const FrozenFileSystem&) = delete;
    FrozenFileSystem& operator=(const FrozenFileSystem&) = delete;
    int error() const { return err_; }

  private:
    UniqueFd fd_;
    int err_ = 0;
};

// Flushes a block device's buffers so that reads see every write made through it.
void FlushDevice(const std::string& path);
// One 64-bit digest per extent of the first `size` bytes of `path`.
int ExtentDigests(const std::string& path, uint64_t size, uint32_t extentBytes,
                  std::vector<uint64_t>* digests);
// Copies the first `size` bytes of `from` into a new file `to` (mode 0600): a
// reflink clone when `from` is a regular file of that size on a file system that
// has them, else a copy leaving holes where the source holds zeros.
int CopyImage(const std::string& from, const std::string& to, uint64_t size);
// Creates `to` as a file of `size` zero bytes (holes only).
int MakeEmptyImage(const std::string& to, uint64_t size);
// Writes `contents` to `path` through a temporary file and a rename.
int WriteFileAtomically(const std::string& path, const std::string& contents);
// Sets bit i of `bits` for each extent i of `path` that holds a non-zero byte.
int ExtentsWithData(const std::string& path, uint64_t size, uint32_t extentBytes,
                    std::vector<uint8_t>* bits);

}  // namespace kzvol::emulator
