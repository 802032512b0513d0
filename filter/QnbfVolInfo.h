// QNBFVolInfo_t: what KZVolumeUnix::QNBFGetVolInfo reports about a filter device,
// handed across the library boundary. The byte offsets are part of the interface;
// the checks below pin each of them and the size. Every byte not named is 0.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 4)

struct QNBFVolInfo_t {
    uint8_t reserved0;
    uint8_t pad0[3];
    int64_t dev_value;      // the driver's pass-through value, sign-extended
    uint64_t total_blocks;  // 512-byte blocks: the size truncated to 4096 bytes, / 512
    uint8_t diff_tracked;   // 1 when the driver tracks the differential bitmap
    uint8_t pad1[3];
    uint32_t diff_bmp_size;  // bytes of the differential bitmap
    uint8_t incr_tracked;    // 1 when the driver tracks the incremental bitmap
    uint8_t pad2[3];
    uint32_t incr_bmp_size;  // bytes of the incremental bitmap
    uint32_t reserved36;
    uint32_t reserved40;
    uint8_t reserved44[20];
    uint8_t reserved64;
    uint8_t has_snapshot;  // 1 when the device has at least one snapshot
    uint8_t pad3[6];
    char dev_name[1024];  // last path component of the underlying device
};

#pragma pack(pop)

static_assert(sizeof(QNBFVolInfo_t) == 1096);
static_assert(offsetof(QNBFVolInfo_t, dev_value) == 4);
static_assert(offsetof(QNBFVolInfo_t, total_blocks) == 12);
static_assert(offsetof(QNBFVolInfo_t, diff_tracked) == 20);
static_assert(offsetof(QNBFVolInfo_t, diff_bmp_size) == 24);
static_assert(offsetof(QNBFVolInfo_t, incr_tracked) == 28);
static_assert(offsetof(QNBFVolInfo_t, incr_bmp_size) == 32);
static_assert(offsetof(QNBFVolInfo_t, reserved36) == 36);
static_assert(offsetof(QNBFVolInfo_t, reserved40) == 40);
static_assert(offsetof(QNBFVolInfo_t, reserved44) == 44);
static_assert(offsetof(QNBFVolInfo_t, reserved64) == 64);
static_assert(offsetof(QNBFVolInfo_t, has_snapshot) == 65);
static_assert(offsetof(QNBFVolInfo_t, dev_name) == 72);
