// Verification and restore: a plan of pieces (which backup, which extent of it),
// each backup's extents file checked for size first, then run through the
// pipeline: stored bytes read on the reader thread, decompressed and hashed on
// the workers, written in volume order on the calling thread.
#include "tools/backup/Readback.h"

#include <algorithm>

#include "host/FullIO.h"
#include "tools/backup/ExtentReader.h"
#include "tools/backup/Files.h"
#include "tools/backup/Pipeline.h"

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

// Runs the plan; `write` (null for a verification) gets each piece's plain bytes,
// and whether they are all zero, in volume order.
bool RunPlan(Plan& plan, uint64_t extentBytes, const Progress& progress,
             const std::function<bool(const Piece&, const Slot&, std::string*)>& write,
             std::string* error) {
    uint32_t largestStored = 0;
    for (const Piece& p : plan.pieces)
        largestStored = std::max(largestStored, p.entry->StoredBytes());
    PipelineStages stages;
    stages.fill = [&](uint64_t i, Slot& slot, std::string* why) {
        const Piece& p = plan.pieces[i];
        slot.length = p.entry->StoredBytes();
        return plan.files[p.backup].LoadStored(*p.entry, slot.data.get(), why);
    };
    stages.work = [&](uint64_t i, Slot& slot, std::string* why) {
        const Piece& p = plan.pieces[i];
        slot.plain = DecodeExtent(*p.entry, plan.files[p.backup].backup().id, slot.data.get(),
                                  slot.out.get(), nullptr, why);
        slot.zero = write && slot.plain && AllZero(slot.plain, p.entry->length);
        return slot.plain != nullptr;
    };
    uint64_t done = 0;
    stages.drain = [&](uint64_t i, Slot& slot, std::string* why) {
        const Piece& p = plan.pieces[i];
        if (write && !write(p, slot, why))
            return false;
        done += p.entry->length;
        if (progress)
            progress(done, plan.bytes);
        return true;
    };
    const PipelineShape shape = PlanPipeline(largestStored, extentBytes);
    return RunPipeline(plan.pieces.size(), shape, stages, error);
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

bool RestoreChain(const Repository& repo, const std::vector<Manifest>& chain, int fd,
                  bool skipZeros, const Progress& progress, std::string* error) {
    if (chain.empty() || chain.front().kind != Kind::Full) {
        *error = "the chain does not start with a full backup";
        return false;
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
        if ((skipZeros && slot.zero) || PWriteAll(fd, slot.plain, p.entry->length, p.entry->offset))
            return true;
        *why = WithErrno("cannot write extent " + std::to_string(p.entry->number));
        return false;
    };
    return RunPlan(plan, chain.front().extentBytes, progress, write, error);
}

}  // namespace kzvol::backup
