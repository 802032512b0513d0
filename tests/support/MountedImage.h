// A fresh file system in an image file on a loop device, mounted until the end of the scope.
#pragma once

#include <memory>

#include "host/ShellQuote.h"
#include "tests/support/SystemHarness.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {

class MountedImage {
  public:
    // A `type` (ext3, xfs) file system of `bytes` in `imageDir`, mounted on `mountDir`.
    MountedImage(const std::string& imageDir, const std::string& type, const std::string& mountDir,
                 unsigned long long bytes = 16ull << 20)
        : dir_(mountDir) {
        const std::string image = imageDir + "/" + type + ".img";
        MakeSparseFile(image, bytes);
        const std::string mkfs =
            type == "xfs" ? "mkfs.xfs -q -f " : "mke2fs -q -F -t " + type + " ";
        if (RunCommandLine(mkfs + ShellQuote(image) + " 2>&1", &error_) != 0)
            return;
        loop_ = std::make_unique<LoopDevice>(image);
        mount_ = std::make_unique<ScopedMount>(loop_->path(), mountDir, type);
        error_ = loop_->ok() ? mount_->error() : loop_->error();
    }

    bool ok() const { return error_.empty() && mount_ && mount_->ok(); }
    const std::string& error() const { return error_; }
    const std::string& device() const { return loop_->path(); }
    const std::string& dir() const { return dir_; }

  private:
    std::string dir_, error_;
    std::unique_ptr<LoopDevice> loop_;
    std::unique_ptr<ScopedMount> mount_;  // released before the loop device
};

// The real table's top entry on `dir`; four empty fields when none.
inline MountTableEntry RealMountOn(const std::string& dir) {
    std::vector<MountTableEntry> table;
    Env::Default()->ReadMountTable(&table);
    MountTableEntry found{{"", "", "", ""}};
    for (auto& e : table)
        found = e.fields[1] == dir ? e : found;
    return found;
}

inline bool IsMounted(const std::string& dir) {
    return !RealMountOn(dir).fields[0].empty();
}

}  // namespace kzvol::testing
