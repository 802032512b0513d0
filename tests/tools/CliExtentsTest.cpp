// kzvol extents as a backup job drives it: a first backup, an incremental by
// content, an interrupted run and its restart, and the failures.
#include <unistd.h>

#include <fstream>

#include "tests/tools/CliRun.h"

namespace kzvol::testing {
namespace {

constexpr size_t kExtent = 4096;

class CliExtents : public ::testing::Test {
  protected:
    CliExtents() {
        std::string data;
        for (int k = 0; k < 10; ++k)  // and an eleventh, short
            data += std::string(kExtent, static_cast<char>('a' + k));
        image_ = dir_.Write("image", data + std::string(100, 'z'));
        Sh(0, "mkdir " + jobs_);
    }
    // Overwrites a few bytes inside extent k.
    void Change(int k, const std::string& bytes) {
        std::ofstream(image_, std::ios::in | std::ios::out).seekp(k * kExtent + 17) << bytes;
    }
    // Runs the command expecting `status`, with stdout in out_ and stderr in err_.
    void Run(int status, const std::string& options, const std::string& image = "",
             const std::string& jobs = "") {
        out_ = Sh(status, Cli() + " extents " + (image.empty() ? image_ : image) +
                              " --name /dev/sdb1 --job-results " + (jobs.empty() ? jobs_ : jobs) +
                              " --extent-size 4096 " + options + " 2>" + dir_.File("err"));
        err_ = ReadFile(dir_.File("err"));
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
    size_t HashBytes(const std::string& file) {
        return ReadFile(jobs_ + "/CheckSum/" + file).size();
    }

    TempDir dir_;
    std::string image_, jobs_ = dir_.File("jobs"), out_, err_;
};

// (Which extents a run sends, in every case: CheckSumTest.)
TEST_F(CliExtents, FirstBackupChangedExtentsAndARestart) {
    Run(0, "--promote");
    EXPECT_THAT(out_, StartsWith("extent0000000000\tsend\nextent0000000001\tsend\n"));
    EXPECT_EQ(Sent(), "0 1 2 3 4 5 6 7 8 9 10");
    EXPECT_THAT(err_, StartsWith("extents 11, sent 11, skipped 0, "));
    EXPECT_EQ(HashBytes("Hash_dev_sdb1"), 11u * 82);
    EXPECT_NE(::access((jobs_ + "/CheckSum/HashTmp_dev_sdb1").c_str(), F_OK), 0);
    Change(3, "changed");
    Change(10, "!");
    Run(0, "--type 1");
    EXPECT_EQ(Sent(), "3 10");
    // Interrupted after extent 4 (not promoted); extent 3 reached the tape. Extent
    // 2 changes before the restart: the tape does not have it.
    Run(0, "--type 1 --limit 5 --promote --tape-file 3");
    EXPECT_EQ(Sent(), "3");
    Change(2, "two");
    Run(0, "--type 1 --restart 4 --tape-file 3 --promote");
    EXPECT_EQ(Sent(), "2 10");
    EXPECT_EQ(HashBytes("HashOnTape_dev_sdb1_3"), 5u * 82);
    Run(0, "--type 1");
    EXPECT_EQ(Sent(), "");
}

TEST_F(CliExtents, FailuresPrintOneLineWithTheirCause) {
    const std::string absent = dir_.File("absent");
    // No previous backup to compare with: the tracker's own cause follows.
    Run(1, "--type 1");
    EXPECT_THAT(err_,
                AllOf(StartsWith("kzvol: cannot open the hash files in " + jobs_ + "/CheckSum: "),
                      Not(HasSubstr("no cause given"))));
    for (const char* options : {"--type 2", "--restart -2", "--extent-size 0"}) {
        Run(2, options);
        EXPECT_EQ(Split(err_).size(), 1u) << err_;
    }
    Run(1, "", absent);
    EXPECT_EQ(err_, "kzvol: cannot open " + absent + ": No such file or directory\n");
    Run(1, "", "", absent);
    EXPECT_THAT(err_,
                StartsWith("kzvol: cannot prepare the hash files in " + absent + "/CheckSum: "));
}

}  // namespace
}  // namespace kzvol::testing
