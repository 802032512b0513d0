// What the backup tests share: a source over a volume and bitmaps in shared memory (a killed
// child leaves them as the kill found them) that fails or hooks any step; backup steps.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "backup/Backup.h"
#include "host/Handles.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {

using Numbers = std::vector<uint64_t>;
using Ids = std::vector<std::string>;

// Copies share the volume.
struct FakeSource : backup::Source {
    FakeSource(uint64_t volumeBytes, uint64_t extentBytes)
        : bytes(volumeBytes),
          extent(extentBytes),
          bitmapBytes((backup::ExtentCount(bytes, extent) + 7) / 8),
          memory(static_cast<char*>(::mmap(nullptr, bytes + 2 * bitmapBytes, PROT_READ | PROT_WRITE,
                                           MAP_SHARED | MAP_ANONYMOUS, -1, 0)),
                 [size = bytes + 2 * bitmapBytes](char* p) { ::munmap(p, size); }),
          bits(reinterpret_cast<unsigned char*>(memory.get() + bytes)),
          sinceFull(bits + bitmapBytes) {}

    // Writes `data` at `offset` and marks the extents it touches changed in both bitmaps.
    void Write(uint64_t offset, const std::string& data) {
        std::memcpy(memory.get() + offset, data.data(), data.size());
        for (uint64_t e = offset / extent; e * extent < offset + data.size(); ++e)
            for (unsigned char* map : {bits, sinceFull})
                map[e / 8] |= static_cast<unsigned char>(1u << (e % 8));
    }
    void Fill(uint64_t n, char byte) { Write(n * extent, std::string(Length(n), byte)); }
    uint64_t Length(uint64_t n) const { return std::min(extent, bytes - n * extent); }
    std::string Contents() const { return std::string(memory.get(), bytes); }
    std::vector<uint8_t> Bits() const { return {bits, bits + bitmapBytes}; }

    const uint64_t bytes, extent;
    const size_t bitmapBytes;
    const std::shared_ptr<char> memory;
    unsigned char *const bits, *const sinceFull;  // incremental, differential
    // Runs at "take", "freeze", each "read" (with the count of reads before it), "thaw".
    std::function<void(const std::string&, uint64_t)> hook;
    bool refuseFreeze = false, refuseReturn = false;
    std::string device = "fake0", fsUuid, indexedAs;
    long failRead = -1;  // the read of an image with this count fails
    std::vector<std::string> leftoversRemoved;
    int thaws = 0;

    bool Shape(backup::VolumeShape* s, std::string*) override {
        *s = {bytes, extent, bitmapBytes, device, fsUuid, true, true};
        return true;
    }
    bool ChangesSinceFull(std::vector<uint8_t>* out, std::string*) override {
        out->assign(sinceFull, sinceFull + bitmapBytes);
        return true;
    }
    bool ActiveImage(std::string* image, std::string*) override {
        image->clear();  // no snapshot is active
        return true;
    }
    bool TakeChanges(std::vector<uint8_t>* out, std::string*) override {
        *out = Bits();
        std::memset(bits, 0, bitmapBytes);
        return Step("take", 0);
    }
    bool ReturnChanges(const std::vector<uint8_t>& taken, std::string* error) override {
        for (size_t i = 0; i < taken.size() && !refuseReturn; ++i)
            bits[i] |= taken[i];
        return !refuseReturn || Refuse("merge refused", error);
    }
    bool Freeze(std::string* record, std::string* error) override {
        if (Step("freeze", 0) && refuseFreeze)
            return Refuse("snapshot refused by the driver", error);
        image_ = Contents();
        reads_ = 0;
        *record = "image " + std::to_string(++freezes_) + "\n";
        return true;
    }
    bool ReadFrozen(uint64_t offset, uint32_t length, char* buffer, std::string* error) override {
        if (Step("read", reads_) && static_cast<long>(reads_++) == failRead)
            return Refuse("I/O error", error);
        std::memcpy(buffer, image_.data() + offset, length);
        return true;
    }
    bool IndexFrozen(const std::string& table, const std::string& volinfo, std::string*) override {
        indexedAs = table;
        std::ofstream(table + ".dat") << "table";
        std::ofstream(volinfo) << "volinfo";
        return true;
    }
    bool Thaw(std::string*) override {
        ++thaws;
        return Step("thaw", 0);
    }
    bool RemoveLeftover(const std::string& record, std::string*) override {
        leftoversRemoved.push_back(record);
        return true;
    }

  private:
    bool Step(const std::string& name, uint64_t n) {
        if (hook)
            hook(name, n);
        return true;
    }
    static bool Refuse(const std::string& why, std::string* error) {
        *error = why;
        return false;
    }

    std::string image_;
    uint64_t reads_ = 0;
    int freezes_ = 0;
};

// Runs one backup: "" or why it failed.
inline std::string TryBackup(backup::Repository& repo, backup::Source& source,
                             backup::BackupReport* report, bool incremental, bool index = false,
                             bool usedOnly = false) {
    const backup::BackupOptions options{incremental, index, usedOnly, nullptr, {}};
    std::string error;
    return backup::RunBackup(repo, source, options, report, &error) ? "" : error;
}

// The volume restored (through `path`) from the chain ending at `id`, or why not.
inline std::string RestoreTo(const backup::Repository& repo, const std::string& id,
                             const std::string& path) {
    std::vector<backup::Manifest> chain;
    std::string error;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    const bool ok = repo.Chain(id, &chain, &error) &&
                    backup::RestoreChain(repo, chain, fd.get(), false, nullptr, &error);
    return ok ? ReadFile(path) : error;
}

inline Numbers ExtentNumbers(const backup::Manifest& m) {
    Numbers numbers;
    for (const backup::ExtentEntry& e : m.extents)
        numbers.push_back(e.number);
    return numbers;
}

// Runs `body` in a forked child; true when a signal ended the child.
inline bool DiesInChild(const std::function<void()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        body();
        ::_exit(0);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFSIGNALED(status);
}

inline std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    return bytes;
}

// `text` with its first `from` replaced by `to`.
inline std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

}  // namespace kzvol::testing
