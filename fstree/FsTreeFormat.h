// The on-disk layout of the file-index table, shared by its writer and reader.
//
// TABLE.dat: a 64-byte header, then the rows in the order they were added. A row
// is 31 fixed bytes (parent u64, inode u64, size u64, mtime u32, type u8, name
// length u16) followed by the name bytes. The body is checksummed in chunks of
// kChunkBytes; the chunk checksums live in TABLE.idx.
//
// TABLE.idx: a 64-byte header, then one 32-byte index record per row sorted by
// (parent inode, name hash, row offset), then one CRC-32C per page of
// kRecordsPerPage records, then one CRC-32C per body chunk of TABLE.dat. A binary
// search over the records finds a directory's children, and a child by name, in
// logarithmic time.
//
// Both headers carry a state word written as "open" when the table is created and
// as "closed" only after everything else is on disk, the same table id, and a
// CRC-32C of their first 60 bytes. All integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace kzvol::fstree {

constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderBytes = 64;
constexpr size_t kRowFixedBytes = 31;
constexpr size_t kRecordBytes = 32;
constexpr uint32_t kRecordsPerPage = 128;  // 4 KiB index pages
constexpr size_t kPageBytes = kRecordsPerPage * kRecordBytes;
constexpr uint32_t kChunkBytes = 16384;  // checksum unit of the row body
constexpr size_t kMaxNameBytes = 4096;

constexpr uint32_t kStateOpen = 1;
constexpr uint32_t kStateClosed = 2;

constexpr char kDatMagic[9] = "KZFSTDAT";
constexpr char kIdxMagic[9] = "KZFSTIDX";

// Little-endian field access into byte buffers: a plain copy on little-endian
// hosts (one load or store), byte by byte elsewhere.
template <typename T>
inline void PutLE(unsigned char* p, T v) {
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        std::memcpy(p, &v, sizeof v);
    } else {
        for (size_t i = 0; i < sizeof v; ++i)
            p[i] = static_cast<unsigned char>(v >> (8 * i));
    }
}
template <typename T>
inline T GetLE(const unsigned char* p) {
    T v = 0;
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        std::memcpy(&v, p, sizeof v);
    } else {
        for (size_t i = sizeof v; i-- > 0;)
            v = static_cast<T>(v << 8 | p[i]);
    }
    return v;
}
inline void Put16(unsigned char* p, uint16_t v) {
    PutLE(p, v);
}
inline void Put32(unsigned char* p, uint32_t v) {
    PutLE(p, v);
}
inline void Put64(unsigned char* p, uint64_t v) {
    PutLE(p, v);
}
inline uint16_t Get16(const unsigned char* p) {
    return GetLE<uint16_t>(p);
}
inline uint32_t Get32(const unsigned char* p) {
    return GetLE<uint32_t>(p);
}
inline uint64_t Get64(const unsigned char* p) {
    return GetLE<uint64_t>(p);
}

// One row as added and as read back.
struct Row {
    uint64_t parent = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    uint32_t mtime = 0;
    uint8_t type = 0;
    std::string name;
};

inline bool operator==(const Row& a, const Row& b) {
    return a.parent == b.parent && a.inode == b.inode && a.size == b.size && a.mtime == b.mtime &&
           a.type == b.type && a.name == b.name;
}

// The fixed fields of a row as the writer receives them, the name kept apart.
struct RowHead {
    uint64_t parent = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    uint32_t mtime = 0;
    uint8_t type = 0;
    uint16_t nameLength = 0;
};

// One index record: where a row is and what it takes to find it without reading it.
struct IndexRecord {
    uint64_t parent = 0;
    uint32_t hash = 0;  // NameHash of the row's name
    uint16_t nameLength = 0;
    uint8_t type = 0;
    uint64_t inode = 0;
    uint64_t rowOffset = 0;  // from the start of the .dat body
};

// The order of the records in TABLE.idx.
inline bool RecordLess(const IndexRecord& a, const IndexRecord& b) {
    if (a.parent != b.parent)
        return a.parent < b.parent;
    if (a.hash != b.hash)
        return a.hash < b.hash;
    return a.rowOffset < b.rowOffset;
}
// RecordLess as a type, so that sorting inlines the comparison.
struct RecordOrder {
    bool operator()(const IndexRecord& a, const IndexRecord& b) const { return RecordLess(a, b); }
};

uint32_t NameHash(const char* name, size_t length);

inline void EncodeRecord(const IndexRecord& r, unsigned char* out) {
    Put64(out, r.parent);
    Put32(out + 8, r.hash);
    Put16(out + 12, r.nameLength);
    out[14] = r.type;
    out[15] = 0;
    Put64(out + 16, r.inode);
    Put64(out + 24, r.rowOffset);
}
IndexRecord DecodeRecord(const unsigned char* in);
// Writes the 31 fixed bytes of a row (the name follows them).
inline void EncodeRowFixed(const RowHead& r, unsigned char* out) {
    Put64(out, r.parent);
    Put64(out + 8, r.inode);
    Put64(out + 16, r.size);
    Put32(out + 24, r.mtime);
    out[28] = r.type;
    Put16(out + 29, r.nameLength);
}
// Decodes the fixed bytes into *r (name left empty) and returns the name length.
uint16_t DecodeRowFixed(const unsigned char* in, Row* r);

struct DatHeader {
    uint32_t state = kStateOpen;
    uint64_t tableId = 0;
    uint64_t rowCount = 0;
    uint64_t bodyBytes = 0;
};

struct IdxHeader {
    uint32_t state = kStateOpen;
    uint64_t tableId = 0;
    uint64_t rowCount = 0;
    uint64_t datBodyBytes = 0;
    uint32_t recordBytes = kRecordBytes;
    uint32_t recordsPerPage = kRecordsPerPage;
    uint32_t chunkBytes = kChunkBytes;
};

void EncodeHeader(const DatHeader& h, unsigned char out[kHeaderBytes]);
void EncodeHeader(const IdxHeader& h, unsigned char out[kHeaderBytes]);
// False with *error set when the bytes are not a sound header of this version.
bool DecodeHeader(const unsigned char in[kHeaderBytes], DatHeader* h, std::string* error);
bool DecodeHeader(const unsigned char in[kHeaderBytes], IdxHeader* h, std::string* error);

// Number of units of `unit` bytes (or records) needed to hold `count`.
inline uint64_t CeilDiv(uint64_t count, uint64_t unit) {
    return count / unit + (count % unit != 0);
}

}  // namespace kzvol::fstree
