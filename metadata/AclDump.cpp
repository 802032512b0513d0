// KZVolumeUnix::DumpACLInfo: appends a file's POSIX ACL to the caller's ACL file
// (each distinct ACL once while cached) and lists where it went, in inode order.
// A failed call leaves the state untouched and the file where it was.
#include "metadata/AclDump.h"

#include <acl/libacl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>
#include <type_traits>

#include "host/EvDebug.h"
#include "volume/KZVolume.h"

acl_cache_entry acllist[KZ_ACL_CACHE_ENTRIES];
int acl_in_memory = 0;
unsigned long long fileoffset = 0;
acl_node* first = nullptr;

namespace {

const char kContext[] = "KZVolumeUnix::DumpACLInfo:";

EvDebug g_log;

struct AclFree {
    void operator()(void* p) const { ::acl_free(p); }
};
using UniqueAcl = std::unique_ptr<std::remove_pointer_t<acl_t>, AclFree>;

// The cache entry equal to `acl`, or -1.
int FindCached(acl_t acl) {
    for (int i = 0; i < acl_in_memory; ++i) {
        if (::acl_cmp(acllist[i].acl, acl) == 0)
            return i;
    }
    return -1;
}

void FlushCache() {
    for (int i = 0; i < acl_in_memory; ++i) {
        ::acl_free(acllist[i].acl);
        acllist[i].acl = nullptr;
    }
    acl_in_memory = 0;
}

// Inserts before the first node with a greater inode, so equal inodes keep the
// order of the calls.
void InsertByInode(acl_node* node) {
    acl_node** link = &first;
    while (*link && (*link)->info->inode <= node->info->inode)
        link = &(*link)->next;
    node->next = *link;
    *link = node;
}

// Writes the external form of `acl` (`size` bytes) at the file's position with
// one write. On failure the file is cut back to where it was, so that it holds
// exactly the bytes fileoffset counts.
bool AppendAcl(acl_t acl, ssize_t size, int fd, const char* path) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer) {
        g_log.Error(kContext, "failed to allocate memory for aclbuf filename=%s errno=%d \n", path,
                    ENOMEM);
        return false;
    }
    if (::acl_copy_ext(buffer.get(), acl, size) == -1) {
        g_log.Error(kContext, "failed to copy acl to userbuffer for filename=%s errno=%d \n", path,
                    errno);
        return false;
    }
    const off64_t start = ::lseek64(fd, 0, SEEK_CUR);
    if (::write(fd, buffer.get(), size) == size)
        return true;
    const int err = errno;
    g_log.Error(kContext, "failed to write aclbuf to file for filename=%s errno=%d \n", path, err);
    if (start < 0 || ::ftruncate64(fd, start) != 0 || ::lseek64(fd, start, SEEK_SET) != start)
        g_log.Error(kContext, "failed to put the acl file back to offset=%llu errno=%d \n",
                    fileoffset, errno);
    return false;
}

}  // namespace

namespace kzvol {

void ResetAclDumpState() {
    FlushCache();
    while (first) {
        acl_node* next = first->next;
        delete first->info;
        delete first;
        first = next;
    }
    fileoffset = 0;
}

}  // namespace kzvol

bool KZVolumeUnix::DumpACLInfo(char* path, unsigned long long inode, int aclType, int* aclFile,
                               unsigned int* aclCount) {
    if (!path || !aclFile || !aclCount) {
        g_log.Error(kContext, "invalid file name or acl file parameter \n");
        return false;
    }
    UniqueAcl acl(::acl_get_file(path, static_cast<acl_type_t>(aclType)));
    if (!acl) {
        g_log.Debug(kContext, "failed to get acl for file=%s errno=%d\n", path, errno);
        return false;
    }
    if (m_bExtraMetadataLog)
        g_log.Debug(kContext, "Got acl for file=%s\n", path);
    const ssize_t size = ::acl_size(acl.get());
    if (size <= 0) {
        g_log.Error(kContext, "failed to copy acl to userbuffer for filename=%s errno=%d \n", path,
                    errno);
        return false;
    }
    const int hit = FindCached(acl.get());
    if (hit >= 0)
        g_log.Debug(kContext, " found matching acl already in memory for file=%s\n", path);
    // The record is allocated before anything is written, so that no failure after
    // the write can leave uncounted bytes in the file.
    std::unique_ptr<acl_info> info(new (std::nothrow) acl_info{inode, 0, 0});
    std::unique_ptr<acl_node> node(new (std::nothrow) acl_node{nullptr, nullptr});
    if (!info || !node) {
        g_log.Error(kContext, "failed to allocate memory for acl_info filename=%s errno=%d \n",
                    path, ENOMEM);
        return false;
    }
    info->size = static_cast<unsigned int>(size);
    if (hit >= 0) {
        info->offset = acllist[hit].offset;
    } else {
        if (!AppendAcl(acl.get(), size, *aclFile, path))
            return false;
        info->offset = fileoffset;
        if (acl_in_memory == KZ_ACL_CACHE_ENTRIES)
            FlushCache();
        acllist[acl_in_memory++] = acl_cache_entry{acl.release(), fileoffset};
        fileoffset += static_cast<unsigned long long>(size);
    }
    node->info = info.release();
    InsertByInode(node.release());
    ++*aclCount;
    return true;
}
