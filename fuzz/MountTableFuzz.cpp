// Fuzz target of the mount-table reader, which reads /etc/mtab and /etc/fstab (the
// latter writable by whoever administers the machine, the former naming devices
// any user can mount): the input is the table's text, read from a memory stream.
// Any crash or sanitizer report is a finding; every entry must have six fields.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "host/MountTableStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    FILE* stream = ::fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!stream)
        return 0;
    std::vector<kzvol::MountTableEntry> entries;
    kzvol::ReadMountEntries(stream, &entries);
    std::fclose(stream);
    for (const auto& entry : entries)
        if (entry.fields.size() != 6)
            std::abort();
    return 0;
}
