// The small-image fixture of the reader's refusal and corruption tests.
#include "tests/rdfd/ReaderFixture.h"

#include <sys/stat.h>

#include <fstream>

namespace kzvol::testing {

void ReaderFixture::BuildImage(const std::string& fsType, int bigEntries,
                               const std::string& extra) {
    const std::string tree = tmp_.File("tree");
    ASSERT_EQ(RunCommandLine("mkdir -p " + tree + "/d1/d2/loopme " + tree + "/big"), 0);
    std::ofstream(tree + "/f.txt") << "f";
    std::ofstream(tree + "/d1/in-d1") << "in d1";
    for (int i = 0; i < bigEntries; ++i) {
        char name[40];
        std::snprintf(name, sizeof name, "/big/entry-with-a-long-name-%04d", i);
        std::ofstream(tree + name) << i;
    }
    image_ = tmp_.File("image");
    MakeImage(tree, image_, fsType, 1024, 4096, "-N 2048 " + extra);
    device_.bytes = LoadFile(image_);
}

bool ReaderFixture::RunImgPod(RowCollector* rows, const char* fsTypeName, const char* platform,
                              QuitProbe* quit) {
    char root[] = "/";
    return RDFDInterfaceForImgPod(root, MemoryDevice::Read, &device_, RowCollector::Add, rows,
                                  nullptr, const_cast<char*>(fsTypeName),
                                  const_cast<char*>(platform), 2097152, 0, 0, false,
                                  quit ? QuitProbe::Check : nullptr, quit);
}

bool ReaderFixture::RunVirtualPod(RowCollector* rows, std::string* fsType, bool* isSupported,
                                  QuitProbe* quit) {
    char root[] = "/";
    return RDFDInterfaceForVirtualPod(root, MemoryDevice::Read, &device_, RowCollector::Add, rows,
                                      nullptr, fsType, nullptr, 2097152, nullptr, nullptr,
                                      isSupported, quit ? QuitProbe::Check : nullptr, 0, quit);
}

void ReaderFixture::ExpectBothFail(const std::string& text) {
    const int img = env_.CountLogs(text, "RDFDInterfaceForImgPod");
    const int opt = env_.CountLogs(text, "RDFDInterfaceForVirtualPod");
    RowCollector a, b;
    EXPECT_FALSE(RunImgPod(&a));
    EXPECT_EQ(env_.CountLogs(text, "RDFDInterfaceForImgPod"), img + 1) << text;
    EXPECT_FALSE(RunVirtualPod(&b));
    EXPECT_EQ(env_.CountLogs(text, "RDFDInterfaceForVirtualPod"), opt + 1) << text;
}

}  // namespace kzvol::testing
