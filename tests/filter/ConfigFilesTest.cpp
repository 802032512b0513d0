// Word lists, the qnbf.conf reader, the cluster test and the serial-number lookup.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "filter/FilterInternal.h"
#include "filter/QnbfConfig.h"
#include "host/Handles.h"
#include "tests/support/TestEnv.h"
#include "volume/KZVolume.h"

namespace kzvol::testing {
namespace {

bool Exists(std::string list, std::string word) {
    return string_exists_in_file(list.data(), word.data());
}
bool Add(std::string list, std::string word) {
    return add_string_to_file(list.data(), word.data());
}
bool Delete(std::string list, std::string word) {
    return delete_string_from_file(list.data(), word.data());
}

// Names of the entries of `dir`, to catch temporaries left behind.
std::string Entries(const std::string& dir) {
    std::string out;
    RunCommandLine("ls -A " + dir, &out);
    return out;
}

TEST(WordList, AddFindAndDeleteWholeWords) {
    TestEnv env;
    TempDir dir;
    std::string list = dir.File("shared_disks");
    EXPECT_FALSE(Exists(list, "/dev/sdb"));
    for (const char* dev : {"/dev/sdb1", "/dev/sdb", "/dev/sdc"})
        ASSERT_TRUE(Add(list, dev));
    EXPECT_EQ(ReadFile(list), "/dev/sdb1\n/dev/sdb\n/dev/sdc\n");
    EXPECT_FALSE(Exists(list, "/dev/sd"));
    EXPECT_TRUE(Exists(list, "/dev/sdc"));
    ASSERT_TRUE(Delete(list, "/dev/sdb"));
    EXPECT_EQ(ReadFile(list), "/dev/sdb1\n/dev/sdc\n");
    EXPECT_TRUE(env.Commands().empty());  // no shell "mv"
    EXPECT_EQ(Entries(dir.path()), "shared_disks\n");

    // Words are split on any white space.
    dir.Write("list", "  /dev/a\t/dev/b\n\n/dev/c");
    EXPECT_TRUE(Exists(dir.File("list"), "/dev/b"));
    EXPECT_TRUE(Exists(dir.File("list"), "/dev/c"));
    // A rewrite keeps the mode and ends every line.
    dir.Write("list", "/dev/a\n/dev/b\n/dev/c");
    ::chmod(dir.File("list").c_str(), 0640);
    ASSERT_TRUE(Delete(dir.File("list"), "/dev/a"));
    EXPECT_EQ(ReadFile(dir.File("list")), "/dev/b\n/dev/c\n");
    struct stat st;
    ASSERT_EQ(::stat(dir.File("list").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A stream that yields `text` and then fails with EIO.
FILE* FailingAfter(const std::string& text) {
    static std::string data;
    static size_t at;
    data = text;
    at = 0;
    cookie_io_functions_t io{};
    io.read = [](void*, char* buf, size_t size) -> ssize_t {
        if (at == data.size()) {
            errno = EIO;
            return -1;
        }
        size_t n = std::min(size, data.size() - at);
        std::memcpy(buf, data.data() + at, n);
        at += n;
        return static_cast<ssize_t>(n);
    };
    return ::fopencookie(nullptr, "r", io);
}

// A list that cannot be read whole, or not replaced, stays as it was, with no
// temporary file beside it.
TEST(WordList, FailedReadOrReplacementLeavesTheListAsItWas) {
    TestEnv env;
    TempDir dir;
    std::string list = dir.Write("shared_disks", "/dev/a\n/dev/b\n/dev/c\n");
    FILE* in = FailingAfter("/dev/a\n/dev/b\n");
    ASSERT_NE(in, nullptr);
    EXPECT_FALSE(rewrite_list_without(in, list.c_str(), "/dev/a"));
    std::fclose(in);
    EXPECT_EQ(ReadFile(list), "/dev/a\n/dev/b\n/dev/c\n");
    // A directory in the list's place opens but reads nothing.
    ASSERT_EQ(::mkdir(dir.File("dir").c_str(), 0755), 0);
    EXPECT_FALSE(Delete(dir.File("dir"), "/dev/sdb"));
    EXPECT_FALSE(Delete(dir.File("missing"), "/dev/sdb"));
    EXPECT_EQ(Entries(dir.path()), "dir\nshared_disks\n");
}

// A reader that opened the list before the rewrite keeps reading the whole old
// list (the new one is renamed into place, never written over the old).
TEST(WordList, ReaderOfTheOldListSeesItWhole) {
    TempDir dir;
    std::string list = dir.Write("shared_disks", "/dev/a\n/dev/b\n/dev/c\n");
    UniqueFile before(std::fopen(list.c_str(), "r"));
    ASSERT_TRUE(Delete(list, "/dev/b"));
    char buf[64] = {};
    EXPECT_EQ(std::string(buf, std::fread(buf, 1, sizeof buf, before.get())),
              "/dev/a\n/dev/b\n/dev/c\n");
    EXPECT_EQ(ReadFile(list), "/dev/a\n/dev/c\n");
}

TEST(QnbfConf, ValueFollowsTheFirstEqualsWithoutLeadingBlanks) {
    TempDir dir;
    std::string conf = dir.Write("qnbf.conf",
                                 "QNBF_INSTANCE_DIRECTORY=/opt/base\n"
                                 "SHARED_DIRECTORY=  /shared\n"
                                 "SHARED_DIRECTORY=/second\n"
                                 "CLUSTER_DISPLAY_NAME=\t vm=1\r\n"
                                 "NOEQUALS   text\n"
                                 "K=" +
                                     std::string(3000, 'v') + "\n");
    char value[1024];
    ASSERT_TRUE(search_qnbf_config_in(conf.c_str(), "SHARED_DIRECTORY=", value));
    EXPECT_STREQ(value, "/shared");
    ASSERT_TRUE(search_qnbf_config_in(conf.c_str(), "CLUSTER_DISPLAY_NAME", value));
    EXPECT_STREQ(value, "vm=1");
    ASSERT_TRUE(search_qnbf_config_in(conf.c_str(), "NOEQUALS", value));
    EXPECT_STREQ(value, "NOEQUALS   text");
    EXPECT_FALSE(search_qnbf_config_in(conf.c_str(), "QNBF_LOG_DIRECTORY", value));
    EXPECT_FALSE(search_qnbf_config_in(dir.File("absent").c_str(), "SHARED_DIRECTORY=", value));
    std::memset(value, 0, sizeof value);
    ASSERT_TRUE(search_qnbf_config_in(conf.c_str(), "K", value));
    EXPECT_EQ(std::strlen(value), 1023u);  // cut to the caller's buffer
}

class ClusterConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        Use("[Base]\ndBASEHOME=/opt/kz base\n"
            "[Machines/vm1]\nbClusterGroupClient=1\n"
            "[Machines/pm1]\nbClusterGroupClient=0\n");
    }
    void TearDown() override { ::unsetenv("KZVOL_CONFIG"); }
    void Use(const std::string& registry) {
        ::setenv("KZVOL_CONFIG", dir_.Write("registry.ini", registry).c_str(), 1);
    }
    TempDir dir_;
    TestEnv env_;
};

// A registry that exists but cannot be read makes the host throw; none of these
// operations passes that on.
TEST_F(ClusterConfig, ClusterClientsAreRecognisedAndAnUnreadableRegistryThrowsNothing) {
    EXPECT_FALSE(is_VM(""));
    EXPECT_TRUE(is_VM("vm1"));
    EXPECT_FALSE(is_VM("pm1"));
    EXPECT_FALSE(is_VM("unknown"));
    ::setenv("KZVOL_CONFIG", dir_.File("registry.ini/below-a-file").c_str(), 1);
    std::string serial, device = "/dev/sdb1";
    EXPECT_FALSE(is_VM("vm1"));
    EXPECT_FALSE(get_serial_number(device.data(), "Instance001", "vm1", serial));
    EXPECT_TRUE(env_.Commands().empty());
    UniqueFd node(::open("/dev/null", O_RDWR));
    KZVolumeUnix vol(node.get());
    vol.setClntDisplayName("vm1");
    EXPECT_NO_THROW(vol.QNBFSetMinorno("/dev/null"));
}

// The cluster script gets every argument as it is, whatever it holds.
TEST_F(ClusterConfig, SerialNumberCommandKeepsEveryArgumentWhole) {
    TempDir witness;
    const std::string touch = "touch " + witness.File("pwned");
    env_.QueueCommandResult(0, "6000c29a-11 \r\n\t");
    std::string serial, device = "/dev/sdb1";
    ASSERT_TRUE(get_serial_number(device.data(), "Instance001", "vm1", serial));
    EXPECT_EQ(serial, "6000c29a-11");
    for (std::string name : {"vm1; " + touch, "$(" + touch + ")", std::string("it's\n-x ~root")}) {
        ASSERT_TRUE(get_serial_number(name.data(), name, name, serial));
        EXPECT_EQ(ShellWords(env_.Commands().back()),
                  (std::vector<std::string>{"/opt/kz base/kzclx.sh", "uuid", name, name, name}));
    }
    EXPECT_NE(::access(witness.File("pwned").c_str(), F_OK), 0);

    env_.QueueCommandResult(3);
    EXPECT_FALSE(get_serial_number(device.data(), "Instance001", "vm1", serial));

    // Without a base directory nothing is run and the answer stays as it was.
    Use("[Base]\n");
    serial = "keep";
    EXPECT_FALSE(get_serial_number(device.data(), "i", "vm1", serial));
    EXPECT_EQ(serial, "keep");
    EXPECT_EQ(env_.Commands().size(), 5u);
}

}  // namespace
}  // namespace kzvol::testing
