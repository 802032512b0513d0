// The three probes of the mounted system: mount options and ACLs from a test
// mount table, and SELinux mode from a stand-in sestatus run through the real
// system() shell (dash on Debian).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "metadata/MountProbes.h"
#include "tests/metadata/MetadataTestSupport.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

TEST(MountProbes, OptionsAndAclsComeFromTheFirstEntryOfTheMountPoint) {
    TestEnv env;
    env.SetMountTable({{{"/dev/a", "/m", "ext3", "rw,noatime,data=ordered"}},
                       {{"/dev/b", "/m", "xfs", "rw,acl"}},
                       {{"/dev/c", "/x", "xfs", "rw,acl"}},
                       {{"/dev/d", "/n", "ext4", "rw,noacl"}}});
    char m[] = "/m", x[] = "/x", n[] = "/n", none[] = "/none";
    EXPECT_EQ(GetMntOptions(m), "rw,noatime,data=ordered");
    EXPECT_EQ(GetMntOptions(n), "rw,noacl");
    EXPECT_EQ(GetMntOptions(x), "");
    EXPECT_EQ(GetMntOptions(none), "");
    EXPECT_FALSE(CheckIfACLEnabled(m));
    EXPECT_TRUE(CheckIfACLEnabled(x));
    EXPECT_FALSE(CheckIfACLEnabled(n));
    EXPECT_FALSE(CheckIfACLEnabled(none));
}

// Today's kernels list no "acl" option when the superblock's default mount
// options turn ACLs on: the superblock decides unless an option says otherwise.
TEST(MountProbes, AclsOnByDefaultInTheSuperBlockCount) {
    TempDir tmp;
    const std::string image = tmp.File("image");
    ASSERT_EQ(RunCommandLine("mke2fs -q -F -t ext3 " + image + " 2M && tune2fs -o acl " + image +
                             " >/dev/null"),
              0);
    TestEnv env;
    env.SetMountTable({{{image, "/a", "ext3", "rw,relatime"}},
                       {{image, "/off", "ext3", "rw,noacl"}},
                       {{image, "/x", "xfs", "rw"}}});
    char a[] = "/a", off[] = "/off", x[] = "/x";
    EXPECT_TRUE(CheckIfACLEnabled(a));
    EXPECT_FALSE(CheckIfACLEnabled(off));
    EXPECT_FALSE(CheckIfACLEnabled(x));
    ASSERT_EQ(RunCommandLine("tune2fs -o ^acl " + image + " >/dev/null"), 0);
    EXPECT_FALSE(CheckIfACLEnabled(a));
}

// A stand-in sestatus first in PATH, printing its status line on standard error
// and the rest on standard output, and a temporary directory with a blank.
class SELinuxProbe : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(tmp_.File("bin").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(outDir_.c_str(), 0755), 0);
        oldPath_ = std::getenv("PATH");
        ::setenv("PATH", (tmp_.File("bin") + ":" + oldPath_).c_str(), 1);
        env_.set_run_commands(true);
    }
    void TearDown() override { ::setenv("PATH", oldPath_.c_str(), 1); }

    void Answer(const std::string& status, const std::string& rest) {
        const std::string script = tmp_.Write(
            "bin/sestatus", "#!/bin/sh\necho '" + status + "' >&2\nprintf '" + rest + "'\n");
        ::chmod(script.c_str(), 0755);
    }

    TestEnv env_;
    TempDir tmp_;
    std::string outDir_ = tmp_.File("kz tmp"), oldPath_;
    ScopedRegistry registry_{tmp_.File("registry.ini"), "[Base]\ndTALMARTEMPDIR=" + outDir_ + "\n"};
};

TEST_F(SELinuxProbe, ReadsTheModeFromBothStreamsAndIsFalseWithoutTheToolOrTheDirectory) {
    const std::string enabled = "SELinux status:                 enabled";
    Answer(enabled, "SELinuxfs mount:   /sys/fs/selinux\\nCurrent mode:   enforcing\\n");
    EXPECT_TRUE(CheckIfSELinuxEnforcing());
    EXPECT_EQ(env_.ShellCommands().back(), "sestatus > '" + outDir_ + "/sestatus' 2>&1");
    EXPECT_NE(ReadFile(outDir_ + "/sestatus").find(enabled), std::string::npos);

    Answer(enabled, "Current mode:   permissive\\nMode from config file:   enforcing\\n");
    EXPECT_FALSE(CheckIfSELinuxEnforcing());
    Answer("SELinux status:                 disabled", "Current mode:   enforcing\\n");
    EXPECT_FALSE(CheckIfSELinuxEnforcing());
    Answer(enabled, "nothing else\\n");
    EXPECT_FALSE(CheckIfSELinuxEnforcing());

    // False without the tool or the directory.
    ::unlink(tmp_.File("bin/sestatus").c_str());
    ::setenv("PATH", tmp_.File("bin").c_str(), 1);
    EXPECT_FALSE(CheckIfSELinuxEnforcing());
    ScopedRegistry empty(tmp_.File("empty.ini"), "[Base]\n");
    Answer("SELinux status: enabled", "Current mode: enforcing\\n");
    EXPECT_FALSE(CheckIfSELinuxEnforcing());
    EXPECT_EQ(env_.ShellCommands().size(), 5u);  // none without the directory
}

}  // namespace
}  // namespace kzvol::testing
