// The serving process's side of one filter device: I/O, written extents and
// copy-on-write.
#include "emulator/ServedVolume.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kzvol::emulator {
namespace {

// The map file: this head, then one little-endian 64-bit chunk number per copied
// chunk; the k-th number names the chunk held at k * chunk bytes of the data file.
constexpr size_t kMapHead = 64;

int Errno() {
    return errno ? errno : EIO;
}

// Reads or writes exactly `n` bytes at `at`.
int Exactly(bool write, int fd, char* p, size_t n, uint64_t at) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = write ? ::pwrite(fd, p + done, n - done, static_cast<off_t>(at + done))
                          : ::pread(fd, p + done, n - done, static_cast<off_t>(at + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return Errno();
        if (r == 0)
            return EIO;
        done += static_cast<size_t>(r);
    }
    return 0;
}

// A sector-aligned buffer of at least `n` bytes for direct I/O, one per thread.
char* Bounce(size_t n) {
    struct Buffer {
        char* p = nullptr;
        size_t size = 0;
        ~Buffer() { std::free(p); }
    };
    thread_local Buffer b;
    if (b.size < n) {
        std::free(b.p);
        b.p = nullptr;
        b.size = 0;
        void* p = nullptr;
        if (::posix_memalign(&p, 4096, n) != 0)
            return nullptr;
        b.p = static_cast<char*>(p);
        b.size = n;
    }
    return b.p;
}

constexpr char kMapMagic[] = "kzvol-cow 1\n";

// A regular file (never a link) whose first bytes are `magic`.
bool StartsWith(const std::string& path, const char* magic) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::string head(std::strlen(magic), '\0');
    return ::pread(fd.get(), head.data(), head.size(), 0) == ssize_t(head.size()) && head == magic;
}

// The files of an earlier snapshot of this driver (its map file says so) go; the
// library releases a snapshot without removing them. Anything else stays, and the
// exclusive creation that follows refuses it.
void RemoveLeftover(const std::string& mapPath, const std::string& dataPath) {
    if (!StartsWith(mapPath, kMapMagic))
        return;
    struct stat st;
    if (::lstat(dataPath.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        ::unlink(dataPath.c_str());
    ::unlink(mapPath.c_str());
}

int CreateExclusive(const std::string& path, UniqueFd* fd) {
    fd->reset(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd->valid() ? 0 : Errno();
}

}  // namespace

int ServedVolume::Open(const std::string& path, uint32_t extentBytes,
                       std::unique_ptr<ServedVolume>* out) {
    std::unique_ptr<ServedVolume> v(new ServedVolume());
    v->buffered_.reset(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!v->buffered_)
        return Errno();
    struct stat st;
    if (::fstat(v->buffered_.get(), &st) != 0)
        return Errno();
    if (!S_ISBLK(st.st_mode))
        return ENOTBLK;
    int sector = 512;
    if (::ioctl(v->buffered_.get(), BLKGETSIZE64, &v->size_) != 0 ||
        ::ioctl(v->buffered_.get(), BLKSSZGET, &sector) != 0)
        return Errno();
    v->sector_ = sector > 0 ? static_cast<uint32_t>(sector) : 512;
    // Direct where the request allows it, so the volume's pages are not cached a
    // third time; buffered for the rest (the kernel keeps the two coherent).
    v->direct_.reset(::open(path.c_str(), O_RDWR | O_DIRECT | O_CLOEXEC));
    v->extent_ = extentBytes ? extentBytes : 1;
    v->written_.assign(static_cast<size_t>((v->size_ / v->extent_ + 8) / 8), 0);
    *out = std::move(v);
    return 0;
}

int ServedVolume::Transfer(bool write, char* buffer, size_t length, uint64_t offset) {
    if (offset > size_ || length > size_ - offset)
        return EINVAL;
    const bool aligned = direct_ && offset % sector_ == 0 && length % sector_ == 0;
    char* bounce = aligned ? Bounce(length) : nullptr;
    if (!bounce)
        return Exactly(write, buffered_.get(), buffer, length, offset);
    if (write)
        std::memcpy(bounce, buffer, length);
    int err = Exactly(write, direct_.get(), bounce, length, offset);
    if (!err && !write)
        std::memcpy(buffer, bounce, length);
    return err;
}

int ServedVolume::Read(char* buffer, size_t length, uint64_t offset) {
    return Transfer(false, buffer, length, offset);
}

void ServedVolume::NoteWritten(uint64_t offset, size_t length) {
    if (length == 0)
        return;
    std::lock_guard<std::mutex> lock(writtenMu_);
    for (uint64_t e = offset / extent_; e <= (offset + length - 1) / extent_; ++e)
        if (e / 8 < written_.size())
            written_[e / 8] |= static_cast<uint8_t>(1u << (e % 8));
}

std::string ServedVolume::TakeWritten() {
    std::lock_guard<std::mutex> lock(writtenMu_);
    std::string bits(written_.begin(), written_.end());
    std::fill(written_.begin(), written_.end(), 0);
    return bits;
}

bool ServedVolume::AllCopied(uint64_t offset, size_t length) const {
    if (length == 0)
        return true;
    for (uint64_t c = offset / cow_->chunk; c <= (offset + length - 1) / cow_->chunk; ++c)
        if (!cow_->slot.count(c))
            return false;
    return true;
}

// Copies the old content of every chunk of [offset, offset + length) not copied
// yet: data first, then its map record, so the map never names a chunk the data
// file does not hold. Called with the copy-on-write lock held alone.
int ServedVolume::CopyChunks(uint64_t offset, size_t length) {
    const uint32_t chunk = cow_->chunk;
    for (uint64_t c = offset / chunk; c <= (offset + length - 1) / chunk; ++c) {
        if (cow_->slot.count(c))
            continue;
        const uint64_t at = c * chunk;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, size_ - at));
        std::vector<char> old(chunk, 0);
        if (int err = Transfer(false, old.data(), n, at))
            return err;
        const uint64_t slot = cow_->slot.size();
        if (int err = Exactly(true, cow_->data.get(), old.data(), chunk, slot * chunk))
            return err;
        char record[8];
        for (int i = 0; i < 8; ++i)
            record[i] = static_cast<char>(c >> (8 * i));
        if (int err = Exactly(true, cow_->map.get(), record, 8, kMapHead + slot * 8))
            return err;
        cow_->slot.emplace(c, slot);
    }
    return 0;
}

// The extents are noted under the copy-on-write lock, before the data moves: a
// bitmap request that took them is followed by a snapshot start, which waits for
// the lock, so the write is then in the snapshot; one that did not leaves them
// for the next request.
int ServedVolume::Write(const char* buffer, size_t length, uint64_t offset) {
    if (offset > size_ || length > size_ - offset)
        return EINVAL;
    char* data = const_cast<char*>(buffer);  // only read from
    {
        std::shared_lock<std::shared_mutex> shared(cowMu_);
        if (!cow_ || AllCopied(offset, length)) {
            NoteWritten(offset, length);
            return Transfer(true, data, length, offset);
        }
    }
    std::unique_lock<std::shared_mutex> alone(cowMu_);
    NoteWritten(offset, length);
    if (cow_) {
        if (int err = CopyChunks(offset, length))
            return err;
    }
    return Transfer(true, data, length, offset);
}

int ServedVolume::ReadSnapshot(char* buffer, size_t length, uint64_t offset) {
    std::shared_lock<std::shared_mutex> shared(cowMu_);
    if (!cow_)
        return EIO;  // the snapshot has gone
    if (offset > size_ || length > size_ - offset)
        return EINVAL;
    const uint32_t chunk = cow_->chunk;
    while (length > 0) {
        const uint64_t c = offset / chunk, inner = offset % chunk;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, chunk - inner));
        auto found = cow_->slot.find(c);
        int err = found == cow_->slot.end()
                      ? Transfer(false, buffer, n, offset)
                      : Exactly(false, cow_->data.get(), buffer, n, found->second * chunk + inner);
        if (err)
            return err;
        buffer += n;
        offset += n;
        length -= n;
    }
    return 0;
}

int ServedVolume::Flush() {
    return ::fsync(buffered_.get()) == 0 ? 0 : Errno();
}

int ServedVolume::StartSnapshot(uint32_t chunkBytes, const std::string& mapPath,
                                const std::string& dataPath) {
    if (chunkBytes < 512 || chunkBytes > (64u << 20) || (chunkBytes & (chunkBytes - 1)))
        return EINVAL;
    if (snapshot_active())
        return EBUSY;
    RemoveLeftover(mapPath, dataPath);
    auto cow = std::make_unique<Cow>();
    cow->chunk = chunkBytes;
    if (int err = CreateExclusive(mapPath, &cow->map))
        return err;
    if (int err = CreateExclusive(dataPath, &cow->data)) {
        ::unlink(mapPath.c_str());
        return err;
    }
    std::string head = kMapMagic + std::string("chunk ") + std::to_string(chunkBytes) + "\nsize " +
                       std::to_string(size_) + "\n";
    head.resize(kMapHead, '\n');
    if (int err = Exactly(true, cow->map.get(), head.data(), head.size(), 0)) {
        ::unlink(mapPath.c_str());
        ::unlink(dataPath.c_str());
        return err;
    }
    std::unique_lock<std::shared_mutex> alone(cowMu_);
    if (cow_) {
        ::unlink(mapPath.c_str());
        ::unlink(dataPath.c_str());
        return EBUSY;
    }
    cow_ = std::move(cow);
    return 0;
}

void ServedVolume::EndSnapshot() {
    std::unique_lock<std::shared_mutex> alone(cowMu_);
    cow_.reset();
}

bool ServedVolume::snapshot_active() {
    std::shared_lock<std::shared_mutex> shared(cowMu_);
    return cow_ != nullptr;
}

}  // namespace kzvol::emulator
