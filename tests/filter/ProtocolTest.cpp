// The driver records as bytes: fields land at their offsets, little-endian.
#include <gtest/gtest.h>

#include <cstring>

#include "filter/QnbfProtocol.h"

namespace {

template <typename T>
const unsigned char* Bytes(const T& record) {
    return reinterpret_cast<const unsigned char*>(&record);
}

uint32_t U32At(const unsigned char* p, size_t offset) {
    return p[offset] | p[offset + 1] << 8 | p[offset + 2] << 16 | uint32_t{p[offset + 3]} << 24;
}

TEST(Protocol, InformationRecordFieldsSitAtTheirOffsets) {
    qn_getinfo_arg info;
    std::memset(&info, 0, sizeof info);
    info.minor = 0x01020304;
    info.size = 0x1122334455667788ull;
    std::strcpy(info.node_name, "qnbf7");
    std::strcpy(info.dev_name, "sdb1");
    info.underlying_dev = -2;
    info.snap_minor[0] = 9;
    info.snap_minor_cnt = 1;
    info.incr_bmp_size = 64;
    info.diff_bmp_size = 65;
    info.incr_bmp_valid = 1;
    info.diff_bmp_valid = 2;
    const unsigned char* p = Bytes(info);
    EXPECT_EQ(U32At(p, 0), 0x01020304u);
    EXPECT_EQ(U32At(p, 8), 0x55667788u);
    EXPECT_EQ(U32At(p, 12), 0x11223344u);
    EXPECT_STREQ(reinterpret_cast<const char*>(p + 63), "qnbf7");
    EXPECT_STREQ(reinterpret_cast<const char*>(p + 191), "sdb1");
    EXPECT_EQ(U32At(p, 1216), 0xfffffffeu);
    EXPECT_EQ(U32At(p, 1224), 9u);
    EXPECT_EQ(U32At(p, 2248), 1u);
    EXPECT_EQ(U32At(p, 2252), 64u);
    EXPECT_EQ(U32At(p, 2256), 65u);
    EXPECT_EQ(U32At(p, 4316), 1u);
    EXPECT_EQ(U32At(p, 4320), 2u);
}

TEST(Protocol, AddSnapshotAndBitmapRecordsSitAtTheirOffsets) {
    qn_addnode_arg add;
    std::memset(&add, 0, sizeof add);
    add.minor = -1;
    add.extent_bytes = 4096 * 512;
    std::strcpy(add.config_dir, "/etc/talmar/");
    std::strcpy(add.serial, "SER");
    const unsigned char* a = Bytes(add);
    EXPECT_EQ(U32At(a, 1024), 0xffffffffu);
    EXPECT_EQ(U32At(a, 1028), 2097152u);
    EXPECT_STREQ(reinterpret_cast<const char*>(a + 1032), "/etc/talmar/");
    EXPECT_STREQ(reinterpret_cast<const char*>(a + 2095), "SER");

    qn_snapsync_arg sync;
    std::memset(&sync, 0, sizeof sync);
    sync.minor = 3;
    sync.snap_minor = -1;
    sync.chunk_size = 8192;
    std::strcpy(sync.map_file, "/s/.qnbf3-snapmap");
    std::strcpy(sync.data_file, "/s/.qnbf3-snap");
    const unsigned char* s = Bytes(sync);
    EXPECT_EQ(U32At(s, 0), 3u);
    EXPECT_EQ(U32At(s, 4), 0xffffffffu);
    EXPECT_EQ(U32At(s, 8), 8192u);
    EXPECT_STREQ(reinterpret_cast<const char*>(s + 12), "/s/.qnbf3-snapmap");
    EXPECT_STREQ(reinterpret_cast<const char*>(s + 1036), "/s/.qnbf3-snap");

    qn_bitmapcmd_arg cmd{5, QNBF_KIND_INCREMENTAL};
    EXPECT_EQ(U32At(Bytes(cmd), 4), 1u);
    qn_getdevicelist_arg list;
    std::memset(&list, 0, sizeof list);
    list.count = 2;
    list.minors[1] = 12;
    EXPECT_EQ(U32At(Bytes(list), 4), 2u);
    EXPECT_EQ(U32At(Bytes(list), 12), 12u);
}

}  // namespace
