// A small ext2 image (1 KiB blocks) with a known tree, loaded into a MemoryDevice,
// and shorthands to run either entry point on it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "rdfd/RDFD.h"
#include "tests/rdfd/ReaderTestSupport.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {

class ReaderFixture : public ::testing::Test {
  protected:
    // Tree: d1/d2/loopme/, d1/in-d1, f.txt, and `bigEntries` files in big/.
    void BuildImage(const std::string& fsType = "ext2", int bigEntries = 0,
                    const std::string& extra = "");
    bool RunImgPod(RowCollector* rows, const char* fsTypeName = "ext3",
                   const char* platform = "linux", QuitProbe* quit = nullptr);
    bool RunVirtualPod(RowCollector* rows, std::string* fsType = nullptr,
                       bool* isSupported = nullptr, QuitProbe* quit = nullptr);
    // Both entry points fail on the image, each logging `text`.
    void ExpectBothFail(const std::string& text);
    void Put32(size_t offset, uint32_t value) { device_.Put32(offset, value); }

    TestEnv env_;
    TempDir tmp_;
    std::string image_;
    MemoryDevice device_;
};

}  // namespace kzvol::testing
