// The driver records' values land little-endian, each field as wide as the driver reads it.
#include <gtest/gtest.h>

#include "filter/QnbfProtocol.h"

namespace {

template <typename T>
uint32_t U32At(const T& record, size_t offset) {
    const auto* p = reinterpret_cast<const unsigned char*>(&record) + offset;
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
}

TEST(Protocol, ValuesLandLittleEndianInTheirFields) {
    qn_getinfo_arg info{};
    info.minor = 0x01020304;
    info.size = 0x1122334455667788ull;
    info.underlying_dev = -2;
    info.diff_bmp_valid = 2;
    qn_addnode_arg add{};
    add.minor = -1;
    add.extent_bytes = 4096 * 512;
    qn_snapsync_arg sync{};
    sync.minor = 3;
    sync.snap_minor = -1;
    qn_bitmapcmd_arg cmd{5, QNBF_KIND_INCREMENTAL};
    EXPECT_EQ(std::vector<uint32_t>({U32At(info, 0), U32At(info, 8), U32At(info, 12),
                                     U32At(info, 1216), U32At(info, 4320)}),
              std::vector<uint32_t>({0x01020304, 0x55667788, 0x11223344, 0xfffffffe, 2}));
    EXPECT_EQ(std::vector<uint32_t>({U32At(add, 1024), U32At(add, 1028), U32At(sync, 0),
                                     U32At(sync, 4), U32At(cmd, 0), U32At(cmd, 4)}),
              std::vector<uint32_t>({0xffffffff, 2097152, 3, 0xffffffff, 5, 1}));
}

}  // namespace
