// Encoding and decoding of the file-index table's headers, rows and index records.
#include "fstree/FsTreeFormat.h"

#include <cstring>

#include "fstree/Crc32c.h"

namespace kzvol::fstree {
namespace {

// Header byte offsets common to both files.
constexpr size_t kOffVersion = 8, kOffHeaderSize = 12, kOffState = 16, kOffTableId = 24,
                 kOffRowCount = 32, kOffBodyBytes = 40, kOffCrc = 60;
// Offsets only in the .idx header.
constexpr size_t kOffRecordBytes = 20, kOffRecordsPerPage = 48, kOffChunkBytes = 52;

void EncodeCommon(const char* magic, uint32_t state, uint64_t id, uint64_t rows, uint64_t body,
                  unsigned char* out) {
    std::memset(out, 0, kHeaderBytes);
    std::memcpy(out, magic, 8);
    Put32(out + kOffVersion, kVersion);
    Put32(out + kOffHeaderSize, kHeaderBytes);
    Put32(out + kOffState, state);
    Put64(out + kOffTableId, id);
    Put64(out + kOffRowCount, rows);
    Put64(out + kOffBodyBytes, body);
}

void Seal(unsigned char* out) {
    Put32(out + kOffCrc, Crc32c(0, out, kOffCrc));
}

bool CheckCommon(const unsigned char* in, const char* magic, const char* what, std::string* error) {
    if (std::memcmp(in, magic, 8) != 0) {
        *error = std::string("the ") + what + " file is not a file-index table";
        return false;
    }
    if (Get32(in + kOffCrc) != Crc32c(0, in, kOffCrc)) {
        *error = std::string("the ") + what + " header is damaged (checksum mismatch)";
        return false;
    }
    uint32_t version = Get32(in + kOffVersion);
    if (version != kVersion || Get32(in + kOffHeaderSize) != kHeaderBytes) {
        *error = std::string("the ") + what + " file has table version " + std::to_string(version) +
                 ", this program reads version " + std::to_string(kVersion);
        return false;
    }
    uint32_t state = Get32(in + kOffState);
    if (state == kStateOpen) {
        *error = "the table was never closed (its writer did not finish)";
        return false;
    }
    if (state != kStateClosed) {
        *error = std::string("the ") + what + " header is damaged (unknown state)";
        return false;
    }
    return true;
}

}  // namespace

uint32_t NameHash(const char* name, size_t length) {
    return Crc32c(0x4E414D45u, name, length);
}

IndexRecord DecodeRecord(const unsigned char* in) {
    IndexRecord r;
    r.parent = Get64(in);
    r.hash = Get32(in + 8);
    r.nameLength = Get16(in + 12);
    r.type = in[14];
    r.inode = Get64(in + 16);
    r.rowOffset = Get64(in + 24);
    return r;
}

uint16_t DecodeRowFixed(const unsigned char* in, Row* r) {
    r->parent = Get64(in);
    r->inode = Get64(in + 8);
    r->size = Get64(in + 16);
    r->mtime = Get32(in + 24);
    r->type = in[28];
    r->name.clear();
    return Get16(in + 29);
}

void EncodeHeader(const DatHeader& h, unsigned char out[kHeaderBytes]) {
    EncodeCommon(kDatMagic, h.state, h.tableId, h.rowCount, h.bodyBytes, out);
    Seal(out);
}

void EncodeHeader(const IdxHeader& h, unsigned char out[kHeaderBytes]) {
    EncodeCommon(kIdxMagic, h.state, h.tableId, h.rowCount, h.datBodyBytes, out);
    Put32(out + kOffRecordBytes, h.recordBytes);
    Put32(out + kOffRecordsPerPage, h.recordsPerPage);
    Put32(out + kOffChunkBytes, h.chunkBytes);
    Seal(out);
}

bool DecodeHeader(const unsigned char in[kHeaderBytes], DatHeader* h, std::string* error) {
    if (!CheckCommon(in, kDatMagic, ".dat", error))
        return false;
    h->state = Get32(in + kOffState);
    h->tableId = Get64(in + kOffTableId);
    h->rowCount = Get64(in + kOffRowCount);
    h->bodyBytes = Get64(in + kOffBodyBytes);
    return true;
}

bool DecodeHeader(const unsigned char in[kHeaderBytes], IdxHeader* h, std::string* error) {
    if (!CheckCommon(in, kIdxMagic, ".idx", error))
        return false;
    h->state = Get32(in + kOffState);
    h->tableId = Get64(in + kOffTableId);
    h->rowCount = Get64(in + kOffRowCount);
    h->datBodyBytes = Get64(in + kOffBodyBytes);
    h->recordBytes = Get32(in + kOffRecordBytes);
    h->recordsPerPage = Get32(in + kOffRecordsPerPage);
    h->chunkBytes = Get32(in + kOffChunkBytes);
    if (h->recordBytes != kRecordBytes || h->recordsPerPage != kRecordsPerPage ||
        h->chunkBytes != kChunkBytes) {
        *error = "the .idx header is damaged (unexpected geometry)";
        return false;
    }
    return true;
}

}  // namespace kzvol::fstree
