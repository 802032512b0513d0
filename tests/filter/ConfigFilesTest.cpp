// Word lists, the qnbf.conf reader, the cluster test and the serial-number lookup.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

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
bool Delete(std::string list, std::string word) {
    return delete_string_from_file(list.data(), word.data());
}

// A stream that yields `*text`, consuming it, and then fails with EIO.
FILE* FailingAfter(std::string* text) {
    cookie_io_functions_t io{};
    io.read = [](void* rest, char* buf, size_t size) -> ssize_t {
        size_t n = static_cast<std::string*>(rest)->copy(buf, size);
        static_cast<std::string*>(rest)->erase(0, n);
        return n ? static_cast<ssize_t>(n) : (errno = EIO, -1);
    };
    return ::fopencookie(text, "r", io);
}

// The list is replaced whole (never by a shell "mv") or not at all, leaving no temporary.
TEST(WordList, AddFindAndDeleteWholeWordsReplacingTheListWholeOrNotAtAll) {
    TestEnv env;
    TempDir dir;
    std::string list = dir.File("shared_disks");
    EXPECT_FALSE(Exists(list, "/dev/sdb"));
    for (std::string dev : {"/dev/sdb1", "/dev/sdb", "/dev/sdc"})
        ASSERT_TRUE(add_string_to_file(list.data(), dev.data()));
    EXPECT_EQ(ReadFile(list), "/dev/sdb1\n/dev/sdb\n/dev/sdc\n");
    EXPECT_TRUE(!Exists(list, "/dev/sd") && Exists(list, "/dev/sdc"));
    // A reader that opened the list before the rewrite keeps reading the whole old list.
    UniqueFile before(std::fopen(list.c_str(), "r"));
    ASSERT_TRUE(Delete(list, "/dev/sdb"));
    EXPECT_EQ(ReadFile(list), "/dev/sdb1\n/dev/sdc\n");
    char old[64] = {};
    EXPECT_STREQ((std::fread(old, 1, sizeof old, before.get()), old),
                 "/dev/sdb1\n/dev/sdb\n/dev/sdc\n");
    // A list that cannot be read whole stays as it was.
    std::string partial = "/dev/sdb1\n";
    UniqueFile in(FailingAfter(&partial));
    EXPECT_FALSE(rewrite_list_without(in.get(), list.c_str(), "/dev/sdb1"));
    EXPECT_EQ(ReadFile(list), "/dev/sdb1\n/dev/sdc\n");
    // A directory in the list's place opens but reads nothing.
    ASSERT_EQ(::mkdir(dir.File("dir").c_str(), 0755), 0);
    EXPECT_FALSE(Delete(dir.File("dir"), "/dev/sdb") || Delete(dir.File("missing"), "/dev/sdb"));
    EXPECT_TRUE(env.Commands().empty());
    std::string entries;
    RunCommandLine("ls -A " + dir.path(), &entries);
    EXPECT_EQ(entries, "dir\nshared_disks\n");

    // Words are split on any white space; a rewrite keeps the mode and ends every line.
    list = dir.Write("list", "  /dev/a\t/dev/b\n\n/dev/c");
    EXPECT_TRUE(Exists(list, "/dev/b") && Exists(list, "/dev/c"));
    dir.Write("list", "/dev/a\n/dev/b\n/dev/c");
    ::chmod(list.c_str(), 0640);
    ASSERT_TRUE(Delete(list, "/dev/a"));
    EXPECT_EQ(ReadFile(list), "/dev/b\n/dev/c\n");
    EXPECT_EQ(std::filesystem::status(list).permissions(), std::filesystem::perms(0640));
}

TEST(QnbfConf, ValueFollowsTheFirstEqualsWithoutLeadingBlanks) {
    TempDir dir;
    std::string conf = dir.Write("qnbf.conf",
                                 "QNBF_INSTANCE_DIRECTORY=/opt/base\nSHARED_DIRECTORY=  /shared\n"
                                 "SHARED_DIRECTORY=/second\nCLUSTER_DISPLAY_NAME=\t vm=1\r\n"
                                 "NOEQUALS   text\nK=" +
                                     std::string(3000, 'v') + "\n");
    char value[1024] = {};
    auto get = [&](const std::string& file, const char* key) {
        return search_qnbf_config_in(file.c_str(), key, value) ? std::string(value) : "(none)";
    };
    EXPECT_EQ(get(conf, "SHARED_DIRECTORY="), "/shared");
    EXPECT_EQ(get(conf, "CLUSTER_DISPLAY_NAME"), "vm=1");
    EXPECT_EQ(get(conf, "NOEQUALS"), "NOEQUALS   text");
    EXPECT_EQ(get(conf, "QNBF_LOG_DIRECTORY"), "(none)");
    EXPECT_EQ(get(dir.File("absent"), "SHARED_DIRECTORY="), "(none)");
    EXPECT_EQ(get(conf, "K").size(), 1023u);  // cut to the caller's buffer
}

class ClusterConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        Use("[Base]\ndBASEHOME=/opt/kz base\n[Machines/vm1]\nbClusterGroupClient=1\n"
            "[Machines/pm1]\nbClusterGroupClient=0\n");
    }
    void TearDown() override { ::unsetenv("KZVOL_CONFIG"); }
    void Use(const std::string& registry) {
        ::setenv("KZVOL_CONFIG", dir_.Write("registry.ini", registry).c_str(), 1);
    }
    bool Serial(std::string device, const std::string& name) {
        return get_serial_number(device.data(), name, name, serial_);
    }
    TempDir dir_;
    TestEnv env_;
    std::string serial_;
};

// The cluster script gets every argument as it is, whatever it holds.
TEST_F(ClusterConfig, ClientsAreRecognisedAndTheScriptGetsEveryArgumentWhole) {
    EXPECT_TRUE(is_VM("vm1") && !is_VM("") && !is_VM("pm1") && !is_VM("unknown"));
    TempDir witness;
    const std::string touch = "touch " + witness.File("pwned");
    env_.QueueCommandResult(0, "6000c29a-11 \r\n\t");
    ASSERT_TRUE(Serial("/dev/sdb1", "vm1") && serial_ == "6000c29a-11");
    for (std::string name : {"vm1; " + touch, "$(" + touch + ")", std::string("it's\n-x ~root")}) {
        ASSERT_TRUE(Serial(name, name));
        EXPECT_EQ(ShellWords(env_.Commands().back()),
                  (std::vector<std::string>{"/opt/kz base/kzclx.sh", "uuid", name, name, name}));
    }
    EXPECT_NE(::access(witness.File("pwned").c_str(), F_OK), 0);
    env_.QueueCommandResult(3);
    EXPECT_FALSE(Serial("/dev/sdb1", "vm1"));

    // Without a base directory nothing is run and the answer stays as it was.
    Use("[Base]\n");
    serial_ = "keep";
    EXPECT_FALSE(Serial("/dev/sdb1", "vm1") || serial_ != "keep");
    EXPECT_EQ(env_.Commands().size(), 5u);

    // A registry that exists but cannot be read makes the host throw; none passes that on.
    ::setenv("KZVOL_CONFIG", dir_.File("registry.ini/below-a-file").c_str(), 1);
    EXPECT_FALSE(is_VM("vm1") || Serial("/dev/sdb1", "vm1"));
    EXPECT_EQ(env_.Commands().size(), 5u);
    UniqueFd node(::open("/dev/null", O_RDWR));
    KZVolumeUnix vol(node.get());
    vol.setClntDisplayName("vm1");
    EXPECT_NO_THROW(vol.QNBFSetMinorno("/dev/null"));
}

}  // namespace
}  // namespace kzvol::testing
