// Word lists, the qnbf.conf reader, the cluster test and the serial-number lookup.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "filter/FilterInternal.h"
#include "filter/QnbfConfig.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

char* C(std::string& s) {
    return s.data();
}

// Names of the entries of `dir`, to catch temporaries left behind.
std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    std::string out;
    RunCommandLine("ls -A " + dir, &out);
    size_t start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1)
        names.push_back(out.substr(start, nl - start));
    return names;
}

TEST(WordList, AddFindAndDeleteWholeEntries) {
    TestEnv env;
    TempDir dir;
    std::string list = dir.File("shared_disks");
    std::string sdb = "/dev/sdb", sdb1 = "/dev/sdb1", sdc = "/dev/sdc";
    EXPECT_FALSE(string_exists_in_file(C(list), C(sdb)));
    EXPECT_EQ(env.CountLogs("File:[" + list + "] does not exists"), 1);
    for (std::string* dev : {&sdb1, &sdb, &sdc})
        ASSERT_TRUE(add_string_to_file(C(list), C(*dev)));
    EXPECT_EQ(ReadFile(list), "/dev/sdb1\n/dev/sdb\n/dev/sdc\n");

    std::string partial = "/dev/sd";
    EXPECT_FALSE(string_exists_in_file(C(list), C(partial)));
    EXPECT_EQ(env.CountLogs("String[/dev/sd] does not exist in File[" + list + "]"), 1);
    EXPECT_TRUE(string_exists_in_file(C(list), C(sdc)));

    ASSERT_TRUE(delete_string_from_file(C(list), C(sdb)));
    EXPECT_EQ(ReadFile(list), "/dev/sdb1\n/dev/sdc\n");
    EXPECT_TRUE(env.Commands().empty());  // no shell "mv"
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"shared_disks"});
}

TEST(WordList, WordsAreSplitOnAnyWhiteSpace) {
    TempDir dir;
    std::string list = dir.Write("list", "  /dev/a\t/dev/b\n\n/dev/c");
    std::string b = "/dev/b", c = "/dev/c";
    EXPECT_TRUE(string_exists_in_file(C(list), C(b)));
    EXPECT_TRUE(string_exists_in_file(C(list), C(c)));
}

TEST(WordList, DeletingKeepsModeAndTheLastLineWithoutNewline) {
    TempDir dir;
    std::string list = dir.Write("list", "/dev/a\n/dev/b\n/dev/c");
    ::chmod(list.c_str(), 0640);
    std::string a = "/dev/a";
    ASSERT_TRUE(delete_string_from_file(C(list), C(a)));
    EXPECT_EQ(ReadFile(list), "/dev/b\n/dev/c\n");
    struct stat st;
    ASSERT_EQ(::stat(list.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(WordList, FailedReplacementAnswersFalseAndLeavesNoTemporary) {
    TestEnv env;
    TempDir dir;
    // A directory in the list's place: it opens for reading, but nothing can be
    // renamed over it.
    std::string list = dir.File("shared_disks");
    ASSERT_EQ(::mkdir(list.c_str(), 0755), 0);
    std::string dev = "/dev/sdb";
    EXPECT_FALSE(delete_string_from_file(C(list), C(dev)));
    EXPECT_TRUE(env.HasError("Could not rewrite File[" + list + "]"));
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"shared_disks"});

    std::string missing = dir.File("missing");
    EXPECT_FALSE(delete_string_from_file(C(missing), C(dev)));
    EXPECT_TRUE(env.HasError("Could not open File[" + missing + "]"));
}

// A reader that opened the list before the rewrite keeps reading the whole old
// list; readers after it see the new one. Nothing is ever half-written.
TEST(WordList, RewriteWhileAnotherProcessHoldsTheListOpen) {
    TempDir dir;
    std::string list = dir.Write("shared_disks", "/dev/a\n/dev/b\n/dev/c\n");
    int ready[2], go[2], result[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    ASSERT_EQ(::pipe(result), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FILE* f = std::fopen(list.c_str(), "r");
        char byte = f ? 'y' : 'n';
        (void)!::write(ready[1], &byte, 1);
        (void)!::read(go[0], &byte, 1);
        char buf[256] = {0};
        size_t n = f ? std::fread(buf, 1, sizeof buf - 1, f) : 0;
        (void)!::write(result[1], buf, n);
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'y');
    std::string b = "/dev/b";
    ASSERT_TRUE(delete_string_from_file(C(list), C(b)));
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    ::close(result[1]);
    std::string seen;
    char buf[256];
    for (ssize_t n; (n = ::read(result[0], buf, sizeof buf)) > 0;)
        seen.append(buf, n);
    int status = 0;
    ::waitpid(child, &status, 0);
    for (int fd : {ready[0], ready[1], go[0], go[1], result[0]})
        ::close(fd);
    EXPECT_EQ(seen, "/dev/a\n/dev/b\n/dev/c\n");
    EXPECT_EQ(ReadFile(list), "/dev/a\n/dev/c\n");
}

TEST(QnbfConf, ValueFollowsTheFirstEqualsWithoutLeadingBlanks) {
    TempDir dir;
    std::string conf = dir.Write("qnbf.conf",
                                 "QNBF_INSTANCE_DIRECTORY=/opt/base\n"
                                 "SHARED_DIRECTORY=  /shared\n"
                                 "SHARED_DIRECTORY=/second\n"
                                 "CLUSTER_DISPLAY_NAME=\t vm=1\r\n"
                                 "NOEQUALS   text\n");
    char value[1024];
    ASSERT_TRUE(search_qnbf_config_in(conf.c_str(), "SHARED_DIRECTORY=", value));
    EXPECT_STREQ(value, "/shared");
    ASSERT_TRUE(search_qnbf_config_in(conf.c_str(), "CLUSTER_DISPLAY_NAME", value));
    EXPECT_STREQ(value, "vm=1");
    ASSERT_TRUE(search_qnbf_config_in(conf.c_str(), "NOEQUALS", value));
    EXPECT_STREQ(value, "NOEQUALS   text");
    EXPECT_FALSE(search_qnbf_config_in(conf.c_str(), "QNBF_LOG_DIRECTORY", value));
    EXPECT_FALSE(search_qnbf_config_in(dir.File("absent").c_str(), "SHARED_DIRECTORY=", value));

    std::string longValue(3000, 'v');
    std::string big = dir.Write("big.conf", "K=" + longValue + "\n");
    std::memset(value, 0, sizeof value);
    ASSERT_TRUE(search_qnbf_config_in(big.c_str(), "K", value));
    EXPECT_EQ(std::strlen(value), 1023u);
}

class ClusterConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("KZVOL_CONFIG",
                 dir_.Write("registry.ini",
                            "[Base]\ndBASEHOME=/opt/kz base\n"
                            "[Machines/vm1]\nbClusterGroupClient=1\n"
                            "[Machines/pm1]\nbClusterGroupClient=0\n")
                     .c_str(),
                 1);
    }
    void TearDown() override { ::unsetenv("KZVOL_CONFIG"); }
    TempDir dir_;
    TestEnv env_;
};

TEST_F(ClusterConfig, ClusterClientsAreRecognised) {
    EXPECT_FALSE(is_VM(""));
    EXPECT_EQ(env_.CountLogs("Display Name"), 0);
    EXPECT_TRUE(is_VM("vm1"));
    EXPECT_EQ(env_.CountLogs("Detected a VM. \n", "is_VM"), 1);
    EXPECT_FALSE(is_VM("pm1"));
    EXPECT_FALSE(is_VM("unknown"));
    EXPECT_EQ(env_.CountLogs("Detected a PM. \n", "is_VM"), 2);
}

TEST_F(ClusterConfig, SerialNumberCommandQuotesEveryArgument) {
    env_.QueueCommandResult(0, "6000c29a-11 \r\n\t");
    std::string serial, device = "/dev/sdb1";
    ASSERT_TRUE(get_serial_number(C(device), "Instance001", "vm1; rm -rf /", serial));
    EXPECT_EQ(serial, "6000c29a-11");
    ASSERT_EQ(env_.Commands().size(), 1u);
    EXPECT_EQ(env_.Commands()[0],
              "'/opt/kz base/kzclx.sh' uuid Instance001 'vm1; rm -rf /' /dev/sdb1");

    env_.QueueCommandResult(3);
    EXPECT_FALSE(get_serial_number(C(device), "Instance001", "vm1", serial));
    EXPECT_TRUE(
        env_.HasError("execution of '/opt/kz base/kzclx.sh' uuid Instance001 vm1 /dev/sdb1 "
                      "failed errno=3\n"));
}

TEST(SerialNumber, UnknownBaseDirectoryRunsNothing) {
    TestEnv env;
    TempDir dir;
    ::setenv("KZVOL_CONFIG", dir.Write("registry.ini", "[Base]\n").c_str(), 1);
    std::string serial = "keep", device = "/dev/sdb1";
    EXPECT_FALSE(get_serial_number(C(device), "i", "vm1", serial));
    EXPECT_EQ(serial, "keep");
    EXPECT_TRUE(env.Commands().empty());
    ::unsetenv("KZVOL_CONFIG");
}

}  // namespace
}  // namespace kzvol::testing
