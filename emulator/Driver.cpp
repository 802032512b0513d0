// Request handlers of the stand-in driver. The rules they follow are written in
// emulator/Emulator.h.
#include "emulator/Driver.h"

#include <linux/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "emulator/HostOps.h"
#include "emulator/ServeClient.h"
#include "filter/DriverChannel.h"
#include "filter/QnbfProtocol.h"

namespace kzvol::emulator {
namespace {

constexpr size_t kMaxDevices = 256;

std::string LastComponent(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A NUL-terminated text field, or false when the field has no terminator.
bool Text(const char* field, size_t width, std::string* out) {
    size_t n = strnlen(field, width);
    if (n == width)
        return false;
    out->assign(field, n);
    return true;
}

void CopyText(char* field, size_t width, const std::string& text) {
    std::memset(field, 0, width);
    std::memcpy(field, text.data(), std::min(text.size(), width - 1));
}

void SetBit(std::vector<uint8_t>& bits, uint64_t i) {
    if (i / 8 < bits.size())
        bits[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
}

// Clears the bits past the last extent, so bitmaps never claim extents that do not exist.
void TrimBits(std::vector<uint8_t>& bits, uint64_t extents) {
    for (uint64_t i = extents; i < bits.size() * 8ull; ++i)
        bits[i / 8] &= static_cast<uint8_t>(~(1u << (i % 8)));
}

bool PowerOfTwo(uint32_t v) {
    return v && !(v & (v - 1));
}

}  // namespace

int Driver::Handle(unsigned long request, void* arg) {
    uint32_t minor = 0;
    if (_IOC_SIZE(request) == sizeof minor)
        std::memcpy(&minor, arg, sizeof minor);
    switch (request) {
        case QNBF_GET_DEVLIST:
            return DeviceList(arg);
        case QNBF_GET_INFO:
            return Info(arg);
        case QNBF_ADD_NODE:
            return Add(arg);
        case QNBF_START_NODE:
            return Start(minor);
        case QNBF_DEFUNCT_NODE:
            return Defunct(minor);
        case QNBF_DELETE_NODE:
            return Delete(minor);
        case QNBF_SNAP_SYNC:
            return SnapSync(arg);
        case QNBF_GET_BITMAP:
            return BitmapCopy(arg, false);
        case QNBF_GETCLR_BITMAP:
            return BitmapCopy(arg, true);
        case QNBF_SET_BITMAP:
            return BitmapSet(arg);
        case QNBF_MERGE_BITMAP:
            return BitmapMerge(arg);
        case QNBF_CLEAR_BITMAP:
            return BitmapCommand(arg, false);
        case QNBF_SAVE_BITMAP:
            return BitmapCommand(arg, true);
        case QNBF_GET_DATABLOCK_MAP:
            return DataBlockMap(arg);
        default:
            return ENOTTY;
    }
}

int Driver::DeviceList(void* arg) {
    auto* list = static_cast<qn_getdevicelist_arg*>(arg);
    uint32_t count = 0;
    for (const Device& d : s_.devices)
        if (!d.snapshot && count < 256)
            list->minors[count++] = d.minor;
    list->count = count;
    list->cmd = count ? 1 : 2;
    return 0;
}

int Driver::Info(void* arg) {
    auto* info = static_cast<qn_getinfo_arg*>(arg);
    Device* d = s_.Find(info->minor);
    if (!d)
        return ENXIO;
    if (d->state == NodeState::Defunct)
        return ENODEV;
    const Device* covered = d->snapshot ? s_.Find(d->source) : d;
    uint32_t minor = info->minor;
    std::memset(info, 0, sizeof *info);
    info->minor = minor;
    info->size = d->size;
    CopyText(info->node_name, sizeof info->node_name, d->node_name);
    CopyText(info->dev_name, sizeof info->dev_name,
             LastComponent(covered ? covered->underlying : std::string()));
    info->underlying_dev = covered ? covered->underlying_dev : 0;
    size_t n = std::min<size_t>(d->snapshots.size(), 256);
    for (size_t i = 0; i < n; ++i)
        info->snap_minor[i] = d->snapshots[i];
    info->snap_minor_cnt = static_cast<int32_t>(n);
    info->incr_bmp_size = static_cast<int32_t>(d->incr.bits.size());
    info->diff_bmp_size = static_cast<int32_t>(d->diff.bits.size());
    info->incr_bmp_valid = d->incr.tracked ? 1 : 0;
    info->diff_bmp_valid = d->diff.tracked ? 1 : 0;
    return 0;
}

int Driver::Add(void* arg) {
    auto* add = static_cast<qn_addnode_arg*>(arg);
    Device d;
    if (!Text(add->dev_path, sizeof add->dev_path, &d.underlying) || d.underlying.empty())
        return EINVAL;
    if (!Text(add->serial, sizeof add->serial, &d.serial))
        return EINVAL;
    d.extent_bytes = add->extent_bytes;
    if (!PowerOfTwo(d.extent_bytes) || d.extent_bytes < 512)
        return EINVAL;
    size_t filters = 0;
    for (const Device& other : s_.devices) {
        if (!other.snapshot && other.underlying == d.underlying)
            return EEXIST;
        filters += other.snapshot ? 0 : 1;
    }
    if (filters >= kMaxDevices)
        return ENOSPC;

    bool isBlock = false;
    auto declared = s_.volumes.find(d.underlying);
    if (s_.mode == Mode::Memory && declared != s_.volumes.end()) {
        d.size = declared->second;
    } else if (int err = SizeOf(d.underlying, &d.size, &d.underlying_dev, &isBlock)) {
        return err;
    }
    if (s_.mode == Mode::Devices) {
        if (!isBlock)
            return ENOTBLK;
        uint32_t sector = 512;
        if (int err = Serve(d, &sector))
            return err;
        if (int err = AttachServed(d, sector, -1)) {
            Unserve(d, "drop");
            return err;
        }
        d.minor = static_cast<uint32_t>(d.loop_minor);
        d.data_path = LoopPath(d.loop_minor);
    } else {
        d.minor = s_.FreeMinor();
        if (declared == s_.volumes.end() && !isBlock)
            d.data_path = d.underlying;
    }
    d.node_name = "qnbf" + std::to_string(d.minor);
    if (s_.mode == Mode::Devices) {
        if (int err = MakeNode(d.node_name, d.loop_minor)) {
            DetachLoop(d.loop_minor);
            Unserve(d, "drop");
            return err;
        }
    }
    d.incr.bits.assign(d.BitmapBytes(), 0);
    d.diff.bits.assign(d.BitmapBytes(), 0);
    LoadSavedBitmaps(d);
    if (s_.mode == Mode::Memory && !d.data_path.empty())
        ExtentDigests(d.data_path, d.size, d.extent_bytes, &d.digests);
    add->minor = static_cast<int32_t>(d.minor);
    s_.devices.push_back(std::move(d));
    return 0;
}

int Driver::Start(uint32_t minor) {
    Device* d = s_.Find(minor);
    if (!d)
        return ENXIO;
    if (d->state == NodeState::Started)
        return EBUSY;
    if (d->state == NodeState::Defunct)
        return EINVAL;
    d->state = NodeState::Started;
    return 0;
}

int Driver::Defunct(uint32_t minor) {
    Device* d = s_.Find(minor);
    if (!d)
        return ENXIO;
    if (d->snapshot)
        return EINVAL;
    d->state = NodeState::Defunct;
    return 0;
}

int Driver::Delete(uint32_t minor) {
    Device* d = s_.Find(minor);
    if (!d)
        return ENXIO;
    if (!d->snapshot && d->state == NodeState::Started)
        return EBUSY;
    if (!d->snapshot && !d->snapshots.empty())
        return EBUSY;
    if (int err = Release(*d, false))
        return err;
    if (d->snapshot) {
        if (Device* source = s_.Find(d->source)) {
            auto& list = source->snapshots;
            list.erase(std::remove(list.begin(), list.end(), minor), list.end());
            Unserve(*source, "uncow");
        }
    } else {
        Unserve(*d, "drop");
    }
    s_.devices.erase(s_.devices.begin() + (d - s_.devices.data()));
    return 0;
}

int Driver::Release(Device& d, bool force) {
    if (d.loop_minor < 0)
        return 0;
    if (!force) {
        if (int err = LoopBusy(d.loop_minor))
            return err;
    }
    RemoveNode(d.node_name);
    int err = DetachLoop(d.loop_minor);
    if (err == EBUSY && force) {
        // Mounted: the kernel detaches it at the last close.
        err = 0;
    }
    return err;
}

int Driver::SnapSync(void* arg) {
    auto* sync = static_cast<qn_snapsync_arg*>(arg);
    Device* source = s_.Find(static_cast<uint32_t>(sync->minor));
    if (!source)
        return ENXIO;
    if (source->snapshot || source->state != NodeState::Started)
        return EINVAL;
    Device snap;
    if (!Text(sync->map_file, sizeof sync->map_file, &snap.map_file) ||
        !Text(sync->data_file, sizeof sync->data_file, &snap.data_file) || snap.map_file.empty() ||
        snap.data_file.empty() || snap.map_file == snap.data_file)
        return EINVAL;
    if (source->snapshots.size() >= 256)
        return ENOSPC;
    if (int err = Track(*source))
        return err;

    snap.snapshot = true;
    snap.source = source->minor;
    snap.size = source->size;
    snap.extent_bytes = source->extent_bytes;
    snap.chunk_size = sync->chunk_size;
    int err =
        s_.mode == Mode::Devices ? SnapSyncServed(*source, snap) : SnapSyncCopy(*source, snap);
    if (err)
        return err;
    snap.node_name = "qnbf" + std::to_string(snap.minor);
    if (s_.mode == Mode::Devices && (err = MakeNode(snap.node_name, snap.loop_minor))) {
        DetachLoop(snap.loop_minor);
        Unserve(*source, "uncow");
        return err;
    }
    source->snapshots.insert(source->snapshots.begin(), snap.minor);
    sync->snap_minor = static_cast<int32_t>(snap.minor);
    s_.devices.push_back(std::move(snap));
    return 0;
}

// Memory mode: the data file receives a full image of the device. The next look
// compares with what the image holds, so a write made while it was copied and
// undone afterwards still counts.
int Driver::SnapSyncCopy(Device& source, Device& snap) {
    int err = source.data_path.empty() ? MakeEmptyImage(snap.data_file, snap.size)
                                       : CopyImage(source.data_path, snap.data_file, snap.size);
    if (err)
        return err;
    if (!source.data_path.empty()) {
        std::vector<uint64_t> copied;
        if ((err = ExtentDigests(snap.data_file, snap.size, snap.extent_bytes, &copied)))
            return err;
        MarkChanged(source, source.digests, copied);
        source.digests = std::move(copied);
    }
    std::ostringstream map;
    map << "qnbf snapshot map\nsource " << source.node_name << "\nsize " << snap.size << "\nchunk "
        << snap.chunk_size << "\n";
    if ((err = WriteFileAtomically(snap.map_file, map.str())))
        return err;
    snap.minor = s_.FreeMinor();
    snap.data_path = snap.data_file;
    return 0;
}

// Devices mode: copy-on-write in the serving process, started while the file
// system on the node (if one is mounted) is frozen, so the snapshot holds it
// clean; the snapshot's node is a read-only loop device over its served file.
int Driver::SnapSyncServed(Device& source, Device& snap) {
    if (!source.snapshots.empty())
        return EBUSY;  // one active snapshot per filter device
    std::string body = snap.map_file;
    body += '\0';
    body += snap.data_file;
    int err = 0;
    {
        FrozenFileSystem frozen(MountPointOf(kQnbfNodeDir + source.node_name));
        if (frozen.error())
            return frozen.error();
        err = CallServer(
            dir_, "cow " + std::to_string(source.serve_id) + " " + std::to_string(snap.chunk_size),
            body, nullptr);
    }
    if (err)
        return err;
    snap.data_path = ServedFile(SnapshotFileName(source.serve_id));
    LoopOptions options;
    options.readOnly = options.direct = true;
    options.blockSize = SectorOf(LoopPath(source.loop_minor));
    if ((err = AttachLoop(snap.data_path, options, &snap.loop_minor))) {
        Unserve(source, "uncow");
        ::unlink(snap.map_file.c_str());  // made just now, exclusively
        ::unlink(snap.data_file.c_str());
        return err;
    }
    snap.minor = static_cast<uint32_t>(snap.loop_minor);
    return 0;
}

std::string Driver::ServedFile(const std::string& name) const {
    return ServeMount(dir_) + "/" + name;
}

int Driver::Serve(Device& d, uint32_t* sector) {
    std::vector<std::string> words;
    if (int err = CallServer(dir_, "serve " + std::to_string(d.extent_bytes), d.underlying, &words))
        return err;
    if (words.size() != 3)
        return EPROTO;
    d.serve_id = std::strtoull(words[0].c_str(), nullptr, 10);
    *sector = static_cast<uint32_t>(std::strtoul(words[1].c_str(), nullptr, 10));
    d.serve_instance = words[2];
    return 0;
}

int Driver::AttachServed(Device& d, uint32_t sector, int preferredLoop) {
    LoopOptions options;
    options.direct = true;
    options.blockSize = sector;
    options.preferred = preferredLoop;
    return AttachLoop(ServedFile(VolumeFileName(d.serve_id)), options, &d.loop_minor);
}

void Driver::Unserve(const Device& d, const char* verb) {
    if (s_.mode == Mode::Devices && d.serve_id)
        CallServer(dir_, std::string(verb) + " " + std::to_string(d.serve_id), "", nullptr);
}

int Driver::Reconnect(bool* changed) {
    std::string instance, error;
    if (int err = StartServer(dir_, &instance, &error))
        return err;
    s_.serving = instance;
    for (Device& d : s_.devices) {
        if (d.snapshot || d.serve_instance == instance)
            continue;
        *changed = true;
        // What was written since the last look died with the old process.
        for (Bitmap* b : {&d.incr, &d.diff}) {
            std::fill(b->bits.begin(), b->bits.end(), 0xff);
            TrimBits(b->bits, d.Extents());
            b->tracked = false;
        }
        if (d.loop_minor >= 0 && LoopBusy(d.loop_minor))
            continue;  // mounted over the dead file: again once it is released
        RemoveNode(d.node_name);
        if (d.loop_minor >= 0)
            DetachLoop(d.loop_minor);
        uint32_t sector = 512;
        const int old = d.loop_minor;
        d.loop_minor = -1;
        if (Serve(d, &sector) || AttachServed(d, sector, old) ||
            MakeNode(d.node_name, d.loop_minor)) {
            d.serve_instance.clear();  // again at the next request
            continue;
        }
        d.data_path = LoopPath(d.loop_minor);
    }
    return 0;
}

int Driver::Usable(uint32_t minor, Device** out) {
    Device* d = s_.Find(minor);
    if (!d)
        return ENXIO;
    if (d->snapshot)
        return EINVAL;
    if (d->state == NodeState::Defunct)
        return ENODEV;
    *out = d;
    return 0;
}

Bitmap* Driver::Kind(Device& d, uint32_t kind) {
    if (kind == QNBF_KIND_INCREMENTAL)
        return &d.incr;
    if (kind == QNBF_KIND_DIFFERENTIAL)
        return &d.diff;
    return nullptr;
}

int Driver::UsableBitmap(uint32_t minor, uint32_t kind, Device** d, Bitmap** bitmap) {
    if (int err = Usable(minor, d))
        return err;
    *bitmap = Kind(**d, kind);
    return *bitmap ? 0 : EINVAL;
}

void Driver::MarkChanged(Device& d, const std::vector<uint64_t>& before,
                         const std::vector<uint64_t>& now) {
    for (uint64_t i = 0; i < now.size(); ++i) {
        if (i < before.size() && before[i] == now[i])
            continue;
        SetBit(d.incr.bits, i);
        SetBit(d.diff.bits, i);
    }
}

int Driver::Track(Device& d) {
    if (s_.mode == Mode::Devices)
        return TakeServedWrites(d);
    if (d.data_path.empty())
        return 0;
    FlushDevice(d.data_path);
    std::vector<uint64_t> now;
    if (int err = ExtentDigests(d.data_path, d.size, d.extent_bytes, &now))
        return err;
    MarkChanged(d, d.digests, now);
    d.digests = std::move(now);
    return 0;
}

int Driver::TakeServedWrites(Device& d) {
    // A device not served by the running process has all its bits set already.
    if (d.snapshot || !d.serve_id || d.serve_instance != s_.serving)
        return 0;
    std::string written;
    if (int err = CallServer(dir_, "written " + std::to_string(d.serve_id), "", nullptr, &written))
        return err == ENOENT ? EIO : err;
    for (size_t i = 0; i < written.size() && i < d.incr.bits.size(); ++i) {
        d.incr.bits[i] |= static_cast<uint8_t>(written[i]);
        d.diff.bits[i] |= static_cast<uint8_t>(written[i]);
    }
    TrimBits(d.incr.bits, d.Extents());
    TrimBits(d.diff.bits, d.Extents());
    return 0;
}

int Driver::BitmapCopy(void* arg, bool clear) {
    auto* a = static_cast<qn_bitmap_arg*>(arg);
    Device* d = nullptr;
    Bitmap* bitmap = nullptr;
    if (int err = UsableBitmap(a->minor, a->kind, &d, &bitmap))
        return err;
    if (!a->buffer)
        return EFAULT;
    if (a->size < bitmap->bits.size())
        return ENOBUFS;
    if (int err = Track(*d))
        return err;
    std::copy(bitmap->bits.begin(), bitmap->bits.end(), a->buffer);
    if (clear)
        std::fill(bitmap->bits.begin(), bitmap->bits.end(), 0);
    return 0;
}

int Driver::BitmapSet(void* arg) {
    auto* a = static_cast<qn_bitmap_arg*>(arg);
    Device* d = nullptr;
    Bitmap* bitmap = nullptr;
    if (int err = UsableBitmap(a->minor, a->kind, &d, &bitmap))
        return err;
    if (a->buffer && a->size != bitmap->bits.size())
        return EINVAL;
    if (int err = Track(*d))
        return err;
    if (a->buffer) {
        std::copy(a->buffer, a->buffer + a->size, bitmap->bits.begin());
        TrimBits(bitmap->bits, d->Extents());
    } else {
        std::fill(bitmap->bits.begin(), bitmap->bits.end(), 0);
    }
    bitmap->tracked = true;
    return 0;
}

int Driver::BitmapMerge(void* arg) {
    auto* a = static_cast<qn_bitmap_arg*>(arg);
    Device* d = nullptr;
    Bitmap* bitmap = nullptr;
    if (int err = UsableBitmap(a->minor, a->kind, &d, &bitmap))
        return err;
    if (!a->buffer)
        return EFAULT;
    if (a->size != bitmap->bits.size())
        return EINVAL;
    if (int err = Track(*d))
        return err;
    for (size_t i = 0; i < a->size; ++i)
        bitmap->bits[i] |= a->buffer[i];
    TrimBits(bitmap->bits, d->Extents());
    return 0;
}

int Driver::BitmapCommand(void* arg, bool save) {
    auto* a = static_cast<qn_bitmapcmd_arg*>(arg);
    Device* d = nullptr;
    Bitmap* bitmap = nullptr;
    if (int err = UsableBitmap(a->minor, a->kind, &d, &bitmap))
        return err;
    if (int err = Track(*d))
        return err;
    if (!save) {
        std::fill(bitmap->bits.begin(), bitmap->bits.end(), 0);
        return 0;
    }
    ::mkdir((dir_ + "/saved").c_str(), 0700);
    std::string contents = std::to_string(d->extent_bytes) + "\n";
    contents.append(bitmap->bits.begin(), bitmap->bits.end());
    const char* name = a->kind == QNBF_KIND_INCREMENTAL ? "incr" : "diff";
    return WriteFileAtomically(SavedBitmapPath(*d, name), contents);
}

std::string Driver::SavedBitmapPath(const Device& d, const char* kind) const {
    static const char kDigits[] = "0123456789abcdef";
    std::string name;
    for (unsigned char c : d.underlying) {
        name += kDigits[c >> 4];
        name += kDigits[c & 15];
    }
    return dir_ + "/saved/" + name + "." + kind;
}

void Driver::LoadSavedBitmaps(Device& d) {
    for (auto [kind, bitmap] :
         {std::pair<const char*, Bitmap*>{"incr", &d.incr}, {"diff", &d.diff}}) {
        std::ifstream in(SavedBitmapPath(d, kind), std::ios::binary);
        std::string extent;
        if (!in || !std::getline(in, extent) || extent != std::to_string(d.extent_bytes))
            continue;
        std::string bits((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bits.size() != bitmap->bits.size())
            continue;
        std::copy(bits.begin(), bits.end(), bitmap->bits.begin());
        bitmap->tracked = true;
    }
}

int Driver::DataBlockMap(void* arg) {
    auto* a = static_cast<qn_getdatablockbmp_arg*>(arg);
    Device* snap = s_.Find(a->minor);
    if (!snap)
        return ENXIO;
    if (!snap->snapshot)
        return EINVAL;
    const uint32_t needed = static_cast<uint32_t>(snap->BitmapBytes());
    const uint32_t given = a->size;
    a->size = needed;
    if (a->buffer == 0)
        return 0;
    if (given < needed)
        return ENOBUFS;
    std::vector<uint8_t> bits(needed, 0);
    if (int err = ExtentsWithData(snap->data_path, snap->size, snap->extent_bytes, &bits))
        return err;
    std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(a->buffer)), bits.data(), needed);
    return 0;
}

int Driver::NoteWrite(uint32_t minor, uint64_t offset, uint64_t length) {
    Device* d = nullptr;
    if (int err = Usable(minor, &d))
        return err;
    if (length == 0)
        return 0;
    if (offset >= d->size || length > d->size - offset)
        return EINVAL;
    for (uint64_t e = offset / d->extent_bytes; e <= (offset + length - 1) / d->extent_bytes; ++e) {
        SetBit(d->incr.bits, e);
        SetBit(d->diff.bits, e);
    }
    return 0;
}

int Driver::DeleteAll() {
    int first = 0;
    // Snapshots first: their sources cannot go while they exist.
    for (bool snapshots : {true, false}) {
        for (Device& d : s_.devices) {
            if (d.snapshot != snapshots)
                continue;
            int err = Release(d, true);
            if (err && !first)
                first = err;
        }
    }
    s_.devices.clear();
    return first;
}

}  // namespace kzvol::emulator
