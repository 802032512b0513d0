// The three probes of the mounted system: mount options and ACLs from a test mount
// table, and SELinux mode from a stand-in sestatus run through the real system()
// shell (dash on Debian).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "metadata/MountProbes.h"
#include "tests/metadata/MetadataTestSupport.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

bool Acl(std::string mnt) {
    return CheckIfACLEnabled(mnt.data());
}

// Options and ACLs come from the first entry of the mount point; today's kernels
// list no "acl" option when the superblock's default mount options turn ACLs on, so
// the superblock decides unless an option says otherwise.
TEST(MountProbes, OptionsAndAclsFromTheFirstEntryAndTheSuperBlock) {
    TempDir tmp;
    const std::string image = tmp.File("image");
    ASSERT_EQ(RunCommandLine("mke2fs -q -F -t ext3 " + image + " 2M && tune2fs -o acl " + image +
                             " >/dev/null"),
              0);
    TestEnv env;
    env.SetMountTable({{{"/dev/a", "/m", "ext3", "rw,noatime,data=ordered"}},
                       {{"/dev/b", "/m", "xfs", "rw,acl"}},
                       {{"/dev/c", "/x", "xfs", "rw,acl"}},
                       {{"/dev/d", "/n", "ext4", "rw,noacl"}},
                       {{image, "/a", "ext3", "rw,relatime"}},
                       {{image, "/off", "ext3", "rw,noacl"}},
                       {{image, "/ax", "xfs", "rw"}}});
    for (const auto& [mnt, options, acl] :
         {std::tuple<std::string, std::string, bool>{"/m", "rw,noatime,data=ordered", false},
          {"/x", "", true},
          {"/n", "rw,noacl", false},
          {"/none", "", false},
          {"/a", "rw,relatime", true},
          {"/off", "rw,noacl", false},
          {"/ax", "", false}}) {
        std::string path = mnt;
        EXPECT_EQ(GetMntOptions(path.data()), options) << mnt;
        EXPECT_EQ(Acl(mnt), acl) << mnt;
    }
    ASSERT_EQ(RunCommandLine("tune2fs -o ^acl " + image + " >/dev/null"), 0);
    EXPECT_FALSE(Acl("/a"));
}

// A stand-in sestatus first in PATH prints its status line on standard error and the
// rest on standard output; the output goes to a temporary directory with a blank.
TEST(MountProbes, SELinuxModeFromBothStreamsAndFalseWithoutTheToolOrTheDirectory) {
    TestEnv env;
    env.set_run_commands(true);
    TempDir tmp;
    const std::string outDir = tmp.File("kz tmp"), oldPath = std::getenv("PATH");
    ASSERT_EQ(::mkdir(tmp.File("bin").c_str(), 0755) + ::mkdir(outDir.c_str(), 0755), 0);
    ::setenv("PATH", (tmp.File("bin") + ":" + oldPath).c_str(), 1);
    auto answer = [&](const std::string& status, const std::string& rest) {
        const std::string script = "#!/bin/sh\necho '" + status + "' >&2\nprintf '" + rest + "'\n";
        ::chmod(tmp.Write("bin/sestatus", script).c_str(), 0755);
        return CheckIfSELinuxEnforcing();
    };
    const std::string enabled = "SELinux status:                 enabled";
    ScopedRegistry registry(tmp.File("registry.ini"), "[Base]\ndTALMARTEMPDIR=" + outDir + "\n");
    EXPECT_TRUE(answer(enabled, "SELinuxfs mount: /sys/fs/selinux\\nCurrent mode: enforcing\\n"));
    EXPECT_EQ(env.ShellCommands().back(), "sestatus > '" + outDir + "/sestatus' 2>&1");
    EXPECT_NE(ReadFile(outDir + "/sestatus").find(enabled), std::string::npos);
    EXPECT_FALSE(answer(enabled, "Current mode: permissive\\nMode from config file: enforcing"));
    EXPECT_FALSE(answer("SELinux status: disabled", "Current mode:   enforcing\\n"));
    EXPECT_FALSE(answer(enabled, "nothing else\\n"));
    ::unlink(tmp.File("bin/sestatus").c_str());
    ::setenv("PATH", tmp.File("bin").c_str(), 1);
    EXPECT_FALSE(CheckIfSELinuxEnforcing());
    tmp.Write("registry.ini", "[Base]\n");
    EXPECT_FALSE(answer("SELinux status: enabled", "Current mode: enforcing\\n"));
    EXPECT_EQ(env.ShellCommands().size(), 5u);  // none without the directory
    ::setenv("PATH", oldPath.c_str(), 1);
}

}  // namespace
}  // namespace kzvol::testing
