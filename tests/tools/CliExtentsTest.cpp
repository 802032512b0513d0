// kzvol extents as a backup job drives it: a first backup, an incremental by
// content, an interrupted run and its restart, and the failures.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/Kzvol.h"

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
    // Runs the command on `image` with `options`; answers the exit status, with
    // stdout in out_ and stderr in err_.
    int Run(const std::string& options, std::string image = "", std::string jobs = "") {
        std::string cmd = std::string(KZVOL_CLI) + " extents " + (image.empty() ? image_ : image) +
                          " --name /dev/sdb1 --job-results " +
                          (jobs.empty() ? dir_.File("jobs") : jobs) + " --extent-size 4096 " +
                          options + " 2>" + dir_.File("err");
        out_.clear();
        int rc = RunCommandLine(cmd, &out_);
        err_ = ReadFile(dir_.File("err"));
        return rc;
    }
    // The extents marked "send" in the output, as "k k k".
    std::string Sent() const {
        std::string sent;
        size_t at = 0;
        for (int k = 0; (at = out_.find('\n', at)) != std::string::npos; ++k, ++at) {
            if (out_.compare(at - 4, 4, "send") == 0)
                sent += (sent.empty() ? "" : " ") + std::to_string(k);
        }
        return sent;
    }
    std::string Hash(const std::string& file) { return dir_.File("jobs/CheckSum/" + file); }

    TempDir dir_;
    std::string image_, out_, err_;
};

// (Which extents a run sends, in every case: CheckSumTest.)
TEST_F(CliExtents, FirstBackupChangedExtentsAndARestart) {
    ASSERT_EQ(Run("--promote"), 0) << err_;
    EXPECT_EQ(out_.substr(0, 2 * 22), "extent0000000000\tsend\nextent0000000001\tsend\n");
    EXPECT_EQ(Sent(), "0 1 2 3 4 5 6 7 8 9 10");
    EXPECT_EQ(err_.rfind("extents 11, sent 11, skipped 0, ", 0), 0u) << err_;
    EXPECT_EQ(ReadFile(Hash("Hash_dev_sdb1")).size(), 11u * 82);
    EXPECT_NE(::access(Hash("HashTmp_dev_sdb1").c_str(), F_OK), 0);
    Change(3, "changed");
    Change(10, "!");
    ASSERT_EQ(Run("--type 1"), 0) << err_;
    EXPECT_EQ(Sent(), "3 10");
    // Interrupted after extent 4 (not promoted); extent 3 reached the tape. Extent
    // 2 changes before the restart: the tape does not have it.
    ASSERT_EQ(Run("--type 1 --limit 5 --promote --tape-file 3"), 0);
    EXPECT_EQ(Sent(), "3");
    Change(2, "two");
    ASSERT_EQ(Run("--type 1 --restart 4 --tape-file 3 --promote"), 0) << err_;
    EXPECT_EQ(Sent(), "2 10");
    EXPECT_EQ(ReadFile(Hash("HashOnTape_dev_sdb1_3")).size(), 5u * 82);
    ASSERT_EQ(Run("--type 1"), 0);
    EXPECT_EQ(Sent(), "");
}

TEST_F(CliExtents, FailuresPrintOneLineWithTheirCause) {
    const std::string jobs = dir_.File("jobs"), absent = dir_.File("absent");
    // No previous backup to compare with: the tracker's own cause follows.
    EXPECT_EQ(Run("--type 1"), 1);
    EXPECT_EQ(err_.rfind("kzvol: cannot open the hash files in " + jobs + "/CheckSum: ", 0), 0u)
        << err_;
    EXPECT_EQ(err_.find("no cause given"), std::string::npos) << err_;
    for (const char* options : {"--type 2", "--restart -2", "--extent-size 0"}) {
        EXPECT_EQ(Run(options), 2) << options;
        EXPECT_EQ(Split(err_).size(), 1u) << err_;
    }
    EXPECT_EQ(Run("", absent), 1);
    EXPECT_EQ(err_, "kzvol: cannot open " + absent + ": No such file or directory\n");
    EXPECT_EQ(Run("", "", absent), 1);
    EXPECT_EQ(err_.rfind("kzvol: cannot prepare the hash files in " + absent + "/CheckSum: ", 0),
              0u)
        << err_;
}

}  // namespace
}  // namespace kzvol::testing
