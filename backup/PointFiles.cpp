// Paths of a point through its index, inodes through the reader over the point.
#include "backup/PointFiles.h"

namespace kzvol::backup {
namespace {

// The directory part of a path and its last name ("/a/b" gives "/a" and "b").
void SplitPath(const std::string& path, std::string* dir, std::string* name) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const size_t slash = trimmed.rfind('/');
    *dir = slash == std::string::npos ? "/" : trimmed.substr(0, slash);
    *name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace

bool BackupTable(const Repository& repo, const std::string& id, std::string* table,
                 std::string* error) {
    Manifest m;
    if (!repo.Load(id, &m, error))
        return false;
    if (!m.indexed) {
        *error = "backup " + id + " has no file index (make backups with --index to browse them)";
        return false;
    }
    *table = repo.BackupDir(id) + "/" + kIndexTable;
    return true;
}

PointFiles::PointFiles(const Repository& repo) : repo_(repo), point_(repo) {}

PointFiles::~PointFiles() = default;

unsigned int PointFiles::ReadCallback(void* context, char* buffer, unsigned int size,
                                      unsigned long long offset) {
    auto* self = static_cast<PointFiles*>(context);
    std::string error;
    if (self->point_.Read(buffer, size, offset, &error))
        return size;
    self->readError_ = error;
    return 0;
}

bool PointFiles::Open(const std::string& id, std::string* error) {
    id_ = id;
    std::string table;
    if (!BackupTable(repo_, id, &table, error) || !point_.Open(id, error))
        return false;
    if (!table_.Open(table, error)) {
        *error = "the file index of backup " + id + " cannot be read: " + *error;
        return false;
    }
    fs_ = std::make_unique<ext3::InodeReader>(&PointFiles::ReadCallback, this);
    if (fs_->Open(error))
        return true;
    *error = "the file system of backup " + id + " cannot be read: " + FsError(*error);
    return false;
}

bool PointFiles::Find(const std::string& path, uint32_t* inode, std::string* error) {
    FsTreeRow row;
    bool found = false;
    if (!table_.Resolve(path, &row, &found, error))
        return false;
    if (found) {
        *inode = static_cast<uint32_t>(row.inode);
        return true;
    }
    std::string dir, name;
    SplitPath(path, &dir, &name);
    if (!table_.Resolve(dir, &row, &found, error))
        return false;
    ext3::FileInode parent;
    *inode = 0;
    if (found && row.type == 1 &&
        (!fs_->ReadInode(static_cast<uint32_t>(row.inode), &parent, error) ||
         !fs_->LookUp(parent, name, inode, error))) {
        *error = FsError(*error);
        return false;
    }
    if (*inode != 0)
        return true;
    *error = path + " is not in the file index of backup " + id_;
    return false;
}

std::string PointFiles::FsError(const std::string& error) const {
    return readError_.empty() ? error : readError_;
}

}  // namespace kzvol::backup
