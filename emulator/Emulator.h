// A user-space stand-in for the qnbf filter driver, plugged into the library's
// request channel (kzvol::SetDriverChannel). It is its own library: the tests and
// the kzvol tool plug it in when told to; libkzvol never does.
//
// State lives in a state directory ("state", a text file, guarded by an exclusive
// flock on "lock"); it is loaded and saved around every request, so that several
// processes see one driver as they would see one kernel. Two modes, chosen when
// the directory is created:
//   memory   no device nodes and no root. Opening a node under /dev/qnbf/ gives
//            /dev/null for the admin node, the backing file of a filter device
//            over a regular file (else /dev/null), and the data file of a snapshot
//            (read-only). Volume sizes come from DeclareVolume, else from the file
//            or block device the path names.
//   devices  root, inside a mount namespace with /dev/qnbf on tmpfs. The admin node
//            is "/dev/qnbf/ctrl" (c 7 0; its ioctls reach only this channel). A
//            serving process (kzvol-filterd, started with the driver; pid file,
//            log and socket in the state directory) serves each filter device as
//            a file through FUSE; the node "/dev/qnbf/qnbfN" is a loop device with
//            direct I/O over that file, so every write passes the stand-in before
//            it reaches the underlying block device. A snapshot is a read-only
//            loop device over the served snapshot file, with its own node, so it
//            can be mounted.
//
// The driver's rules:
// - Minors: the loop minor in devices mode (a filter device served again after
//   its serving process died keeps its minor even when its new loop device has
//   another), else the lowest free minor from 0.
//   Node names are "qnbf<minor>". The device list holds filter devices (never
//   snapshots) in the order they were added; its cmd word is answered 1, or 2
//   when the list is empty. Snapshot minors are listed newest (active) first.
// - States: ADD makes a device "added", START "started", DEFUNCT "defunct".
//   START of a started device: EBUSY; of a defunct one: EINVAL. DEFUNCT applies
//   to filter devices only (snapshot minor: EINVAL) and may be repeated. DELETE of
//   a started filter device or of one that still has snapshots: EBUSY; snapshots
//   are deleted directly in any state. A device whose node is mounted or held
//   exclusively is not deleted: EBUSY. Unknown minors: ENXIO.
// - GET_INFO answers any device, snapshots included, except a defunct one
//   (ENODEV; it stays listed until deleted). Size is the underlying device's; for
//   a snapshot, the frozen size. Pass-through values: offset 1216 the underlying
//   device number (kernel 32-bit encoding, 0 for a file), 4316 and 4320 whether
//   the incremental and differential bitmap are tracked (reset, set or reloaded
//   since the device was added).
// - ADD: the path must be NUL-terminated and not empty, the extent size a power of
//   two of at least 512 bytes (EINVAL), the path not already covered (EEXIST), at
//   most 256 filter devices (ENOSPC); devices mode needs a block device (ENOTBLK).
//   A missing path: ENOENT. The serial number is kept but not interpreted.
// - Bitmaps: one bit per extent of the device's extent size, bit i in byte i / 8,
//   least significant bit first; size ceil(extents / 8) bytes. Kind 1 is the
//   incremental, 0 the differential bitmap; any other kind: EINVAL. Bitmap
//   requests on a snapshot: EINVAL; on a defunct device: ENODEV. GET and GETCLR
//   need a buffer (EFAULT) of at least the bitmap's size (ENOBUFS) and fill
//   exactly that many bytes. SET with a null buffer clears the bitmap whatever the
//   size; with a buffer the size must equal the bitmap's (EINVAL). MERGE ORs a
//   buffer of exactly the bitmap's size. CLEAR zeroes. Bits past the last extent
//   are always kept 0.
// - Change tracking: writes set the bits of the extents they touch in both
//   bitmaps. Devices mode: the serving process notes each write's extents before
//   the data moves, and every bitmap request and snapshot first takes what it
//   noted, so a request sees every write acknowledged before it; nothing is read
//   or hashed. If the serving process dies, the next request starts it again and
//   every filter device it served comes back with both bitmaps all set and
//   untracked (GET_INFO 4316 and 4320 read 0) until SET resets them; a node still
//   mounted over the dead process is served again once it is unmounted.
//   Memory mode finds changes by comparing a digest of every extent with the one
//   taken at its previous look (at ADD, before every bitmap request and before a
//   snapshot, whose baseline is what the snapshot copied): a write undone before
//   the next look leaves no trace. Devices without data (memory mode over a
//   declared volume) change only through NoteWrite.
// - SAVE writes the bitmap under "saved/" in the state directory, keyed by the
//   underlying path and kind. ADD over the same path with the same extent size
//   reloads a saved bitmap of the right size (and marks it tracked); creation then
//   resets it with SET as usual, so the reload serves boot-time re-adds.
// - SNAP_SYNC: the source must be a started filter device (EINVAL); the map and
//   data paths must be NUL-terminated, non-empty and distinct (EINVAL). The new
//   snapshot is "added" until START. DELETE of a snapshot leaves both files.
//   Devices mode: one active snapshot per filter device (EBUSY). The file system
//   mounted on the node, if any, is frozen (FIFREEZE; one frozen already stays as
//   it is) while copy-on-write starts, so the start costs the same for any volume
//   size and a journaled file system is clean in the snapshot. The map and data
//   files are created exclusively, never through a link, mode 0600 (the files of
//   an earlier snapshot of this driver under the same names are replaced; anything
//   else there: EEXIST). From then on the first write to each chunk (the chunk
//   size: a power of two from 512 bytes to 64 MiB, else EINVAL) copies the old
//   chunk into the data file and records it in the map file before it goes on; the
//   snapshot reads each chunk from the data file or from the volume. The map file
//   is a 64-byte head ("kzvol-cow 1", chunk and size lines) followed by one
//   little-endian 64-bit chunk number per copied chunk, the k-th held at k times
//   the chunk size in the data file. DELETE ends copy-on-write.
//   Memory mode: the data file receives a full point-in-time image of the device
//   (holes for zeros), the map file a short text description.
// - GET_DATABLOCK_MAP takes a snapshot minor (EINVAL otherwise): `size` is answered
//   with the map's size; a zero buffer address only asks for it; a smaller buffer:
//   ENOBUFS. Bit i is set when extent i of the snapshot holds a non-zero byte.
// - Requests of another type than 0x43 go to the kernel, except BLKFLSBUF in
//   memory mode, which succeeds.
//
// Threads: requests may come from several threads; the file lock serialises them.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/State.h"
#include "filter/DriverChannel.h"

namespace kzvol::emulator {

class Emulator final : public kzvol::DriverChannel {
  public:
    // Creates the state directory (or uses an existing one) for a new driver in
    // `mode`; devices mode also makes /dev/qnbf and its admin node. A directory
    // that holds a running driver's state is refused unless `replace`, which
    // first shuts that driver down. False with *error on failure.
    static bool Create(const std::string& stateDir, Mode mode, std::string* error,
                       bool replace = false);
    // Removes what the stand-in made in `stateDir` (its state, lock and saved
    // bitmaps), and the directory itself only when nothing else is left in it.
    // Anything else found there stays. False with *error when a file it made
    // cannot be removed.
    static bool RemoveState(const std::string& stateDir, std::string* error);

    // Serves the driver kept in `stateDir`.
    explicit Emulator(std::string stateDir) : dir_(std::move(stateDir)) {}

    int OpenNode(const std::string& path, int flags) override;
    int Request(int fd, unsigned long request, void* arg) override;

    // Memory mode: the size a later ADD of `path` gets.
    bool DeclareVolume(const std::string& path, uint64_t size);
    // Marks [offset, offset + length) of filter device `minor` written.
    bool NoteWrite(uint32_t minor, uint64_t offset, uint64_t length);
    // The next request numbered `request` fails with `err` (this process only).
    void FailNext(unsigned long request, int err);
    // Deletes every device and releases its loop device and node; devices mode also
    // stops the serving process, and removes the admin node when `removeAdminNode`.
    // Refused, with *error naming the node and its mount point, while a node of
    // the driver is mounted.
    bool Shutdown(bool removeAdminNode, std::string* error);
    // A copy of the current state; false when it cannot be read.
    bool Snapshot(State* out);

    const std::string& state_dir() const { return dir_; }

  private:
    // Runs `fn(state)` under the lock with the state loaded, saving it afterwards
    // when `save`. Answers fn's errno value, or the lock or load failure's.
    // `serve`: devices mode first makes sure the serving process serves every
    // device (Driver::Reconnect).
    template <typename Fn>
    int WithState(bool save, Fn fn, bool serve = false);
    bool TakeInjected(unsigned long request, int* err);

    std::string dir_;
    std::mutex mu_;
    std::deque<std::pair<unsigned long, int>> injected_;
};

// Plugs `emulator` into the library's request channel (null unplugs it).
inline void Plug(Emulator* emulator) {
    kzvol::SetDriverChannel(emulator);
}

}  // namespace kzvol::emulator
