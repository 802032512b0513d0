// Reading the file-index table: header checks, checksum-verified index pages and
// row chunks (a few of each cached), binary search over the sorted index.
#include "fstree/UnixFsTreeReader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "fstree/Crc32c.h"
#include "fstree/FsTreeIo.h"
#include "host/Handles.h"

namespace kzvol {

using namespace fstree;

namespace {

// Verified units kept per region: 1 MiB of index pages keeps the upper levels of
// every binary search in memory; 1 MiB of row chunks serves a directory listing.
constexpr size_t kCachedPages = 256, kCachedChunks = 64;

// A checksummed stretch of one file: `bytes` bytes from `offset`, cut into units
// of `unitBytes` whose CRC-32C values are stored at `crcOffset` of `crcFd`.
struct Region {
    int fd = -1;
    uint64_t offset = 0, bytes = 0;
    uint32_t unitBytes = 1;
    int crcFd = -1;
    uint64_t crcOffset = 0;
    const char* name = "";  // for messages: "index page", "row chunk"
};

using Unit = std::vector<unsigned char>;

// Verified units of one region; the oldest loaded is dropped first.
class UnitCache {
  public:
    UnitCache(Region region, size_t capacity) : region_(region), capacity_(capacity) {}

    const Unit* Get(uint64_t index, std::string* error) {
        auto hit = cache_.find(index);
        if (hit != cache_.end())
            return &hit->second;
        Unit unit;
        if (!Load(index, &unit, error))
            return nullptr;
        if (order_.size() == capacity_) {
            cache_.erase(order_.front());
            order_.pop_front();
        }
        order_.push_back(index);
        return &cache_.emplace(index, std::move(unit)).first->second;
    }

    bool Load(uint64_t index, Unit* unit, std::string* error) const {
        uint64_t start = index * region_.unitBytes;
        if (start >= region_.bytes)
            return Damaged(index, "lies beyond the end", error);
        unit->resize(
            static_cast<size_t>(std::min<uint64_t>(region_.unitBytes, region_.bytes - start)));
        unsigned char stored[4];
        if (!PReadAll(region_.fd, unit->data(), unit->size(), region_.offset + start) ||
            !PReadAll(region_.crcFd, stored, 4, region_.crcOffset + 4 * index))
            return Damaged(index, std::string("cannot be read: ") + std::strerror(errno), error);
        if (Get32(stored) != Crc32c(0, unit->data(), unit->size()))
            return Damaged(index, "fails its checksum", error);
        return true;
    }

    const Region& region() const { return region_; }

  private:
    bool Damaged(uint64_t index, const std::string& why, std::string* error) const {
        *error = std::string("the table is damaged: ") + region_.name + " " +
                 std::to_string(index) + " " + why;
        return false;
    }

    Region region_;
    size_t capacity_;
    std::unordered_map<uint64_t, Unit> cache_;
    std::deque<uint64_t> order_;
};

bool ReadHeader(int fd, const char* what, unsigned char* header, uint64_t* size,
                std::string* error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *error = std::string("cannot stat the ") + what + " file: " + std::strerror(errno);
        return false;
    }
    *size = static_cast<uint64_t>(st.st_size);
    if (*size < kHeaderBytes || !PReadAll(fd, header, kHeaderBytes, 0)) {
        *error = std::string("the ") + what + " file is too short to be a file-index table";
        return false;
    }
    return true;
}

bool Fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

// Splits a path into its non-empty components.
std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos)
            slash = path.size();
        if (slash > at)
            parts.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
    return parts;
}

}  // namespace

struct UnixFsTreeReader::Impl {
    UniqueFd dat, idx;
    uint64_t rows = 0, body = 0;
    std::unique_ptr<UnitCache> pages, chunks;

    bool OpenFiles(const std::string& base, std::string* error);
    bool Record(uint64_t i, IndexRecord* rec, std::string* error);
    bool ReadBody(uint64_t offset, size_t size, unsigned char* out, std::string* error);
    bool RowOf(const IndexRecord& rec, Row* row, std::string* error);
    bool LowerBound(uint64_t parent, uint32_t hash, uint64_t* at, std::string* error);
    bool FindChild(uint64_t parent, const std::string& name, Row* row, bool* found,
                   std::string* error);
};

bool UnixFsTreeReader::Impl::OpenFiles(const std::string& base, std::string* error) {
    for (auto [fd, suffix] : {std::pair{&dat, ".dat"}, std::pair{&idx, ".idx"}}) {
        std::string path = base + suffix;
        fd->reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!*fd) {
            *error = "cannot open " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    unsigned char raw[kHeaderBytes];
    uint64_t datSize = 0, idxSize = 0;
    DatHeader dh;
    IdxHeader ih;
    if (!ReadHeader(dat.get(), ".dat", raw, &datSize, error) || !DecodeHeader(raw, &dh, error) ||
        !ReadHeader(idx.get(), ".idx", raw, &idxSize, error) || !DecodeHeader(raw, &ih, error))
        return false;
    if (dh.tableId != ih.tableId) {
        *error = "the .dat and .idx files belong to different tables";
        return false;
    }
    // Every row takes at least kRowFixedBytes, which also keeps the sizes below
    // from overflowing whatever the headers claim.
    bool sound = dh.rowCount == ih.rowCount && dh.bodyBytes == ih.datBodyBytes &&
                 datSize - kHeaderBytes == dh.bodyBytes &&
                 dh.rowCount <= dh.bodyBytes / kRowFixedBytes;
    uint64_t recordBytes = dh.rowCount * kRecordBytes;
    uint64_t pageCount = CeilDiv(dh.rowCount, kRecordsPerPage);
    uint64_t chunkCount = CeilDiv(dh.bodyBytes, kChunkBytes);
    if (!sound || idxSize != kHeaderBytes + recordBytes + 4 * (pageCount + chunkCount)) {
        *error = "the table is damaged: its files do not have the sizes their headers give";
        return false;
    }
    rows = dh.rowCount;
    body = dh.bodyBytes;
    Region pr;  // the index records, checked per page
    pr.fd = pr.crcFd = idx.get();
    pr.offset = kHeaderBytes;
    pr.bytes = recordBytes;
    pr.unitBytes = static_cast<uint32_t>(kPageBytes);
    pr.crcOffset = kHeaderBytes + recordBytes;
    pr.name = "index page";
    Region cr;  // the rows, checked per chunk
    cr.fd = dat.get();
    cr.crcFd = idx.get();
    cr.offset = kHeaderBytes;
    cr.bytes = body;
    cr.unitBytes = kChunkBytes;
    cr.crcOffset = pr.crcOffset + 4 * pageCount;
    cr.name = "row chunk";
    pages = std::make_unique<UnitCache>(pr, kCachedPages);
    chunks = std::make_unique<UnitCache>(cr, kCachedChunks);
    return true;
}

bool UnixFsTreeReader::Impl::Record(uint64_t i, IndexRecord* rec, std::string* error) {
    const Unit* page = pages->Get(i / kRecordsPerPage, error);
    if (!page)
        return false;
    size_t at = static_cast<size_t>(i % kRecordsPerPage) * kRecordBytes;
    if (at + kRecordBytes > page->size()) {
        *error = "the table is damaged: index record " + std::to_string(i) + " is cut short";
        return false;
    }
    *rec = DecodeRecord(page->data() + at);
    return true;
}

bool UnixFsTreeReader::Impl::ReadBody(uint64_t offset, size_t size, unsigned char* out,
                                      std::string* error) {
    if (offset > body || size > body - offset) {
        *error = "the table is damaged: a row reaches past the end of the rows";
        return false;
    }
    while (size > 0) {
        const Unit* chunk = chunks->Get(offset / kChunkBytes, error);
        if (!chunk)
            return false;
        size_t at = static_cast<size_t>(offset % kChunkBytes);
        size_t take = std::min(size, chunk->size() - at);
        std::memcpy(out, chunk->data() + at, take);
        out += take;
        offset += take;
        size -= take;
    }
    return true;
}

bool UnixFsTreeReader::Impl::RowOf(const IndexRecord& rec, Row* row, std::string* error) {
    unsigned char fixed[kRowFixedBytes];
    if (!ReadBody(rec.rowOffset, sizeof fixed, fixed, error))
        return false;
    uint16_t length = DecodeRowFixed(fixed, row);
    if (length > kMaxNameBytes)
        return Fail(error, "the table is damaged: a row has a bad name length");
    row->name.resize(length);
    if (!ReadBody(rec.rowOffset + sizeof fixed, length,
                  reinterpret_cast<unsigned char*>(row->name.data()), error))
        return false;
    if (row->parent != rec.parent || row->inode != rec.inode || row->type != rec.type ||
        length != rec.nameLength || NameHash(row->name.data(), length) != rec.hash) {
        *error = "the table is damaged: the index does not match the rows";
        return false;
    }
    return true;
}

bool UnixFsTreeReader::Impl::LowerBound(uint64_t parent, uint32_t hash, uint64_t* at,
                                        std::string* error) {
    uint64_t lo = 0, hi = rows;
    while (lo < hi) {
        uint64_t mid = lo + (hi - lo) / 2;
        IndexRecord rec;
        if (!Record(mid, &rec, error))
            return false;
        if (rec.parent < parent || (rec.parent == parent && rec.hash < hash))
            lo = mid + 1;
        else
            hi = mid;
    }
    *at = lo;
    return true;
}

bool UnixFsTreeReader::Impl::FindChild(uint64_t parent, const std::string& name, Row* row,
                                       bool* found, std::string* error) {
    *found = false;
    uint32_t hash = NameHash(name.data(), name.size());
    uint64_t i = 0;
    if (!LowerBound(parent, hash, &i, error))
        return false;
    // Records of equal parent and hash follow in the order their rows were added.
    for (; i < rows; ++i) {
        IndexRecord rec;
        if (!Record(i, &rec, error))
            return false;
        if (rec.parent != parent || rec.hash != hash)
            break;
        if (rec.nameLength != name.size())
            continue;
        if (!RowOf(rec, row, error))
            return false;
        if (row->name == name) {
            *found = true;
            return true;
        }
    }
    return true;
}

UnixFsTreeReader::UnixFsTreeReader() : impl_(new Impl) {}
UnixFsTreeReader::~UnixFsTreeReader() = default;

bool UnixFsTreeReader::Open(const std::string& tablePath, std::string* error) {
    impl_ = std::make_unique<Impl>();
    if (impl_->OpenFiles(tablePath, error))
        return true;
    impl_ = std::make_unique<Impl>();
    return false;
}

uint64_t UnixFsTreeReader::RowCount() const {
    return impl_->rows;
}

bool UnixFsTreeReader::ForEachRow(const std::function<bool(const FsTreeRow&)>& visit,
                                  std::string* error) {
    if (!impl_->chunks)
        return Fail(error, "no table is open");
    // Walks the chunks in order, each loaded (and verified) once.
    Unit chunk;
    uint64_t chunkIndex = 0;
    size_t pos = 0;
    auto take = [&](unsigned char* out, size_t size) {
        while (size > 0) {
            if (pos == chunk.size()) {
                if (!impl_->chunks->Load(chunkIndex++, &chunk, error))
                    return false;
                pos = 0;
            }
            size_t n = std::min(size, chunk.size() - pos);
            std::memcpy(out, chunk.data() + pos, n);
            pos += n;
            out += n;
            size -= n;
        }
        return true;
    };
    uint64_t offset = 0;
    Row row;
    for (uint64_t i = 0; i < impl_->rows; ++i) {
        unsigned char fixed[kRowFixedBytes];
        if (impl_->body - offset < sizeof fixed)
            return Fail(error, "the table is damaged: fewer rows than its header counts");
        if (!take(fixed, sizeof fixed))
            return false;
        uint16_t length = DecodeRowFixed(fixed, &row);
        offset += sizeof fixed;
        row.name.resize(length);
        if (length > kMaxNameBytes || impl_->body - offset < length)
            return Fail(
                error, "the table is damaged: row " + std::to_string(i) + " has a bad name length");
        if (!take(reinterpret_cast<unsigned char*>(row.name.data()), length))
            return false;
        offset += length;
        if (!visit(row))
            return true;
    }
    if (offset != impl_->body)
        return Fail(error, "the table is damaged: more row bytes than its header counts");
    return true;
}

bool UnixFsTreeReader::Root(FsTreeRow* row, bool* found, std::string* error) {
    *found = false;
    uint64_t i = 0;
    if (!impl_->pages)
        return Fail(error, "no table is open");
    if (!impl_->LowerBound(0, 0, &i, error))
        return false;
    // The root is the earliest-added row of parent 0.
    IndexRecord best;
    for (; i < impl_->rows; ++i) {
        IndexRecord rec;
        if (!impl_->Record(i, &rec, error))
            return false;
        if (rec.parent != 0)
            break;
        if (!*found || rec.rowOffset < best.rowOffset)
            best = rec;
        *found = true;
    }
    return !*found || impl_->RowOf(best, row, error);
}

bool UnixFsTreeReader::Children(uint64_t dirInode, std::vector<FsTreeRow>* rows,
                                std::string* error) {
    rows->clear();
    if (!impl_->pages)
        return Fail(error, "no table is open");
    uint64_t i = 0;
    if (!impl_->LowerBound(dirInode, 0, &i, error))
        return false;
    std::vector<IndexRecord> found;
    for (; i < impl_->rows; ++i) {
        IndexRecord rec;
        if (!impl_->Record(i, &rec, error))
            return false;
        if (rec.parent != dirInode)
            break;
        found.push_back(rec);
    }
    std::sort(found.begin(), found.end(),
              [](const IndexRecord& a, const IndexRecord& b) { return a.rowOffset < b.rowOffset; });
    rows->resize(found.size());
    for (size_t k = 0; k < found.size(); ++k)
        if (!impl_->RowOf(found[k], &(*rows)[k], error))
            return false;
    return true;
}

bool UnixFsTreeReader::Resolve(const std::string& path, FsTreeRow* row, bool* found,
                               std::string* error) {
    if (!Root(row, found, error))
        return false;
    if (!*found)
        return true;
    for (const std::string& name : Components(path)) {
        if (row->type != 1) {
            *found = false;
            return true;
        }
        uint64_t dir = row->inode;
        if (!impl_->FindChild(dir, name, row, found, error))
            return false;
        if (!*found)
            return true;
    }
    return true;
}

}  // namespace kzvol
