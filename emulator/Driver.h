// The stand-in driver's answer to one request, given the loaded state. Handlers
// check everything before they change anything, so a refused request leaves the
// state as it was (apart from change tracking brought up to date).
#pragma once

#include <string>
#include <vector>

#include "emulator/State.h"

namespace kzvol::emulator {

class Driver {
  public:
    Driver(State& state, std::string stateDir) : s_(state), dir_(std::move(stateDir)) {}

    // 0 on success, else the errno value of the refusal.
    int Handle(unsigned long request, void* arg);

    // Marks the extents of [offset, offset + length) written in both bitmaps.
    int NoteWrite(uint32_t minor, uint64_t offset, uint64_t length);
    // Devices mode: makes sure the serving process runs and serves every filter
    // device. A device whose serving process was restarted lost the writes noted
    // since the last look, so both its bitmaps become all set and untracked; its
    // node is attached anew over the new served file (a node still mounted keeps
    // failing until unmounted, and is tried again at the next request).
    // *changed when the state changed.
    int Reconnect(bool* changed);
    // Deletes every device, snapshots first, releasing loop devices and nodes even
    // when they are busy (their detach is then left to the kernel). The first error
    // is answered; the state is emptied all the same.
    int DeleteAll();

  private:
    int DeviceList(void* arg);
    int Info(void* arg);
    int Add(void* arg);
    int Start(uint32_t minor);
    int Defunct(uint32_t minor);
    int Delete(uint32_t minor);
    int SnapSync(void* arg);
    int BitmapCopy(void* arg, bool clear);
    int BitmapSet(void* arg);
    int BitmapMerge(void* arg);
    int BitmapCommand(void* arg, bool save);
    int DataBlockMap(void* arg);

    // The filter device (not a snapshot) of `minor` in a usable state, or an errno.
    int Usable(uint32_t minor, Device** out);
    Bitmap* Kind(Device& d, uint32_t kind);
    // Usable() and Kind() together: the device and its bitmap of `kind`, or an errno.
    int UsableBitmap(uint32_t minor, uint32_t kind, Device** d, Bitmap** bitmap);
    // Brings both bitmaps up to date: the writes the serving process saw (devices
    // mode), else the extents whose digests changed.
    int Track(Device& d);
    int Release(Device& d, bool force);
    // Devices mode: has the serving process serve filter device `d` (its id and
    // instance), and attaches the loop device of its node over the served file.
    int Serve(Device& d, uint32_t* sector);
    int AttachServed(Device& d, uint32_t sector, int preferredLoop);
    int SnapSyncServed(Device& source, Device& snap);
    int SnapSyncCopy(Device& source, Device& snap);
    // Sets both bitmaps' bits of the extents whose digests differ.
    void MarkChanged(Device& d, const std::vector<uint64_t>& before,
                     const std::vector<uint64_t>& now);
    // Devices mode: ORs the extents the serving process saw written into both bitmaps.
    int TakeServedWrites(Device& d);
    // Asks the serving process to forget device `d` or end its snapshot; errors
    // are of no interest (the process may be gone with what it served).
    void Unserve(const Device& d, const char* verb);
    std::string ServedFile(const std::string& name) const;
    std::string SavedBitmapPath(const Device& d, const char* kind) const;
    void LoadSavedBitmaps(Device& d);

    State& s_;
    std::string dir_;
};

}  // namespace kzvol::emulator
