// Host services: configuration, instance name, SHA-512, path text, events, mount table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "host/EvEvent.h"
#include "host/FXString.h"
#include "host/IniFile.h"
#include "host/KZPI_Focus.h"
#include "host/KZPlatformInfo.h"
#include "host/KzMntTab.h"
#include "host/KzcSHA512.h"
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

TEST(KZPlatformInfo, BufferLookupTruncatesAndReportsLength) {
    ConfigFile config("[Base]\ndBASEHOME=/opt/kzvol/base\n");
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
}

TEST(KZPlatformInfo, MissingFileHasNoValuesAndClusterFlagNeedsOne) {
    {
        TempDir dir;
        ::setenv("KZVOL_CONFIG", dir.File("absent.ini").c_str(), 1);
        KZPlatformInfo info;
        std::string v;
        EXPECT_EQ(info.getString("Base", "dBASEHOME", &v), 0);
        ::unsetenv("KZVOL_CONFIG");
    }
    ConfigFile config(
        "[Machines/grp]\nbClusterGroupClient=1\n[Machines/solo]\n"
        "bClusterGroupClient=0\n");
    KZPlatformInfo info;
    EXPECT_TRUE(info.isClusterGroupClient("grp"));
    EXPECT_FALSE(info.isClusterGroupClient("solo"));
    EXPECT_FALSE(info.isClusterGroupClient("nobody"));
}

TEST(KZPI_Focus, InstanceNameFromBaseSection) {
    {
        ConfigFile config("[Base]\nsInstanceName=Instance001\n");
        EXPECT_EQ(KZPI_Focus::getFocus(), "Instance001");
    }
    ConfigFile none("[Base]\n");
    EXPECT_EQ(KZPI_Focus::getFocus(), "");
}

std::string Hex(const unsigned char* d, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

TEST(KzcSHA512, PublishedVectorsAndReset) {
    KzcSHA512 sha;
    unsigned char out[64];
    // FIPS 180-2 test vector "abc", fed in two pieces.
    sha.addData("a", 1);
    sha.addData("bc", 2);
    sha._finish(out, sizeof out);
    EXPECT_EQ(Hex(out, 64),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    sha.reset();
    sha._finish(out, sizeof out);
    EXPECT_EQ(Hex(out, 64),
              "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
              "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");
}

TEST(FXString, RemoveRightDropsOneSuffix) {
    std::string s = "/dev/sdb1/";
    FXString::RemoveRight(s, "/");
    EXPECT_EQ(s, "/dev/sdb1");
    FXString::RemoveRight(s, "/");
    EXPECT_EQ(s, "/dev/sdb1");
    std::string two = "/mnt//";
    FXString::RemoveRight(two, "/");
    EXPECT_EQ(two, "/mnt/");
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

TEST(KzMntTab, ProductionReadsTheRealTable) {
    std::list<KzMntTab::Entry> entries;
    ASSERT_EQ(KzMntTab::getAll(entries), 0);
    bool root = false;
    for (const auto& e : entries)
        root = root || e[1] == "/";
    EXPECT_TRUE(root);
}

}  // namespace
}  // namespace kzvol::testing
