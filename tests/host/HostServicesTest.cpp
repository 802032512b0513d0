// Host services: configuration, instance name, SHA-512, events, and
// the mount table (its text parser fed from memory, and as the services give it).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "host/EvEvent.h"
#include "host/IniFile.h"
#include "host/KZPI_Focus.h"
#include "host/KZPlatformInfo.h"
#include "host/KzMntTab.h"
#include "host/KzcSHA512.h"
#include "host/MountTableStream.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

class ConfigFile {
  public:
    explicit ConfigFile(const std::string& text) {
        path_ = dir_.Write("registry.ini", text);
        ::setenv("KZVOL_CONFIG", path_.c_str(), 1);
    }
    ~ConfigFile() { ::unsetenv("KZVOL_CONFIG"); }

  private:
    TempDir dir_;
    std::string path_;
};

TEST(IniFile, SectionsWithSlashesCommentsAndBlanks) {
    std::istringstream in(
        "# comment\n"
        "; another\n"
        "[Base]\n"
        "dBASEHOME = /opt/kz \n"
        "[Machines/client1]\r\n"
        "dJOBRESULTSDIR=/var/jr\r\n"
        "bClusterGroupClient=1\n"
        "not a key line\n"
        "[Empty]\n"
        "key=\n");
    IniFile ini = IniFile::Parse(in);
    EXPECT_EQ(ini.Get("Base", "dBASEHOME").value_or("?"), "/opt/kz");
    EXPECT_EQ(ini.Get("Machines/client1", "dJOBRESULTSDIR").value_or("?"), "/var/jr");
    EXPECT_EQ(ini.Get("Empty", "key").value_or("?"), "");
    EXPECT_FALSE(ini.Get("Base", "dJOBRESULTSDIR"));
    EXPECT_FALSE(ini.Get("Machines", "dJOBRESULTSDIR"));
    EXPECT_FALSE(ini.Get("Base", "# comment"));
}

TEST(KZPlatformInfo, LookupsTruncateAndReportLengthClusterFlagNeedsOne) {
    {
        TempDir dir;
        ::setenv("KZVOL_CONFIG", dir.File("absent.ini").c_str(), 1);
        std::string v;
        EXPECT_EQ(KZPlatformInfo().getString("Base", "dBASEHOME", &v), 0);  // no file, no values
        ::unsetenv("KZVOL_CONFIG");
    }
    ConfigFile config(
        "[Base]\ndBASEHOME=/opt/kzvol/base\nsInstanceName=Instance001\n"
        "[Machines/grp]\nbClusterGroupClient=1\n[Machines/solo]\nbClusterGroupClient=0\n");
    KZPlatformInfo info;
    char buf[8];
    int len = sizeof buf;
    EXPECT_NE(info.getString("Base", "dBASEHOME", buf, &len), 0);
    EXPECT_STREQ(buf, "/opt/kz");
    EXPECT_EQ(len, 15);
    char untouched[4] = "xyz";
    len = sizeof untouched;
    EXPECT_EQ(info.getString("Base", "missing", untouched, &len), 0);
    EXPECT_STREQ(untouched, "xyz");
    EXPECT_EQ(len, 4);
    EXPECT_TRUE(info.isClusterGroupClient("grp"));
    EXPECT_FALSE(info.isClusterGroupClient("solo"));
    EXPECT_FALSE(info.isClusterGroupClient("nobody"));
    EXPECT_EQ(KZPI_Focus::getFocus(), "Instance001");
    ConfigFile none("[Base]\n");
    EXPECT_EQ(KZPI_Focus::getFocus(), "");
}

TEST(KzcSHA512, PublishedVectorsAndReset) {
    auto hex = [](KzcSHA512& sha) {
        unsigned char out[64];
        sha._finish(out, sizeof out);
        std::string text;
        char two[3];
        for (unsigned char c : out)
            text += (std::snprintf(two, sizeof two, "%02x", c), two);
        return text;
    };
    KzcSHA512 sha;
    // FIPS 180-2 test vector "abc", fed in two pieces.
    sha.addData("a", 1);
    sha.addData("bc", 2);
    EXPECT_EQ(hex(sha),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    sha.reset();
    EXPECT_EQ(hex(sha),
              "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
              "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");
}

TEST(HostDoubles, EventsAndMountTableAreRecorded) {
    TestEnv env;
    EvEvent ev;
    ev << "/mnt/data" << std::string("sdb1") << 7LL;
    ev.CriticalEvent(0x7000068, 0, 0);
    ASSERT_EQ(env.Events().size(), 1u);
    EXPECT_EQ(env.Events()[0].code, 0x7000068);
    EXPECT_EQ(env.Events()[0].args, (std::vector<std::string>{"/mnt/data", "sdb1", "7"}));

    env.SetMountTable({{{"/dev/sdb1", "/mnt/data", "ext3", "rw", "0", "0"}}});
    std::list<KzMntTab::Entry> entries;
    ASSERT_EQ(KzMntTab::getAll(entries), 0);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.front()[0], "/dev/sdb1");
    EXPECT_EQ(entries.front()[3], "rw");
    EXPECT_EQ(entries.front()[9], "");
}

TEST(MountTableStream, DecodesEscapesSkipsCommentsAndSurvivesOverlongLines) {
    std::string text =
        "# comment\n\n/dev/sdb1 /mnt/my\\040disk\\011x ext3 ro 1 2\n"
        "overlay /merged overlay " +
        std::string(20000, 'o') +
        " 0 0\n"
        "/dev/sdc1 /mnt/back\\134slash xfs rw\n";
    std::vector<MountTableEntry> entries;
    FILE* stream = ::fmemopen(text.data(), text.size(), "r");
    ASSERT_NE(stream, nullptr);
    ReadMountEntries(stream, &entries);
    std::fclose(stream);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].fields,
              (std::vector<std::string>{"/dev/sdb1", "/mnt/my disk\tx", "ext3", "ro", "1", "2"}));
    EXPECT_EQ(entries[1].fields[1], "/merged");
    // The rest of the overlong line does not become an entry; missing numbers read as 0.
    EXPECT_EQ(entries[2].fields,
              (std::vector<std::string>{"/dev/sdc1", "/mnt/back\\slash", "xfs", "rw", "0", "0"}));
}

}  // namespace
}  // namespace kzvol::testing
