// Fuzz target of the file-index table reader. Most inputs become a table whose
// headers and checksums are all valid around arbitrary row bytes and index
// records, so that what lies behind the checksums (lengths, offsets, counts, the
// index pointing into the rows) is exercised; inputs whose first byte is odd are
// taken as the raw .dat and .idx files instead. Any crash, sanitizer report or
// name longer than a row may hold is a finding; a refused table is not.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "fstree/Crc32c.h"
#include "fstree/FsTreeFormat.h"
#include "fstree/UnixFsTreeReader.h"

namespace {

using namespace kzvol::fstree;

const std::string& Base() {
    static const std::string base = [] {
        char dir[] = "/tmp/kzvol-fstree-fuzz-XXXXXX";
        if (!::mkdtemp(dir))
            std::abort();
        return std::string(dir) + "/t";
    }();
    return base;
}

void Store(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Header(const DatHeader& h) {
    unsigned char raw[kHeaderBytes];
    EncodeHeader(h, raw);
    return std::string(reinterpret_cast<char*>(raw), sizeof raw);
}

std::string Header(const IdxHeader& h) {
    unsigned char raw[kHeaderBytes];
    EncodeHeader(h, raw);
    return std::string(reinterpret_cast<char*>(raw), sizeof raw);
}

// CRC-32C words of `data` in units of `unit` bytes.
std::string UnitCrcs(const std::string& data, size_t unit) {
    std::string out;
    for (size_t at = 0; at < data.size(); at += unit) {
        unsigned char word[4];
        Put32(word, kzvol::Crc32c(0, data.data() + at, std::min(unit, data.size() - at)));
        out.append(reinterpret_cast<char*>(word), 4);
    }
    return out;
}

// Input: 2 bytes giving the record count, then the records, then the row body.
void WriteSealed(const uint8_t* data, size_t size) {
    if (size < 2)
        return;
    size_t records = std::min<size_t>((data[0] | data[1] << 8), (size - 2) / kRecordBytes);
    std::string index(reinterpret_cast<const char*>(data) + 2, records * kRecordBytes);
    std::string body(reinterpret_cast<const char*>(data) + 2 + index.size(),
                     size - 2 - index.size());
    DatHeader dh;
    dh.state = kStateClosed;
    dh.tableId = 7;
    dh.rowCount = records;
    dh.bodyBytes = body.size();
    IdxHeader ih;
    ih.state = kStateClosed;
    ih.tableId = 7;
    ih.rowCount = records;
    ih.datBodyBytes = body.size();
    Store(Base() + ".dat", Header(dh) + body);
    Store(Base() + ".idx",
          Header(ih) + index + UnitCrcs(index, kPageBytes) + UnitCrcs(body, kChunkBytes));
}

void WriteRaw(const uint8_t* data, size_t size) {
    size_t split = size < 2 ? 0 : std::min<size_t>(data[0] | data[1] << 8, size - 2);
    const char* p = reinterpret_cast<const char*>(data) + std::min<size_t>(size, 2);
    Store(Base() + ".dat", std::string(p, split));
    Store(Base() + ".idx", std::string(p + split, size - std::min<size_t>(size, 2) - split));
}

void Check(const kzvol::FsTreeRow& row) {
    if (row.name.size() > kMaxNameBytes)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    if (data[0] & 1)
        WriteRaw(data + 1, size - 1);
    else
        WriteSealed(data + 1, size - 1);
    kzvol::UnixFsTreeReader reader;
    std::string error;
    if (!reader.Open(Base(), &error))
        return 0;
    std::vector<std::string> names;
    std::vector<uint64_t> inodes = {0, 2};
    reader.ForEachRow(
        [&](const kzvol::FsTreeRow& row) {
            Check(row);
            if (names.size() < 16) {
                names.push_back(row.name);
                inodes.push_back(row.inode);
            }
            return true;
        },
        &error);
    kzvol::FsTreeRow row;
    bool found = false;
    reader.Root(&row, &found, &error);
    std::string path;
    for (const std::string& name : names) {
        path += "/" + name;
        if (reader.Resolve(path, &row, &found, &error) && found)
            Check(row);
    }
    for (uint64_t inode : inodes) {
        std::vector<kzvol::FsTreeRow> children;
        if (reader.Children(inode, &children, &error))
            for (const auto& child : children)
                Check(child);
    }
    return 0;
}
