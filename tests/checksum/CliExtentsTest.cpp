// kzvol extents as a backup job drives it: a first backup, an incremental by
// content, an interrupted run and its restart, and the failures.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/checksum/HashFiles.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

constexpr size_t kExtent = 4096;
constexpr int kExtents = 11;  // the last one short

class CliExtents : public ::testing::Test {
  protected:
    CliExtents() {
        std::string data;
        for (int k = 0; k < kExtents - 1; ++k)
            data += std::string(kExtent, static_cast<char>('a' + k));
        image_ = dir_.Write("image", data + std::string(100, 'z'));
        ::mkdir(dir_.File("jobs").c_str(), 0755);
    }
    // Overwrites a few bytes inside extent k.
    void Change(int k, const std::string& bytes) {
        FILE* f = std::fopen(image_.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fseek(f, static_cast<long>(k * kExtent + 17), SEEK_SET);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    // Runs the command with `options`; answers the exit status, *out gets stdout.
    int Run(const std::string& options, std::string* out, std::string* err = nullptr) {
        std::string cmd = std::string(KZVOL_CLI) + " extents " + image_ +
                          " --name /dev/sdb1 --job-results " + dir_.File("jobs") +
                          " --extent-size 4096 " + options + " 2>" + dir_.File("err");
        out->clear();
        int rc = RunCommandLine(cmd, out);
        if (err)
            *err = ReadFile(dir_.File("err"));
        return rc;
    }
    // The extents marked "send" in the output, as "k k k".
    static std::string Sent(const std::string& out) {
        std::string sent;
        size_t at = 0;
        for (int k = 0; (at = out.find('\n', at)) != std::string::npos; ++k, ++at) {
            if (out.compare(at - 4, 4, "send") == 0)
                sent += (sent.empty() ? "" : " ") + std::to_string(k);
        }
        return sent;
    }
    std::string Hash(const std::string& file) { return dir_.File("jobs/CheckSum/" + file); }

    TempDir dir_;
    std::string image_;
};

TEST_F(CliExtents, FirstBackupThenOnlyChangedExtents) {
    std::string out, err;
    ASSERT_EQ(Run("--promote", &out, &err), 0) << err;
    EXPECT_EQ(out.substr(0, 2 * 22), "extent0000000000\tsend\nextent0000000001\tsend\n");
    EXPECT_EQ(Sent(out), "0 1 2 3 4 5 6 7 8 9 10");
    EXPECT_EQ(err.rfind("extents 11, sent 11, skipped 0, ", 0), 0u) << err;
    EXPECT_EQ(ReadFile(Hash("Hash_dev_sdb1")).size(), 11u * 82);
    EXPECT_NE(::access(Hash("HashTmp_dev_sdb1").c_str(), F_OK), 0);

    Change(3, "changed");
    Change(10, "!");
    ASSERT_EQ(Run("--type 1 --promote", &out, &err), 0) << err;
    EXPECT_EQ(Sent(out), "3 10");
    EXPECT_EQ(err.rfind("extents 11, sent 2, skipped 9, ", 0), 0u) << err;
    ASSERT_EQ(Run("--type 1", &out), 0);
    EXPECT_EQ(Sent(out), "");
}

TEST_F(CliExtents, InterruptedRunRestartsWhereTheTapeEnds) {
    std::string out, err;
    ASSERT_EQ(Run("--promote", &out), 0);
    Change(1, "one");
    Change(8, "eight");
    // Interrupted after extent 4; extent 1 reached the tape.
    ASSERT_EQ(Run("--type 1 --limit 5 --promote --tape-file 3", &out, &err), 0);
    EXPECT_EQ(Sent(out), "1");
    EXPECT_NE(err.find("not promoted"), std::string::npos) << err;
    // Extent 2 changes before the restart: the tape does not have it.
    Change(2, "two");
    ASSERT_EQ(Run("--type 1 --restart 4 --tape-file 3", &out, &err), 0) << err;
    EXPECT_EQ(Sent(out), "2 8");
    EXPECT_EQ(ReadFile(Hash("HashOnTape_dev_sdb1_3")).size(), 5u * 82);
}

TEST_F(CliExtents, FailuresPrintOneLineAndExitOne) {
    std::string out, err;
    EXPECT_EQ(Run("--type 1", &out, &err), 1);  // no previous backup to compare with
    EXPECT_EQ(err, "kzvol: cannot open the hash files in " + dir_.File("jobs") +
                       "/CheckSum (the log has the cause)\n");
    EXPECT_EQ(Run("--type 2", &out, &err), 1);
    EXPECT_EQ(err, "kzvol: --type wants 0 or 1\n");
    EXPECT_EQ(Run("--restart -2", &out, &err), 1);
    EXPECT_EQ(err, "kzvol: --restart wants -1 or an extent number, not '-2'\n");
    EXPECT_EQ(Run("--extent-size 0", &out, &err), 1);
    EXPECT_EQ(err.rfind("kzvol: --extent-size wants 1 to ", 0), 0u);

    std::string cmd = std::string(KZVOL_CLI) + " extents " + dir_.File("absent") +
                      " --name v --job-results " + dir_.File("jobs") + " --extent-size 4096 2>&1";
    EXPECT_EQ(RunCommandLine(cmd, &out), 1);
    EXPECT_EQ(out, "kzvol: cannot open " + dir_.File("absent") + ": No such file or directory\n");
    out.clear();
    cmd = std::string(KZVOL_CLI) + " extents " + image_ + " --name v --job-results " +
          dir_.File("nothing") + " --extent-size 4096 2>&1";
    EXPECT_EQ(RunCommandLine(cmd, &out), 1);
    EXPECT_EQ(out, "kzvol: cannot prepare the hash files in " + dir_.File("nothing") +
                       "/CheckSum (the log has the cause)\n");
}

}  // namespace
}  // namespace kzvol::testing
