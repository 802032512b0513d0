// A backup source in memory for the backup cycle's tests: a volume whose bytes
// and change bitmap live in shared memory (so a forked child that is killed
// leaves the "driver" as the kill found it), a frozen copy, and switches that
// refuse or fail a step, or run a hook (to write, or to die) at one.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "backup/Manifest.h"
#include "backup/Source.h"

namespace kzvol::testing {

// Bytes and bitmaps (incremental, then differential) shared with forked children.
class FakeVolume {
  public:
    FakeVolume(uint64_t bytes, uint64_t extentBytes) : bytes_(bytes), extent_(extentBytes) {
        bitmapBytes_ = (backup::ExtentCount(bytes, extentBytes) + 7) / 8;
        map_ = static_cast<char*>(::mmap(nullptr, bytes_ + 2 * bitmapBytes_, PROT_READ | PROT_WRITE,
                                         MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    }
    ~FakeVolume() { ::munmap(map_, bytes_ + 2 * bitmapBytes_); }
    FakeVolume(const FakeVolume&) = delete;
    FakeVolume& operator=(const FakeVolume&) = delete;

    // Writes `data` at `offset` and marks the extents it touches changed.
    void Write(uint64_t offset, const std::string& data) {
        std::memcpy(map_ + offset, data.data(), data.size());
        for (uint64_t e = offset / extent_; e * extent_ < offset + data.size(); ++e) {
            bits()[e / 8] |= static_cast<unsigned char>(1u << (e % 8));
            sinceFull()[e / 8] |= static_cast<unsigned char>(1u << (e % 8));
        }
    }
    // Fills extent `n` with `byte`.
    void Fill(uint64_t n, char byte) {
        Write(n * extent_, std::string(std::min(extent_, bytes_ - n * extent_), byte));
    }
    std::string Contents() const { return std::string(map_, bytes_); }
    unsigned char* bits() { return reinterpret_cast<unsigned char*>(map_ + bytes_); }
    unsigned char* sinceFull() { return bits() + bitmapBytes_; }
    bool Changed(uint64_t n) { return bits()[n / 8] >> (n % 8) & 1; }

    uint64_t bytes() const { return bytes_; }
    uint64_t extent() const { return extent_; }
    size_t bitmapBytes() const { return bitmapBytes_; }

  private:
    uint64_t bytes_, extent_;
    size_t bitmapBytes_;
    char* map_;
};

class FakeSource : public backup::Source {
  public:
    explicit FakeSource(FakeVolume& v) : v_(v) {}

    // Called with the step's name ("take", "freeze", "read", "thaw") and, for reads, the
    // count of reads of this image before this one.
    std::function<void(const std::string&, uint64_t)> hook;
    bool refuseFreeze = false, refuseReturn = false;
    std::string device = "fake0", fsUuid;
    long failRead = -1;  // the read of an image with this count fails
    std::vector<std::string> leftoversRemoved;
    int thaws = 0;
    bool frozen = false;

    bool Shape(backup::VolumeShape* s, std::string*) override {
        *s = {v_.bytes(), v_.extent(), v_.bitmapBytes(), device, fsUuid, true, true};
        return true;
    }
    bool ChangesSinceFull(std::vector<uint8_t>* bits, std::string*) override {
        bits->assign(v_.sinceFull(), v_.sinceFull() + v_.bitmapBytes());
        return true;
    }
    bool ActiveImage(std::string* image, std::string*) override {
        image->clear();  // no snapshot is active
        return true;
    }
    bool TakeChanges(std::vector<uint8_t>* bits, std::string*) override {
        bits->assign(v_.bits(), v_.bits() + v_.bitmapBytes());
        std::memset(v_.bits(), 0, v_.bitmapBytes());
        Step("take", 0);
        return true;
    }
    bool ReturnChanges(const std::vector<uint8_t>& bits, std::string* error) override {
        if (refuseReturn)
            return Refuse("merge refused", error);
        for (size_t i = 0; i < bits.size(); ++i)
            v_.bits()[i] |= bits[i];
        return true;
    }
    bool Freeze(std::string* record, std::string* error) override {
        Step("freeze", 0);
        if (refuseFreeze)
            return Refuse("snapshot refused by the driver", error);
        image_ = v_.Contents();
        frozen = true;
        reads_ = 0;
        *record = "image " + std::to_string(++freezes_) + "\n";
        return true;
    }
    bool ReadFrozen(uint64_t offset, uint32_t length, char* buffer, std::string* error) override {
        Step("read", reads_);
        if (static_cast<long>(reads_++) == failRead)
            return Refuse("I/O error", error);
        std::memcpy(buffer, image_.data() + offset, length);
        return true;
    }
    bool IndexFrozen(const std::string& table, const std::string& volinfo,
                     std::string* error) override {
        indexedAs = table;
        if (!indexFailure.empty())
            return Refuse(indexFailure, error);
        std::ofstream(table + ".dat") << "table";
        std::ofstream(volinfo) << "volinfo";
        return true;
    }
    bool Thaw(std::string*) override {
        Step("thaw", 0);
        ++thaws;
        frozen = false;
        return true;
    }
    bool RemoveLeftover(const std::string& record, std::string*) override {
        leftoversRemoved.push_back(record);
        return true;
    }

    std::string indexedAs, indexFailure;

  private:
    void Step(const std::string& name, uint64_t n) {
        if (hook)
            hook(name, n);
    }
    static bool Refuse(const std::string& why, std::string* error) {
        *error = why;
        return false;
    }

    FakeVolume& v_;
    std::string image_;
    uint64_t reads_ = 0;
    int freezes_ = 0;
};

}  // namespace kzvol::testing
