// The driver records as bytes: the header pins every offset at compile time; here
// the values themselves land little-endian, each field as wide as the driver reads it.
#include <gtest/gtest.h>

#include <cstring>

#include "filter/QnbfProtocol.h"

namespace {

template <typename T>
uint32_t U32At(const T& record, size_t offset) {
    const auto* p = reinterpret_cast<const unsigned char*>(&record) + offset;
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
}

TEST(Protocol, ValuesLandLittleEndianInTheirFields) {
    qn_getinfo_arg info;
    std::memset(&info, 0, sizeof info);
    info.minor = 0x01020304;
    info.size = 0x1122334455667788ull;
    info.underlying_dev = -2;
    info.diff_bmp_valid = 2;
    EXPECT_EQ(U32At(info, 0), 0x01020304u);
    EXPECT_EQ(U32At(info, 8), 0x55667788u);
    EXPECT_EQ(U32At(info, 12), 0x11223344u);
    EXPECT_EQ(U32At(info, 1216), 0xfffffffeu);
    EXPECT_EQ(U32At(info, 4320), 2u);

    qn_addnode_arg add;
    std::memset(&add, 0, sizeof add);
    add.minor = -1;
    add.extent_bytes = 4096 * 512;
    EXPECT_EQ(U32At(add, 1024), 0xffffffffu);
    EXPECT_EQ(U32At(add, 1028), 2097152u);

    qn_snapsync_arg sync;
    std::memset(&sync, 0, sizeof sync);
    sync.minor = 3;
    sync.snap_minor = -1;
    EXPECT_EQ(U32At(sync, 0), 3u);
    EXPECT_EQ(U32At(sync, 4), 0xffffffffu);

    qn_bitmapcmd_arg cmd{5, QNBF_KIND_INCREMENTAL};
    EXPECT_EQ(U32At(cmd, 0), 5u);
    EXPECT_EQ(U32At(cmd, 4), 1u);
}

}  // namespace
