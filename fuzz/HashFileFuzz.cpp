// Fuzz target of the extent hash files, which a restarted or comparing job reads
// back from its results folder: the input becomes the earlier attempt's HashTmp,
// the HashOnTape and the previous backup's Hash file of one job, which then checks
// eight extents; the whole input is also read as one file through FileIO's line
// and record reads. Any crash, sanitizer report or "do not send" answer on failure
// is a finding; refusals are not.
//
// Input: flags (bit 0 backup type, bit 1 restarted, bits 2-4 last extent, 7 = all),
// the lengths of the HashTmp and HashOnTape parts (2 bytes each, little-endian),
// then the parts, the rest being the Hash file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "checksum/CheckSum.h"
#include "checksum/FileIO.h"
#include "fuzz/FuzzSupport.h"

namespace {

// Takes `length` bytes (fewer at the end) from the front of `rest`.
std::string Take(std::string* rest, size_t length) {
    std::string part = rest->substr(0, length);
    rest->erase(0, part.size());
    return part;
}

void Place(const std::string& path, const std::string& bytes, bool present) {
    if (present)
        kzvol::fuzz::Store(path, bytes);
    else
        ::unlink(path.c_str());
}

// Reads `path` through FileIO's line reads, then again through its record reads.
void ReadThroughFileIO(const std::string& path, long long fileSize) {
    try {
        FileIO file(path, O_RDONLY);
        char line[100];
        char* buffer = line;
        for (int lines = 0; lines < 1000; ++lines) {
            bool more = false;
            try {
                more = file.ReadLine(&buffer, sizeof line);
            } catch (const std::exception&) {
                more = false;  // a line longer than the buffer
            }
            if (file.GetCurOffset() > fileSize)
                std::abort();
            if (!more)
                break;
        }
        file.SetCurOffset(0);
        file.ValidateCache();
        char record[65];
        buffer = record;
        while (file.ReadData(&buffer, sizeof record))
            if (file.GetCurOffset() > fileSize)
                std::abort();
    } catch (const std::exception&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kzvol::fuzz::Quiet();
    if (size < 5)
        return 0;
    const unsigned flags = data[0];
    const size_t tmpLength = data[1] | data[2] << 8, tapeLength = data[3] | data[4] << 8;
    std::string rest(reinterpret_cast<const char*>(data) + 5, size - 5);
    const std::string hashTmp = Take(&rest, tmpLength), onTape = Take(&rest, tapeLength);

    const std::string folder = kzvol::fuzz::ScratchDir("hashfile");
    CheckSum sum("/dev/fz", folder, static_cast<CheckSumBackupType>(flags & 1), 7,
                 (flags & 2) != 0);
    ::mkdir(sum.CheckSumDir().c_str(), 0755);
    Place(sum.HashTmpPath(), hashTmp, true);
    Place(sum.HashOnTapePath(), onTape, tapeLength != 0);
    Place(sum.HashPath(), rest, true);
    const unsigned last = (flags >> 2) & 7;
    if (sum.InitializeScan(last == 7 ? -1 : static_cast<long long>(last)) &&
        sum.InitializeBackup()) {
        for (int extent = 0; extent < 8; ++extent) {
            char name[32];
            std::snprintf(name, sizeof name, "extent%05d", extent);
            bool backUp = false;
            const char byte = static_cast<char>(extent);
            if (!sum.ShouldThisExtentBeBackedUp(name, &byte, 1, &backUp) && !backUp)
                std::abort();
        }
    }
    const std::string whole = kzvol::fuzz::ScratchDir("hashfile") + "/whole";
    kzvol::fuzz::Store(whole, std::string(reinterpret_cast<const char*>(data), size));
    ReadThroughFileIO(whole, static_cast<long long>(size));
    return 0;
}
