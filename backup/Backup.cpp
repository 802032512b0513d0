// The backup cycle: bitmap, temporary folder, frozen image, hashed extents,
// manifest, rename; and the way back on failure.
#include "backup/Backup.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "backup/Codec.h"
#include "backup/DigestTracker.h"
#include "backup/ExtentReader.h"
#include "backup/Files.h"
#include "backup/Leftovers.h"
#include "backup/Pending.h"
#include "backup/Pipeline.h"
#include "backup/Preflight.h"
#include "backup/UsedBlocks.h"
#include "checksum/CheckSum.h"
#include "host/Env.h"
#include "host/FailureTap.h"

namespace kzvol::backup {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kTrackerName[] = "volume";

double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string ExtentName(uint64_t number) {
    char name[32];
    std::snprintf(name, sizeof name, "extent%010llu", static_cast<unsigned long long>(number));
    return name;
}

std::vector<uint64_t> ExtentsToRead(const VolumeShape& shape, const std::vector<uint8_t>& bits,
                                    bool incremental) {
    const uint64_t count = ExtentCount(shape.volumeBytes, shape.extentBytes);
    std::vector<uint64_t> numbers;
    for (uint64_t n = 0; n < count; ++n)
        if (!incremental || (bits[n / 8] >> (n % 8) & 1))
            numbers.push_back(n);
    return numbers;
}

// Marks every extent of the volume changed.
void MarkAll(const VolumeShape& shape, std::vector<uint8_t>* bits) {
    for (uint64_t n = 0; n < ExtentCount(shape.volumeBytes, shape.extentBytes); ++n)
        (*bits)[n / 8] |= static_cast<uint8_t>(1u << (n % 8));
}

// Lists every file of the folder `dir` but its manifest and extents, with digests.
bool ListFiles(const std::string& dir, std::vector<FileEntry>* files, std::string* error) {
    files->clear();
    for (const std::string& name : FolderEntries(dir)) {
        if (name == kManifestFile || name == kExtentsFile)
            continue;
        FileEntry f;
        f.name = name;
        if (!IsListableFileName(name) || !DigestFile(dir + "/" + name, &f.digest, &f.bytes)) {
            *error = WithErrno("cannot digest " + dir + "/" + name);
            return false;
        }
        files->push_back(f);
    }
    return true;
}

// The hash file the tracker compares an incremental with: the newest digest of
// every extent along the chain, in the tracker's record format.
bool WriteChainHashes(const std::vector<Manifest>& chain, const std::string& path,
                      std::string* error) {
    std::vector<const Digest*> newest(chain.back().VolumeExtents(), nullptr);
    for (auto m = chain.rbegin(); m != chain.rend(); ++m)
        for (const ExtentEntry& e : m->extents)
            if (!newest[e.number])
                newest[e.number] = &e.digest;
    std::string records;
    for (uint64_t n = 0; n < newest.size(); ++n) {
        if (!newest[n])
            continue;
        records += ExtentName(n) + "\n";
        records.append(reinterpret_cast<const char*>(newest[n]->data()), kDigestBytes);
        records += "\n";
    }
    if (WriteWholeFile(path, records))
        return true;
    *error = WithErrno("cannot write " + path);
    return false;
}

// A whole extent of zeros, hashed and compressed once: free space of a fresh
// volume, and every unused extent of a used-only backup.
struct ZeroExtent {
    explicit ZeroExtent(uint32_t length) : length(length) {
        std::string zeros(length, '\0');
        digest = DigestOf(zeros.data(), length);
        std::string out(CompressedCapacity(length), '\0');
        stored.assign(out.data(), CompressExtent(zeros.data(), length, out.data(), out.size()));
    }
    // Gives `slot` the digest and stored form when it holds such an extent.
    bool Take(Slot& slot) const {
        if (slot.length != length || !AllZero(slot.data.get(), length))
            return false;
        slot.digest = digest;
        slot.outLength = static_cast<uint32_t>(stored.size());
        std::memcpy(slot.out.get(), stored.data(), stored.size());
        return true;
    }

    uint32_t length;
    Digest digest;
    std::string stored;  // empty when zeros did not shrink (never with zstd)
};

// The frozen image, thawed on every path.
class FrozenImage {
  public:
    explicit FrozenImage(Source& source) : source_(source) {}
    ~FrozenImage() {
        std::string ignored;
        if (frozen_)
            source_.Thaw(&ignored);
    }
    bool Freeze(std::string* record, std::string* error) {
        frozen_ = source_.Freeze(record, error);
        return frozen_;
    }
    bool Thaw(std::string* error) {
        frozen_ = false;
        return source_.Thaw(error);
    }

  private:
    Source& source_;
    bool frozen_ = false;
};

class Cycle {
  public:
    Cycle(const Repository& repo, Source& source, const VolumeShape& shape,
          const BackupOptions& options, PendingBackup& pending, BackupReport* report)
        : repo_(repo),
          source_(source),
          shape_(shape),
          opt_(options),
          pending_(pending),
          report_(report),
          m_(report->manifest) {}

    bool Run(const std::vector<Manifest>& chain, const std::vector<std::string>& leftovers,
             std::vector<uint8_t>* bits, std::string* error);

  private:
    bool Recover(const std::vector<std::string>& leftovers, std::vector<uint8_t>* bits,
                 std::string* error);
    bool Index(std::string* error);
    bool PrepareTracker(const std::vector<Manifest>& chain, std::string* error);
    bool Transfer(const std::vector<uint64_t>& numbers, std::string* error);
    bool Take(uint64_t number, const Slot& slot, std::string* error);
    bool LoadUsedBlocks(std::string* error);

    const Repository& repo_;
    Source& source_;
    const VolumeShape& shape_;
    const BackupOptions& opt_;
    PendingBackup& pending_;
    BackupReport* report_;
    Manifest& m_;
    std::unique_ptr<DigestTracker> tracker_;
    std::unique_ptr<UsedBlocks> used_;  // with usedOnly
    FailureTap tail_{"", true};         // the cause of a tracker failure
};

// Folds the changes of unfinished backups into `bits`. A folder whose bitmap is
// lost makes every change since the last full backup count (the differential
// bitmap); an untracked bitmap makes every extent count.
bool Cycle::Recover(const std::vector<std::string>& leftovers, std::vector<uint8_t>* bits,
                    std::string* error) {
    const Folded f = FoldLeftoverBitmaps(repo_, leftovers, bits);
    report_->leftoversFolded = f.folded;
    report_->leftoversLost = f.lost;
    if (f.lost && shape_.sinceFullTracked) {
        std::vector<uint8_t> since;
        if (!source_.ChangesSinceFull(&since, error))
            return false;
        for (size_t i = 0; i < bits->size() && i < since.size(); ++i)
            (*bits)[i] |= since[i];
    } else if (f.lost) {
        report_->readAllBecause =
            "an unfinished backup lost its changes and the differential "
            "bitmap is not tracked";
    }
    if (!shape_.changesTracked)
        report_->readAllBecause = "the driver does not vouch for the change bitmap (untracked)";
    if (!report_->readAllBecause.empty())
        MarkAll(shape_, bits);
    return true;
}

// Indexes the image; a table that cannot be built leaves the backup without
// one, saying why, rather than failing the backup.
bool Cycle::Index(std::string* error) {
    std::string why;
    const std::string table = pending_.dir() + "/" + kIndexTable;
    if (source_.IndexFrozen(table, pending_.dir() + "/" + kVolumeInfoFile, &why)) {
        m_.indexed = true;
        return true;
    }
    for (const char* suffix : {".dat", ".idx"})
        ::unlink((table + suffix).c_str());
    m_.indexFailed = true;
    report_->indexError = why;
    return pending_.WriteFile(kIndexFailureFile, why + "\n", false, error);
}

bool Cycle::Run(const std::vector<Manifest>& chain, const std::vector<std::string>& leftovers,
                std::vector<uint8_t>* bits, std::string* error) {
    if (!Recover(leftovers, bits, error))
        return false;
    if (!pending_.WriteFile(kBitmapFile, std::string(bits->begin(), bits->end()), true, error))
        return false;
    for (const std::string& id : leftovers)  // their bits are safe in ours now
        RemoveFolder(repo_.TempDir(id));
    if (!PrepareTracker(chain, error) || !pending_.OpenExtents(error))
        return false;

    FrozenImage image(source_);
    std::string record;
    const auto frozenAt = Clock::now();
    if (!image.Freeze(&record, error))
        return false;
    report_->freezeSeconds = Since(frozenAt);
    m_.time = CurrentEnv()->NowSeconds();
    // Not synced: a kill leaves it readable, and after a crash no snapshot is left.
    if (!pending_.WriteFile(kSnapshotFile, record, false, error) || !LoadUsedBlocks(error) ||
        !Transfer(ExtentsToRead(shape_, *bits, opt_.incremental), error))
        return false;
    if (opt_.index && !Index(error))
        return false;
    const auto thawedAt = Clock::now();
    if (!image.Thaw(error))
        return false;
    report_->thawSeconds = Since(thawedAt);

    const std::string checkSumDir = tracker_->CheckSumDir();
    tracker_.reset();
    RemoveFolder(checkSumDir);  // the digests live on in the manifest
    ::unlink((pending_.dir() + "/" + kSnapshotFile).c_str());
    m_.listsFiles = true;
    if (!ListFiles(pending_.dir(), &m_.files, error))
        return false;
    const std::string text = FormatManifest(m_);
    if (!pending_.Commit(text, error))
        return false;
    report_->bytesWritten = pending_.extent_bytes_written() + text.size();
    return true;
}

bool Cycle::PrepareTracker(const std::vector<Manifest>& chain, std::string* error) {
    tracker_ = std::make_unique<DigestTracker>(
        kTrackerName, pending_.dir(),
        opt_.incremental ? CHECKSUM_BACKUP_COMPARE : CHECKSUM_BACKUP_FULL, 0, false);
    bool ok = tracker_->InitializeScan(-1) &&
              (!opt_.incremental || WriteChainHashes(chain, tracker_->HashPath(), error)) &&
              tracker_->InitializeBackup();
    if (!ok && error->empty())
        *error = "cannot prepare the extent hash tracker in " + tracker_->CheckSumDir() + ": " +
                 CauseOr(tail_.Take(), "it gave no cause");
    return ok;
}

bool Cycle::LoadUsedBlocks(std::string* error) {
    m_.usedOnly = opt_.usedOnly;
    if (!opt_.usedOnly)
        return true;
    used_ = std::make_unique<UsedBlocks>();
    auto read = [this](uint64_t offset, uint32_t length, char* buffer, std::string* why) {
        return source_.ReadFrozen(offset, length, buffer, why);
    };
    if (used_->Load(shape_.volumeBytes, read, error))
        return true;
    *error = "--used-only: " + *error;
    return false;
}

// Keeps one extent, hashed and compressed on a worker, unless it is unchanged.
bool Cycle::Take(uint64_t number, const Slot& slot, std::string* error) {
    bool send = true;
    if (!tracker_->Changed(ExtentName(number), slot.digest.data(), &send)) {
        *error = "the extent hash tracker failed on extent " + std::to_string(number) + ": " +
                 CauseOr(tail_.Take(), "it gave no cause");
        return false;
    }
    ++report_->extentsRead;
    report_->bytesRead += slot.length;
    if (opt_.incremental && !send) {
        ++report_->extentsSkipped;
        return true;
    }
    ExtentEntry e;
    e.number = number;
    e.offset = number * shape_.extentBytes;
    e.length = slot.length;
    e.digest = slot.digest;
    e.stored = slot.outLength;
    const char* stored = e.stored ? slot.out.get() : slot.data.get();
    if (!pending_.AppendExtent(stored, e.StoredBytes(), error))
        return false;
    m_.AddExtent(e);
    return true;
}

// Reads the extents on the reader thread, hashes and compresses them on the
// workers, and keeps them in extent order on this one.
bool Cycle::Transfer(const std::vector<uint64_t>& numbers, std::string* error) {
    uint64_t total = 0;
    for (uint64_t n : numbers)
        total += ExtentLength(shape_.volumeBytes, shape_.extentBytes, n);
    PipelineStages stages;
    stages.fill = [&](uint64_t i, Slot& slot, std::string* why) {
        if (opt_.stop && opt_.stop->load()) {
            *why = "stopped by a signal";
            return false;
        }
        slot.length = ExtentLength(shape_.volumeBytes, shape_.extentBytes, numbers[i]);
        if (source_.ReadFrozen(numbers[i] * shape_.extentBytes, slot.length, slot.data.get(), why))
            return true;
        *why = "reading extent " + std::to_string(numbers[i]) + " of the snapshot failed: " + *why;
        return false;
    };
    const size_t outCapacity = CompressedCapacity(shape_.extentBytes);
    const ZeroExtent zero(static_cast<uint32_t>(shape_.extentBytes));
    stages.work = [&](uint64_t i, Slot& slot, std::string*) {
        if (used_ && !slot.zero)
            used_->Mask(numbers[i] * shape_.extentBytes, slot.data.get(), slot.length);
        if (zero.Take(slot))
            return true;
        slot.digest = DigestOf(slot.data.get(), slot.length);
        slot.outLength = CompressExtent(slot.data.get(), slot.length, slot.out.get(), outCapacity);
        return true;
    };
    stages.drain = [&](uint64_t i, Slot& slot, std::string* why) {
        if (!Take(numbers[i], slot, why))
            return false;
        if (opt_.progress)
            opt_.progress(report_->bytesRead, total);
        return true;
    };
    return RunPipeline(numbers.size(), PlanPipeline(shape_.extentBytes, outCapacity), stages,
                       error);
}

}  // namespace

bool RunBackup(Repository& repo, Source& source, const BackupOptions& options, BackupReport* report,
               std::string* error) {
    const auto start = Clock::now();
    VolumeShape shape;
    std::vector<Manifest> chain;
    if (!source.Shape(&shape, error) || !CheckShape(shape, error) ||
        !AdmitVolume(repo, shape, options.incremental, &chain, error))
        return false;
    const std::vector<std::string> leftovers = repo.LeftoverIds();
    std::string image;
    if (!RemoveLeftoverImages(repo, source, leftovers, error) || !source.ActiveImage(&image, error))
        return false;
    if (!image.empty()) {
        *error = "the snapshot " + image +
                 " is active and no backup of this repository recorded it as its own: "
                 "remove it when nothing uses it, then back up again";
        return false;
    }

    PendingBackup pending(repo, repo.NextId());
    *report = BackupReport();
    Manifest& m = report->manifest;
    m.id = pending.id();
    m.kind = options.incremental ? Kind::Incremental : Kind::Full;
    m.parent = options.incremental ? chain.back().id : "";
    m.volumeBytes = shape.volumeBytes;
    m.extentBytes = shape.extentBytes;
    std::vector<uint8_t> bits;
    if (!pending.Create(error))
        return false;
    const auto takenAt = Clock::now();
    if (!source.TakeChanges(&bits, error))
        return false;
    report->takeSeconds = Since(takenAt);
    if (bits.size() != shape.bitmapBytes) {
        bits.resize(shape.bitmapBytes);
        *error = "the change bitmap came back with a size other than the volume's";
    } else if (Cycle(repo, source, shape, options, pending, report)
                   .Run(chain, leftovers, &bits, error)) {
        report->seconds = Since(start);
        return true;
    }
    // Everything taken goes back, so that the next backup still sends it.
    std::string why;
    if (!source.ReturnChanges(bits, &why)) {
        pending.Keep();
        *error += "; the changes taken could not be given back (" + why +
                  "), the next backup takes them from " + pending.dir();
    }
    return false;
}

}  // namespace kzvol::backup
