// The caller's argument record of KZVolumeUnix::QNBFCreateDevice. The first ten
// fields are 32 bits wide each on i386 (pointers and unsigned long are wider on
// x86-64); the reserved ones belong to the caller and the library never touches them.
#pragma once

#include <cstdint>

struct mntent;

struct CreateDevArg_t {
    char* devpath;          // in: block device to filter; may be a /dev/mapper/ link
    struct mntent* mntent;  // in: its mount entry; read only when `fstab` is set
    uint32_t reserved1;
    uint32_t reserved2;
    unsigned long extsize;  // in/out: extent size in 512-byte blocks, corrected in place
    uint32_t reserved3;
    uint32_t reserved4;
    uint32_t reserved5;
    int minorno;  // out: minor number of the new filter device
    int fstab;    // in: non-zero rewrites /etc/fstab to mount through the filter device
};
