// The manifest of one backup in a repository: what the backup is (id, kind, the
// backup it builds on, when it was made), the shape of the volume it was taken
// from, and every extent it holds with its SHA-512 digest (of the plain bytes)
// and, when stored compressed, its stored length. Kept as a small text file; the
// parser trusts nothing and refuses anything it did not write. Manifests of
// repositories written before compression (no stored lengths, no used-only key)
// parse unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kzvol::backup {

constexpr size_t kDigestBytes = 64;
using Digest = std::array<unsigned char, kDigestBytes>;

// Extent sizes a repository accepts: powers of two in this range.
constexpr uint64_t kMinExtentBytes = 512;
constexpr uint64_t kMaxExtentBytes = 256ull << 20;

enum class Kind { Full, Incremental };

struct ExtentEntry {
    uint64_t number = 0;  // extent number on the volume
    uint64_t offset = 0;  // byte offset on the volume: number x extent size
    uint32_t length = 0;  // bytes; the last extent of a volume may be short
    Digest digest{};
    uint32_t stored = 0;   // bytes in the extents file when zstd-compressed; 0: kept raw
    uint64_t filePos = 0;  // where its stored bytes start in the extents file (derived)

    uint32_t StoredBytes() const { return stored ? stored : length; }
};

// A file of the backup's folder other than its manifest and extents (the bitmap,
// the file-index table...), with its size and digest.
struct FileEntry {
    std::string name;
    uint64_t bytes = 0;
    Digest digest{};
};

struct Manifest {
    std::string id;
    Kind kind = Kind::Full;
    std::string parent;  // the backup this one builds on; empty for a full backup
    int64_t time = 0;    // seconds since the epoch, when the snapshot was taken
    uint64_t volumeBytes = 0;
    uint64_t extentBytes = 0;
    bool indexed = false;              // holds a file-index table of the volume
    bool indexFailed = false;          // asked for, but the table could not be built
    bool usedOnly = false;             // blocks the file system did not use read as zeros
    std::vector<ExtentEntry> extents;  // ascending extent numbers
    // Every other file of the folder, by ascending name. Manifests written before
    // files were listed have none and say so with listsFiles false.
    bool listsFiles = false;
    std::vector<FileEntry> files;

    uint64_t VolumeExtents() const;
    uint64_t BytesHeld() const;    // volume bytes of the extents held
    uint64_t BytesStored() const;  // their bytes in the extents file
    // Appends `e` at the end of the extents file, setting its filePos.
    void AddExtent(ExtentEntry e);
};

// Extents of a volume of `volumeBytes` cut in `extentBytes`, and the length of one.
uint64_t ExtentCount(uint64_t volumeBytes, uint64_t extentBytes);
uint32_t ExtentLength(uint64_t volumeBytes, uint64_t extentBytes, uint64_t number);

// True when `id` is a backup id: six decimal digits.
bool IsBackupId(const std::string& id);
const char* KindName(Kind kind);

std::string FormatManifest(const Manifest& manifest);
// False with *error naming the first thing wrong: a malformed line, a volume or
// extent size out of range, an extent named twice, out of order or past the
// volume's end, a full backup that lacks an extent, a file named twice or out of
// order.
bool ParseManifest(const std::string& text, Manifest* out, std::string* error);

std::string DigestHex(const Digest& digest);
// Names a backup folder may hold besides its manifest and extents.
bool IsListableFileName(const std::string& name);

}  // namespace kzvol::backup
