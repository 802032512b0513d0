// Verification and restore: a plan of pieces (which backup, which extent of it),
// each backup's extents file checked for size first, then run on every core:
// each thread reads a piece's stored bytes, decompresses and hashes them and
// writes them at their offset, while the others do the same with the next ones.
#include "backup/Readback.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "backup/ExtentReader.h"
#include "backup/Files.h"
#include "backup/Pipeline.h"
#include "host/FullIO.h"
#include "host/Handles.h"
#include "host/KzcSHA512.h"

namespace kzvol::backup {
namespace {

struct Piece {
    size_t backup;  // index into the plan's extents files
    const ExtentEntry* entry;
};

struct Plan {
    std::vector<BackupExtents> files;
    std::vector<Piece> pieces;  // in volume order
    uint64_t bytes = 0;
};

bool OpenExtentFiles(const Repository& repo, const std::vector<const Manifest*>& backups,
                     Plan* plan, std::string* error) {
    plan->files.resize(backups.size());
    for (size_t b = 0; b < backups.size(); ++b)
        if (!plan->files[b].Open(repo, *backups[b], error))
            return false;
    return true;
}

// Runs the plan on every core: each piece read, decompressed, checked and handed
// to `write` (null for a verification) with whether its bytes are all zero.
bool RunPlan(Plan& plan, uint64_t extentBytes, const Progress& progress,
             const std::function<bool(const Piece&, const Slot&, std::string*)>& write,
             std::string* error) {
    uint32_t largestStored = 0;
    for (const Piece& p : plan.pieces)
        largestStored = std::max(largestStored, p.entry->StoredBytes());
    std::mutex mu;
    uint64_t done = 0;
    auto step = [&](uint64_t i, Slot& slot, std::string* why) {
        const Piece& p = plan.pieces[i];
        const BackupExtents& file = plan.files[p.backup];
        if (!file.LoadStored(*p.entry, slot.data.get(), why))
            return false;
        slot.plain =
            DecodeExtent(*p.entry, file.backup().id, slot.data.get(), slot.out.get(), nullptr, why);
        if (!slot.plain)
            return false;
        slot.zero = write && AllZero(slot.plain, p.entry->length);
        if (write && !write(p, slot, why))
            return false;
        std::lock_guard<std::mutex> lock(mu);
        done += p.entry->length;
        if (progress)
            progress(done, plan.bytes);
        return true;
    };
    return RunUnordered(plan.pieces.size(), largestStored, extentBytes, step, error);
}

}  // namespace

bool VerifyBackup(const Repository& repo, const Manifest& backup, const Progress& progress,
                  std::string* error) {
    Plan plan;
    if (!OpenExtentFiles(repo, {&backup}, &plan, error))
        return false;
    for (const ExtentEntry& e : backup.extents)
        plan.pieces.push_back({0, &e});
    plan.bytes = backup.BytesHeld();
    return RunPlan(plan, backup.extentBytes, progress, nullptr, error);
}

bool VerifyFiles(const Repository& repo, const Manifest& backup, std::string* error) {
    if (!backup.listsFiles)
        return true;  // written before the other files were digested
    const std::string dir = repo.BackupDir(backup.id);
    std::vector<std::string> present;
    for (const std::string& name : FolderEntries(dir))
        if (name != kManifestFile && name != kExtentsFile)
            present.push_back(name);
    std::vector<std::string> listed;
    for (const FileEntry& f : backup.files)
        listed.push_back(f.name);
    if (present != listed) {
        std::string extra, missing;
        for (const std::string& n : present)
            if (std::find(listed.begin(), listed.end(), n) == listed.end())
                extra += " " + n;
        for (const std::string& n : listed)
            if (std::find(present.begin(), present.end(), n) == present.end())
                missing += " " + n;
        *error = "backup " + backup.id + " holds files its manifest does not list (" +
                 (extra.empty() ? "none" : extra.substr(1)) + ") or lacks files it lists (" +
                 (missing.empty() ? "none" : missing.substr(1)) + ")";
        return false;
    }
    for (const FileEntry& f : backup.files) {
        Digest digest;
        uint64_t bytes = 0;
        if (!DigestFile(dir + "/" + f.name, &digest, &bytes)) {
            *error = WithErrno("cannot read " + f.name + " of backup " + backup.id);
            return false;
        }
        if (bytes != f.bytes || digest != f.digest) {
            *error =
                "the file " + f.name + " of backup " + backup.id + " does not match its digest";
            return false;
        }
    }
    return true;
}

bool RestoreChain(const Repository& repo, const std::vector<Manifest>& chain, int fd,
                  bool skipZeros, const Progress& progress, std::string* error) {
    if (chain.empty() || chain.front().kind != Kind::Full) {
        *error = "the chain does not start with a full backup";
        return false;
    }
    // Each link must build on the one before it, or newer extents would be
    // overwritten by older ones (or a link's changes skipped).
    for (size_t i = 1; i < chain.size(); ++i) {
        if (chain[i].parent != chain[i - 1].id) {
            *error = "backup " + chain[i].id + " builds on " + chain[i].parent + ", not on " +
                     chain[i - 1].id + ": the chain is out of order";
            return false;
        }
    }
    Plan plan;
    std::vector<const Manifest*> backups;
    for (const Manifest& m : chain)
        backups.push_back(&m);
    if (!OpenExtentFiles(repo, backups, &plan, error))
        return false;
    // The newest backup holding an extent gives it.
    const uint64_t count = chain.front().VolumeExtents();
    std::vector<Piece> owner(static_cast<size_t>(count), Piece{0, nullptr});
    for (size_t b = chain.size(); b-- > 0;)
        for (const ExtentEntry& e : chain[b].extents)
            if (!owner[e.number].entry)
                owner[e.number] = {b, &e};
    for (const Piece& p : owner)
        plan.bytes += p.entry->length;  // every extent has one: the full backup lists all
    plan.pieces = std::move(owner);
    auto write = [&](const Piece& p, const Slot& slot, std::string* why) {
        if (skipZeros && slot.zero)
            return true;
        if (PWriteAll(fd, slot.plain, p.entry->length, p.entry->offset)) {
            // Writeback starts now, while the next pieces are hashed, rather than
            // all at the final sync.
            ::sync_file_range(fd, static_cast<off_t>(p.entry->offset), p.entry->length,
                              SYNC_FILE_RANGE_WRITE);
            return true;
        }
        *why = WithErrno("cannot write extent " + std::to_string(p.entry->number));
        return false;
    };
    return RunPlan(plan, chain.front().extentBytes, progress, write, error);
}

}  // namespace kzvol::backup
