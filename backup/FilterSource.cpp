// The backup source over a filter device, through the library's volume objects.
#include "backup/FilterSource.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "backup/IndexImage.h"
#include "backup/Manifest.h"
#include "filter/DriverChannel.h"
#include "filter/QnbfLookup.h"
#include "filter/SnapFiles.h"
#include "host/Handles.h"
#include "volume/KZVolume.h"

namespace kzvol::backup {
namespace {

std::string LastComponent(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Lookup(const std::string& name, qn_getinfo_arg* info) {
    std::string key = name;
    return get_qnbf_dev_info(key.data(), info, QN_LOOKUP_BY_NAME);
}

// The UUID of an ext2/3/4 file system on `fd` ("" when it holds none), as blkid
// prints it.
bool ReadFsUuid(int fd, std::string* uuid) {
    unsigned char sb[1024];
    uuid->clear();
    ssize_t n = ::pread(fd, sb, sizeof sb, 1024);
    if (n < 0)
        return false;
    if (n < static_cast<ssize_t>(sizeof sb) || sb[56] != 0x53 || sb[57] != 0xEF)
        return true;
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *uuid += '-';
        *uuid += kHex[sb[104 + i] >> 4];
        *uuid += kHex[sb[104 + i] & 15];
    }
    return true;
}

}  // namespace

bool ExtentSizeFits(uint64_t volumeBytes, uint64_t bitmapBytes, uint64_t extentBytes) {
    return extentBytes && (ExtentCount(volumeBytes, extentBytes) + 7) / 8 == bitmapBytes;
}

uint64_t ExtentSizeFromBitmap(uint64_t volumeBytes, uint64_t bitmapBytes) {
    uint64_t found = 0;
    for (uint64_t e = kMinExtentBytes; e <= kDriverMaxExtentBytes; e *= 2) {
        if (!ExtentSizeFits(volumeBytes, bitmapBytes, e))
            continue;
        if (found)
            return 0;
        found = e;
    }
    return found;
}

FilterSource::FilterSource(const std::string& node, std::string cowDir)
    : name_(LastComponent(node)), path_("/dev/qnbf/" + name_), cowDir_(std::move(cowDir)) {}

FilterSource::~FilterSource() = default;

bool FilterSource::Failed(const std::string& what, std::string* error) {
    std::string cause = tail_.Take();
    *error = what + (cause.empty() ? "" : " (" + cause + ")");
    return false;
}

bool FilterSource::Shape(VolumeShape* shape, std::string* error) {
    qn_getinfo_arg info;
    if (!Lookup(name_, &info))
        return Failed("no filter device " + path_ + " (see kzvol devices)", error);
    shape_.volumeBytes = info.size;
    shape_.bitmapBytes = info.incr_bmp_size > 0 ? static_cast<size_t>(info.incr_bmp_size) : 0;
    const bool knownFits = ExtentSizeFits(info.size, shape_.bitmapBytes, knownExtent_);
    if (userGivenExtent_ && !knownFits) {
        *error = path_ + " cannot have extents of " + std::to_string(knownExtent_) +
                 " bytes: its bitmap of " + std::to_string(shape_.bitmapBytes) + " bytes for " +
                 std::to_string(info.size) + " bytes does not fit them";
        return false;
    }
    shape_.extentBytes =
        knownFits ? knownExtent_ : ExtentSizeFromBitmap(info.size, shape_.bitmapBytes);
    if (!shape_.extentBytes) {
        *error = "cannot tell the extent size of " + path_ + " from its bitmap of " +
                 std::to_string(shape_.bitmapBytes) + " bytes for " + std::to_string(info.size) +
                 " bytes: several sizes fit (say which with --extent-size)";
        return false;
    }
    shape_.device = std::string(info.dev_name, strnlen(info.dev_name, sizeof info.dev_name));
    shape_.changesTracked = info.incr_bmp_valid != 0;
    shape_.sinceFullTracked = info.diff_bmp_valid != 0 && info.diff_bmp_size == info.incr_bmp_size;
    UniqueFd fd(QnbfOpen(path_, O_RDONLY | O_CLOEXEC));
    if (!fd || !ReadFsUuid(fd.get(), &shape_.fsUuid)) {
        *error = "cannot read the file system's UUID on " + path_ + ": " + std::strerror(errno);
        return false;
    }
    driver_ = std::make_unique<KZVolumeUnix>(kQnbfAdminNode);
    if (!driver_->Open())
        return Failed(std::string("cannot open ") + kQnbfAdminNode, error);
    if (!QnbfBindByName(*driver_, name_))
        return Failed("no filter device " + path_ + " (see kzvol devices)", error);
    *shape = shape_;
    return true;
}

bool FilterSource::ChangesSinceFull(std::vector<uint8_t>* bits, std::string* error) {
    bits->assign(shape_.bitmapBytes, 0);
    if (driver_->QNBFGetVolBitmap(KZV_BITMAP_DIFFERENTIAL, bits->data(), bits->size(), false))
        return true;
    return Failed("cannot read the differential bitmap of " + path_, error);
}

bool FilterSource::ActiveImage(std::string* image, std::string* error) {
    qn_getinfo_arg info;
    if (!Lookup(name_, &info))
        return Failed("no filter device " + path_, error);
    image->clear();
    if (info.snap_minor_cnt > 0)
        *image = std::string(kQnbfNodePrefix) + std::to_string(info.snap_minor[0]);
    return true;
}

bool FilterSource::TakeChanges(std::vector<uint8_t>* bits, std::string* error) {
    bits->assign(shape_.bitmapBytes, 0);
    if (driver_->QNBFGetAndClrVolBitmap(KZV_BITMAP_INCREMENTAL, bits->data(), bits->size(), false))
        return true;
    return Failed("cannot take the change bitmap of " + path_, error);
}

bool FilterSource::ReturnChanges(const std::vector<uint8_t>& bits, std::string* error) {
    std::vector<uint8_t> copy = bits;
    if (driver_->QNBFMergeVolBitmap(KZV_BITMAP_INCREMENTAL, copy.data(), copy.size()))
        return true;
    return Failed("cannot merge the change bitmap back into " + path_, error);
}

bool FilterSource::Freeze(std::string* record, std::string* error) {
    SetSnapPartition(cowDir_);
    snap_ = std::make_unique<KZVolumeUnix>(path_);
    if (!snap_->SWSnapSynchronize(path_, 0)) {
        snap_.reset();
        return Failed("cannot snapshot " + path_, error);
    }
    *record = cowDir_ + "\n" + snap_->m_strSnapId + "\n";
    if (snap_->OpenSnapVolume())
        return true;
    return Failed("cannot open the snapshot " + snap_->m_strSnapId, error);
}

bool FilterSource::ReadFrozen(uint64_t offset, uint32_t length, char* buffer, std::string* error) {
    unsigned long done = 0;
    if (snap_->SWSnapRead(offset / 512, length / 512, buffer, done) && done == length / 512)
        return true;
    std::string cause = tail_.Take();
    *error = cause.empty() ? "short read" : cause;
    return false;
}

bool FilterSource::IndexFrozen(const std::string& table, const std::string& volinfo,
                               std::string* error) {
    UniqueFd fd(QnbfOpen(snap_->m_strSnapId, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        *error = "cannot open the snapshot " + snap_->m_strSnapId + ": " + std::strerror(errno);
        return false;
    }
    return IndexImage(fd.get(), table, volinfo, shape_.extentBytes, error);
}

bool FilterSource::Thaw(std::string* error) {
    std::unique_ptr<KZVolumeUnix> snap = std::move(snap_);
    SetSnapPartition(cowDir_);
    if (!snap->SWSnapFreezeSync(path_, KZ_APP_NONE))
        return Failed("cannot stop the snapshot " + snap->m_strSnapId, error);
    if (!snap->SWSnapUnsynchronize())
        return Failed("cannot remove the copy-on-write files of " + snap->m_strSnapId, error);
    return true;
}

bool FilterSource::RemoveSnapshot(const std::string& snapId, const std::string& cowDir,
                                  std::string* error) {
    SetSnapPartition(cowDir);
    KZVolumeUnix snap(path_);
    snap.m_strSnapId = snapId;
    if (!snapId.empty() && !snap.SWSnapFreezeSync(path_, KZ_APP_NONE))
        return Failed("cannot stop the snapshot " + snapId, error);
    if (!snap.SWSnapUnsynchronize())
        return Failed("cannot remove the copy-on-write files in " + cowDir, error);
    return true;
}

// A record names the copy-on-write directory and the snapshot the killed backup
// took; only that snapshot is removed, and only while it is still there.
bool FilterSource::RemoveLeftover(const std::string& record, std::string* error) {
    qn_getinfo_arg info;
    if (!Lookup(name_, &info))
        return Failed("no filter device " + path_, error);
    size_t nl = record.find('\n');
    const std::string cowDir = record.substr(0, nl);
    std::string snapId = nl == std::string::npos ? "" : record.substr(nl + 1);
    while (!snapId.empty() && snapId.back() == '\n')
        snapId.pop_back();
    bool active = false;
    for (int i = 0; i < info.snap_minor_cnt && i < 256; ++i)
        active |= snapId == std::string(kQnbfNodePrefix) + std::to_string(info.snap_minor[i]);
    // Nothing recorded that could be removed; or the recorded snapshot is gone and
    // another one's copy-on-write files may be in use.
    if (snapId.empty() || cowDir.empty() || (!active && info.snap_minor_cnt > 0))
        return true;
    return RemoveSnapshot(active ? snapId : "", cowDir, error);
}

}  // namespace kzvol::backup
