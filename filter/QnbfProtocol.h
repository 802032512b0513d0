// The qnbf filter driver's control protocol: request numbers, argument records
// and lookup modes. Records are declared with 4-byte packing so that every byte
// offset is the same on x86-64 as on i386; the checks at the end pin each offset
// and size, and each request value where the record has its i386 size. Only
// qn_bitmap_arg carries a pointer and is therefore wider on 64-bit hosts.
//
// Field names the driver leaves open are the ones this project's stand-in driver
// (emulator/) gives them; the library copies them without interpreting them.
#pragma once

#include <linux/ioctl.h>

#include <cstddef>
#include <cstdint>

#pragma pack(push, 4)

// QNBF_GET_DEVLIST: the minors of every filter device.
struct qn_getdevicelist_arg {
    uint32_t cmd;          // in: 1 for the library's own list requests
    uint32_t count;        // out: number of minors below
    uint32_t minors[256];  // out: in the driver's order
};

// QNBF_GET_INFO: everything about one filter (or snapshot) device.
struct qn_getinfo_arg {
    uint32_t minor;  // in
    uint32_t reserved0;
    uint64_t size;  // out: bytes of the underlying device
    char reserved1[47];
    char node_name[128];     // out: name under /dev/qnbf/
    char dev_name[1025];     // out: last path component of the underlying device
    int32_t underlying_dev;  // out: passed through (the underlying device number)
    uint32_t reserved2;
    uint32_t snap_minor[256];  // out: snapshot minors, the first is the active one
    int32_t snap_minor_cnt;    // out: valid entries of snap_minor
    int32_t incr_bmp_size;     // out: bytes of the incremental bitmap
    int32_t diff_bmp_size;     // out: bytes of the differential bitmap
    char reserved3[2056];
    int32_t incr_bmp_valid;  // out: passed through (incremental bitmap tracked)
    int32_t diff_bmp_valid;  // out: passed through (differential bitmap tracked)
    char reserved4[2080];
};

// QNBF_ADD_NODE: a new filter device over an underlying block device.
struct qn_addnode_arg {
    char dev_path[1024];    // in: underlying device, NUL-terminated
    int32_t minor;          // in -1, out: the assigned minor
    uint32_t extent_bytes;  // in: change-tracking extent size in bytes
    char config_dir[1063];  // in: the driver's configuration directory
    char serial[129];       // in: volume serial number (cluster clients), else empty
};

// QNBF_SNAP_SYNC: a point-in-time snapshot of a filter device.
struct qn_snapsync_arg {
    int32_t minor;         // in: filter device to snapshot
    int32_t snap_minor;    // in -1, out: minor of the snapshot device
    uint32_t chunk_size;   // in: snapshot chunk size
    char map_file[1024];   // in: copy-on-write map file
    char data_file[1024];  // in: copy-on-write data file
    char reserved[168];
};

// Bitmap kinds as the driver numbers them.
enum : uint32_t { QNBF_KIND_DIFFERENTIAL = 0, QNBF_KIND_INCREMENTAL = 1 };

// QNBF_SET/MERGE/GET/GETCLR_BITMAP.
struct qn_bitmap_arg {
    uint32_t minor;
    uint32_t kind;
    uint32_t size;          // bytes of the caller's buffer
    unsigned char* buffer;  // read by SET and MERGE, filled by GET and GETCLR
};

// QNBF_SAVE_BITMAP and QNBF_CLEAR_BITMAP.
struct qn_bitmapcmd_arg {
    uint32_t minor;
    uint32_t kind;
};

// QNBF_GET_DATABLOCK_MAP: which extents of a snapshot hold data. The library sets
// only `minor`; the rest is the caller's: `size` in bytes of the buffer whose
// address is `buffer` (0 asks only for the size, which the driver writes back).
struct qn_getdatablockbmp_arg {
    uint32_t minor;
    uint32_t size;
    uint64_t buffer;
};

#pragma pack(pop)

// Request numbers (type 0x43). Number 8 is never issued.
constexpr unsigned long QNBF_ADD_NODE = _IOWR(0x43, 1, qn_addnode_arg);
constexpr unsigned long QNBF_SNAP_SYNC = _IOWR(0x43, 2, qn_snapsync_arg);
constexpr unsigned long QNBF_DELETE_NODE = _IOW(0x43, 3, uint32_t);
constexpr unsigned long QNBF_START_NODE = _IOW(0x43, 4, uint32_t);
constexpr unsigned long QNBF_DEFUNCT_NODE = _IOW(0x43, 5, uint32_t);
constexpr unsigned long QNBF_GET_DEVLIST = _IOWR(0x43, 6, qn_getdevicelist_arg);
constexpr unsigned long QNBF_GET_INFO = _IOWR(0x43, 7, qn_getinfo_arg);
constexpr unsigned long QNBF_SAVE_BITMAP = _IOW(0x43, 9, qn_bitmapcmd_arg);
constexpr unsigned long QNBF_CLEAR_BITMAP = _IOW(0x43, 10, qn_bitmapcmd_arg);
constexpr unsigned long QNBF_SET_BITMAP = _IOW(0x43, 11, qn_bitmap_arg);
constexpr unsigned long QNBF_MERGE_BITMAP = _IOW(0x43, 12, qn_bitmap_arg);
constexpr unsigned long QNBF_GET_BITMAP = _IOWR(0x43, 13, qn_bitmap_arg);
constexpr unsigned long QNBF_GETCLR_BITMAP = _IOWR(0x43, 14, qn_bitmap_arg);
constexpr unsigned long QNBF_GET_DATABLOCK_MAP = _IOWR(0x43, 15, qn_getdatablockbmp_arg);
constexpr unsigned int QNBF_IOCTL_TYPE = 0x43;

// Lookup modes of get_qnbf_dev_info.
enum { QN_LOOKUP_BY_NAME = 16, QN_LOOKUP_BY_MINOR = 32, QN_LOOKUP_BY_SNAP_MINOR = 48 };

// --- layout checks
static_assert(sizeof(qn_getdevicelist_arg) == 1032);
static_assert(offsetof(qn_getdevicelist_arg, count) == 4);
static_assert(offsetof(qn_getdevicelist_arg, minors) == 8);

static_assert(sizeof(qn_getinfo_arg) == 6404);
static_assert(offsetof(qn_getinfo_arg, size) == 8);
static_assert(offsetof(qn_getinfo_arg, node_name) == 63);
static_assert(offsetof(qn_getinfo_arg, dev_name) == 191);
static_assert(offsetof(qn_getinfo_arg, underlying_dev) == 1216);
static_assert(offsetof(qn_getinfo_arg, snap_minor) == 1224);
static_assert(offsetof(qn_getinfo_arg, snap_minor_cnt) == 2248);
static_assert(offsetof(qn_getinfo_arg, incr_bmp_size) == 2252);
static_assert(offsetof(qn_getinfo_arg, diff_bmp_size) == 2256);
static_assert(offsetof(qn_getinfo_arg, incr_bmp_valid) == 4316);
static_assert(offsetof(qn_getinfo_arg, diff_bmp_valid) == 4320);

static_assert(sizeof(qn_addnode_arg) == 2224);
static_assert(offsetof(qn_addnode_arg, minor) == 1024);
static_assert(offsetof(qn_addnode_arg, extent_bytes) == 1028);
static_assert(offsetof(qn_addnode_arg, config_dir) == 1032);
static_assert(offsetof(qn_addnode_arg, serial) == 2095);

static_assert(sizeof(qn_snapsync_arg) == 2228);
static_assert(offsetof(qn_snapsync_arg, snap_minor) == 4);
static_assert(offsetof(qn_snapsync_arg, chunk_size) == 8);
static_assert(offsetof(qn_snapsync_arg, map_file) == 12);
static_assert(offsetof(qn_snapsync_arg, data_file) == 1036);

static_assert(offsetof(qn_bitmap_arg, kind) == 4);
static_assert(offsetof(qn_bitmap_arg, size) == 8);
static_assert(offsetof(qn_bitmap_arg, buffer) == 12);
static_assert(sizeof(qn_bitmap_arg) == 12 + sizeof(void*));

static_assert(sizeof(qn_bitmapcmd_arg) == 8);
static_assert(offsetof(qn_bitmapcmd_arg, kind) == 4);
static_assert(sizeof(qn_getdatablockbmp_arg) == 16);

static_assert(QNBF_ADD_NODE == 0xc8b04301);
static_assert(QNBF_SNAP_SYNC == 0xc8b44302);
static_assert(QNBF_DELETE_NODE == 0x40044303);
static_assert(QNBF_START_NODE == 0x40044304);
static_assert(QNBF_DEFUNCT_NODE == 0x40044305);
static_assert(QNBF_GET_DEVLIST == 0xc4084306);
static_assert(QNBF_GET_INFO == 0xd9044307);
static_assert(QNBF_SAVE_BITMAP == 0x40084309);
static_assert(QNBF_CLEAR_BITMAP == 0x4008430a);
static_assert(QNBF_GET_DATABLOCK_MAP == 0xc010430f);
// The bitmap requests carry the pointer-sized record: their documented values hold
// where a pointer is 4 bytes.
static_assert(sizeof(void*) != 4 ||
              (QNBF_SET_BITMAP == 0x4010430b && QNBF_MERGE_BITMAP == 0x4010430c &&
               QNBF_GET_BITMAP == 0xc010430d && QNBF_GETCLR_BITMAP == 0xc010430e));
// On 64-bit hosts the record is 20 bytes, and so are the sizes these values encode.
static_assert(sizeof(void*) != 8 ||
              (QNBF_SET_BITMAP == 0x4014430b && QNBF_MERGE_BITMAP == 0x4014430c &&
               QNBF_GET_BITMAP == 0xc014430d && QNBF_GETCLR_BITMAP == 0xc014430e));
static_assert(_IOC_NR(QNBF_SET_BITMAP) == 11 && _IOC_NR(QNBF_GETCLR_BITMAP) == 14);
