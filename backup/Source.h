// What a backup needs from the volume it protects: its shape, its change bitmap
// (taken and cleared, or given back), a frozen point-in-time image to read and
// index, and the removal of an image a killed backup left behind. The filter
// driver provides it (FilterSource); tests give a fake.
//
// Threads: ReadFrozen is called on the backup's reader thread while the other
// operations wait; everything else runs on the caller's thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kzvol::backup {

struct VolumeShape {
    uint64_t volumeBytes = 0;
    uint64_t extentBytes = 0;  // what one bit of the change bitmap covers
    size_t bitmapBytes = 0;
    std::string device;            // the underlying device, as the driver names it
    std::string fsUuid;            // of the file system on the volume; "" when none
    bool changesTracked = true;    // the driver vouches for the incremental bitmap
    bool sinceFullTracked = true;  // and for the differential one
};

class Source {
  public:
    virtual ~Source() = default;

    // Every operation answers false with *error saying what failed.
    virtual bool Shape(VolumeShape* shape, std::string* error) = 0;
    // Reads the incremental change bitmap and clears it in one step.
    virtual bool TakeChanges(std::vector<uint8_t>* bits, std::string* error) = 0;
    // Merges bits taken earlier back into the bitmap.
    virtual bool ReturnChanges(const std::vector<uint8_t>& bits, std::string* error) = 0;
    // Reads the differential bitmap (every change since it was last cleared, which
    // the backup never does) without clearing it.
    virtual bool ChangesSinceFull(std::vector<uint8_t>* bits, std::string* error) = 0;
    // The point-in-time image active on the volume now ("" when none).
    virtual bool ActiveImage(std::string* image, std::string* error) = 0;
    // Takes the point-in-time image. *record describes it well enough for
    // RemoveLeftover to find it again after a kill.
    virtual bool Freeze(std::string* record, std::string* error) = 0;
    virtual bool ReadFrozen(uint64_t offset, uint32_t length, char* buffer, std::string* error) = 0;
    // Writes the file-index table `table` and the volume information `volinfo` of
    // the frozen image's file system.
    virtual bool IndexFrozen(const std::string& table, const std::string& volinfo,
                             std::string* error) = 0;
    // Removes the image taken by Freeze.
    virtual bool Thaw(std::string* error) = 0;
    // Removes an image a killed backup left, described by its record; a backup
    // killed before it recorded one ("") left nothing it may remove. True when
    // nothing of the recorded image is left.
    virtual bool RemoveLeftover(const std::string& record, std::string* error) = 0;
};

}  // namespace kzvol::backup
