// The backup source over a filter device of the qnbf driver (or of the stand-in
// plugged into the library's channel): the incremental change bitmap through a
// driver-mode volume object, the copy-on-write snapshot through a volume object on
// the filter device node, its copy-on-write files in the given directory.
#pragma once

#include <memory>

#include "backup/Source.h"
#include "host/Env.h"
#include "host/FailureTap.h"

class KZVolumeUnix;

namespace kzvol::backup {

// The largest extent size a filter device can be given (a 32-bit byte count).
constexpr uint64_t kDriverMaxExtentBytes = 1ull << 31;

// The extent size of a volume of `volumeBytes` whose change bitmap has
// `bitmapBytes` bytes: the one power of two the driver accepts (512 bytes to
// 2 GiB) that gives that many bitmap bytes; 0 when none or several do.
uint64_t ExtentSizeFromBitmap(uint64_t volumeBytes, uint64_t bitmapBytes);
// True when extents of `extentBytes` give a bitmap of `bitmapBytes` bytes.
bool ExtentSizeFits(uint64_t volumeBytes, uint64_t bitmapBytes, uint64_t extentBytes);

class FilterSource : public Source {
  public:
    // `node`: the filter device ("/dev/qnbf/qnbf3" or "qnbf3"); `cowDir`: where the
    // snapshot's copy-on-write files go.
    FilterSource(const std::string& node, std::string cowDir);
    // The extent size the device was made with, when the caller knows it (the
    // user said so, or the repository recorded it); it must fit the bitmap. The
    // bitmap alone tells it only when one size fits.
    void KnownExtentBytes(uint64_t bytes, bool userGiven) {
        knownExtent_ = bytes;
        userGivenExtent_ = userGiven;
    }
    ~FilterSource() override;

    bool Shape(VolumeShape* shape, std::string* error) override;
    bool TakeChanges(std::vector<uint8_t>* bits, std::string* error) override;
    bool ReturnChanges(const std::vector<uint8_t>& bits, std::string* error) override;
    bool ChangesSinceFull(std::vector<uint8_t>* bits, std::string* error) override;
    bool ActiveImage(std::string* image, std::string* error) override;
    bool Freeze(std::string* record, std::string* error) override;
    bool ReadFrozen(uint64_t offset, uint32_t length, char* buffer, std::string* error) override;
    bool IndexFrozen(const std::string& table, const std::string& volinfo,
                     std::string* error) override;
    bool Thaw(std::string* error) override;
    bool RemoveLeftover(const std::string& record, std::string* error) override;

  private:
    bool Failed(const std::string& what, std::string* error);
    bool RemoveSnapshot(const std::string& snapId, const std::string& cowDir, std::string* error);

    std::string name_, path_, cowDir_;
    uint64_t knownExtent_ = 0;
    bool userGivenExtent_ = false;
    VolumeShape shape_;
    FailureTap tail_{"", true};             // causes; the boot script's output to the log
    std::unique_ptr<KZVolumeUnix> driver_;  // driver mode: bitmaps
    std::unique_ptr<KZVolumeUnix> snap_;    // the filter device: its snapshot
};

}  // namespace kzvol::backup
