// The backup source over a filter device of the qnbf driver (or of the stand-in
// plugged into the library's channel): the incremental change bitmap through a
// driver-mode volume object, the copy-on-write snapshot through a volume object on
// the filter device node, its copy-on-write files in the given directory.
#pragma once

#include <memory>

#include "tools/backup/ErrorTail.h"
#include "tools/backup/Source.h"

class KZVolumeUnix;

namespace kzvol::backup {

// The extent size of a volume of `volumeBytes` whose change bitmap has
// `bitmapBytes` bytes: the one power of two from 512 bytes to 256 MiB that gives
// that many bitmap bytes; 0 when none or several do.
uint64_t ExtentSizeFromBitmap(uint64_t volumeBytes, uint64_t bitmapBytes);

class FilterSource : public Source {
  public:
    // `node`: the filter device ("/dev/qnbf/qnbf3" or "qnbf3"); `cowDir`: where the
    // snapshot's copy-on-write files go.
    FilterSource(const std::string& node, std::string cowDir);
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
    VolumeShape shape_;
    ErrorTail tail_;
    std::unique_ptr<KZVolumeUnix> driver_;  // driver mode: bitmaps
    std::unique_ptr<KZVolumeUnix> snap_;    // the filter device: its snapshot
};

}  // namespace kzvol::backup
