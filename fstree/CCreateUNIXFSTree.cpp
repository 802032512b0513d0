// The file-index table writer: rows go straight to TABLE.dat through a
// checksumming buffer; their index records go to an external sorter, which
// Close drains into TABLE.idx before both headers are marked closed.
#include "host/CCreateUNIXFSTree.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "fstree/FsTreeFormat.h"
#include "fstree/FsTreeIo.h"
#include "fstree/FsTreeSort.h"
#include "host/AtomicFile.h"
#include "host/Env.h"
#include "host/Handles.h"

using namespace kzvol::fstree;

namespace {

constexpr size_t kDefaultSortMemory = 64u << 20;
constexpr size_t kRowBuffer = 1u << 20;

uint64_t NewTableId() {
    std::random_device rd;
    return (uint64_t{rd()} << 32) ^ rd() ^ static_cast<uint64_t>(::getpid());
}

int CreateFile(const std::string& path, kzvol::UniqueFd* fd) {
    fd->reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return *fd ? 0 : errno;
}

// Writes a closing header over the open one and waits until the file is on disk.
int SealHeader(int fd, const unsigned char* header) {
    if (!PWriteAll(fd, header, kHeaderBytes, 0) || !kzvol::CurrentEnv()->SyncFile(fd))
        return errno;
    return 0;
}

// A table between Open and Close.
struct Table {
    std::string datPath, idxPath;
    kzvol::UniqueFd dat, idx;
    uint64_t id = 0, rows = 0;
    std::optional<ChecksummedWriter> body;
    std::optional<RecordSorter> sorter;
    bool datCreated = false, idxCreated = false;  // only what we created is removed
    int failed = 0;                               // first I/O error
};

}  // namespace

struct CCreateUNIXFSTree::Impl {
    long long* handle = nullptr;
    size_t sortMemory = kDefaultSortMemory;
    std::optional<Table> table;  // empty when no table is open

    int OpenTable(const std::string& base);
    int AddRow(const RowHead& row, const char* name);
    int Finish();
    void Dispose();
};

int CCreateUNIXFSTree::Impl::OpenTable(const std::string& base) {
    table.emplace();
    Table& t = *table;
    t.datPath = base + ".dat";
    t.idxPath = base + ".idx";
    t.id = NewTableId();
    int rc = CreateFile(t.datPath, &t.dat);
    t.datCreated = rc == 0;
    if (rc == 0) {
        rc = CreateFile(t.idxPath, &t.idx);
        t.idxCreated = rc == 0;
    }
    unsigned char header[kHeaderBytes];
    if (rc == 0) {
        DatHeader dh;
        dh.tableId = t.id;
        EncodeHeader(dh, header);
        rc = WriteAll(t.dat.get(), header, sizeof header) ? 0 : errno;
    }
    if (rc == 0) {
        IdxHeader ih;
        ih.tableId = t.id;
        EncodeHeader(ih, header);
        rc = WriteAll(t.idx.get(), header, sizeof header) ? 0 : errno;
    }
    if (rc != 0) {
        Dispose();
        return rc;
    }
    t.body.emplace(t.dat.get(), kChunkBytes, kRowBuffer);
    t.body->StartWriteback();
    t.sorter.emplace(kzvol::DirectoryOf(base), sortMemory);
    return 0;
}

// Encodes the row straight into the body's buffer: the name is copied once.
int CCreateUNIXFSTree::Impl::AddRow(const RowHead& row, const char* name) {
    Table& t = *table;
    if (t.failed)
        return t.failed;
    IndexRecord rec;
    rec.parent = row.parent;
    rec.hash = NameHash(name, row.nameLength);
    rec.nameLength = row.nameLength;
    rec.type = row.type;
    rec.inode = row.inode;
    rec.rowOffset = t.body->bytes();
    const size_t bytes = kRowFixedBytes + row.nameLength;
    unsigned char* out = t.body->Reserve(bytes);
    if (!out || !t.sorter->Add(rec)) {
        t.failed = errno ? errno : EIO;
        return t.failed;
    }
    EncodeRowFixed(row, out);
    std::memcpy(out + kRowFixedBytes, name, row.nameLength);
    t.body->Commit(bytes);
    ++t.rows;
    return 0;
}

int CCreateUNIXFSTree::Impl::Finish() {
    Table& t = *table;
    if (t.failed)
        return t.failed;
    if (!t.body->Finish())
        return errno;
    // Both files go to disk as they are written (the rows while the walk still
    // runs), so the fdatasyncs below find little left to wait for.
    ChecksummedWriter records(t.idx.get(), kPageBytes, kRowBuffer);
    records.StartWriteback();
    if (!t.sorter->Drain(&records) || !records.Finish() ||
        !WriteWords(t.idx.get(), records.crcs()) || !WriteWords(t.idx.get(), t.body->crcs()))
        return errno ? errno : EIO;
    if (records.bytes() != t.rows * kRecordBytes)
        return EIO;

    // The index first, the rows' header last: a table counts as closed only when
    // both are, so a crash anywhere before this point leaves it recognisably open.
    unsigned char header[kHeaderBytes];
    IdxHeader ih;
    ih.state = kStateClosed;
    ih.tableId = t.id;
    ih.rowCount = t.rows;
    ih.datBodyBytes = t.body->bytes();
    EncodeHeader(ih, header);
    if (int rc = SealHeader(t.idx.get(), header))
        return rc;
    DatHeader dh;
    dh.state = kStateClosed;
    dh.tableId = t.id;
    dh.rowCount = t.rows;
    dh.bodyBytes = t.body->bytes();
    EncodeHeader(dh, header);
    if (int rc = SealHeader(t.dat.get(), header))
        return rc;
    if (::close(t.idx.release()) != 0 || ::close(t.dat.release()) != 0)
        return errno;
    return 0;
}

void CCreateUNIXFSTree::Impl::Dispose() {
    if (!table)
        return;
    table->dat.reset();
    table->idx.reset();
    if (table->datCreated)
        ::unlink(table->datPath.c_str());
    if (table->idxCreated)
        ::unlink(table->idxPath.c_str());
    table.reset();
}

CCreateUNIXFSTree::CCreateUNIXFSTree() : impl_(new Impl) {}

CCreateUNIXFSTree::~CCreateUNIXFSTree() {
    impl_->Dispose();
}

void CCreateUNIXFSTree::SetSortMemory(size_t bytes) {
    impl_->sortMemory = bytes;
}

int CCreateUNIXFSTree::Init(long long* handle) {
    if (!handle)
        return EINVAL;
    if (impl_->table)
        return EBUSY;
    impl_->handle = handle;
    return 0;
}

int CCreateUNIXFSTree::Open(const char* tablePath) {
    if (!impl_->handle || !tablePath || !*tablePath)
        return EINVAL;
    if (impl_->table)
        return EBUSY;
    return impl_->OpenTable(tablePath);
}

int CCreateUNIXFSTree::Add(unsigned long long parentInode, unsigned long long inode,
                           unsigned long long size, unsigned int mtime, unsigned char type,
                           const char* name) {
    if (!impl_->table)
        return EBADF;
    if (!name)
        return EINVAL;
    size_t length = std::strlen(name);
    if (length > kMaxNameBytes)
        return ENAMETOOLONG;
    RowHead row;
    row.parent = parentInode;
    row.inode = inode;
    row.size = size;
    row.mtime = mtime;
    row.type = type;
    row.nameLength = static_cast<uint16_t>(length);
    return impl_->AddRow(row, name);
}

int CCreateUNIXFSTree::Close() {
    if (!impl_->table)
        return EBADF;
    errno = 0;
    int rc = impl_->Finish();
    if (rc != 0)
        impl_->Dispose();
    else
        impl_->table.reset();
    return rc;
}
