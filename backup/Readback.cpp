// Verification and restore: a plan of pieces (which extents file, where in it,
// where on the volume), checked for size first, then read on one thread and
// hashed and written on the other.
#include "backup/Readback.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "backup/Files.h"
#include "backup/Pipeline.h"
#include "host/FullIO.h"
#include "host/Handles.h"
#include "host/KzcSHA512.h"

namespace kzvol::backup {
namespace {

struct Piece {
    size_t backup;     // index into the plan's backups
    uint64_t filePos;  // offset in that backup's extents file
    const ExtentEntry* entry;
};

struct Plan {
    std::vector<const Manifest*> backups;
    std::vector<UniqueFd> files;
    std::vector<Piece> pieces;  // in volume order
    uint64_t bytes = 0;
};

// Opens the extents file of every backup and checks its size against the manifest.
bool OpenExtentFiles(const Repository& repo, Plan* plan, std::string* error) {
    for (const Manifest* m : plan->backups) {
        const std::string path = repo.BackupDir(m->id) + "/" + kExtentsFile;
        UniqueFd fd = OpenRegular(path, O_RDONLY);
        struct stat st;
        if (!fd || ::fstat(fd.get(), &st) != 0) {
            *error = WithErrno("cannot open the extents of backup " + m->id);
            return false;
        }
        const uint64_t want = m->BytesHeld();
        if (static_cast<uint64_t>(st.st_size) != want) {
            *error = "the extents file of backup " + m->id + " holds " +
                     std::to_string(st.st_size) + " bytes where its manifest lists " +
                     std::to_string(want) +
                     (static_cast<uint64_t>(st.st_size) < want ? " (truncated)" : "");
            return false;
        }
        plan->files.push_back(std::move(fd));
    }
    return true;
}

// Reads each piece on the reader thread; hashes it, compares, and hands it to
// `write` on the calling thread.
bool RunPlan(Plan& plan, uint64_t extentBytes, const Progress& progress,
             const std::function<bool(const Piece&, const char*)>& write, std::string* error) {
    std::string readError;
    KzcSHA512 sha;
    Digest digest;
    uint64_t done = 0;
    auto fill = [&](uint64_t i, Slot& slot) {
        const Piece& p = plan.pieces[i];
        slot.length = p.entry->length;
        if (PReadAll(plan.files[p.backup].get(), slot.data.get(), slot.length, p.filePos))
            return true;
        readError = WithErrno("cannot read the extents of backup " + plan.backups[p.backup]->id);
        return false;
    };
    auto drain = [&](uint64_t i, Slot& slot) {
        const Piece& p = plan.pieces[i];
        sha.reset();
        sha.addData(slot.data.get(), slot.length);
        sha._finish(digest.data(), digest.size());
        if (digest != p.entry->digest) {
            *error = "extent " + std::to_string(p.entry->number) + " of backup " +
                     plan.backups[p.backup]->id + " does not match its digest";
            return false;
        }
        if (write && !write(p, slot.data.get()))
            return false;
        done += slot.length;
        if (progress)
            progress(done, plan.bytes);
        return true;
    };
    if (RunPipeline(plan.pieces.size(), static_cast<size_t>(extentBytes),
                    PipelineDepth(extentBytes), fill, drain))
        return true;
    if (!readError.empty())
        *error = readError;
    return false;
}

}  // namespace

bool VerifyBackup(const Repository& repo, const Manifest& backup, const Progress& progress,
                  std::string* error) {
    Plan plan;
    plan.backups.push_back(&backup);
    if (!OpenExtentFiles(repo, &plan, error))
        return false;
    uint64_t pos = 0;
    for (const ExtentEntry& e : backup.extents) {
        plan.pieces.push_back({0, pos, &e});
        pos += e.length;
    }
    plan.bytes = pos;
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
                  const Progress& progress, std::string* error) {
    if (chain.empty() || chain.front().kind != Kind::Full) {
        *error = "the chain does not start with a full backup";
        return false;
    }
    Plan plan;
    for (const Manifest& m : chain)
        plan.backups.push_back(&m);
    if (!OpenExtentFiles(repo, &plan, error))
        return false;
    // The newest backup holding an extent gives it.
    const uint64_t count = chain.front().VolumeExtents();
    std::vector<Piece> owner(static_cast<size_t>(count), Piece{0, 0, nullptr});
    for (size_t b = chain.size(); b-- > 0;) {
        uint64_t pos = 0;
        for (const ExtentEntry& e : chain[b].extents) {
            if (!owner[e.number].entry)
                owner[e.number] = {b, pos, &e};
            pos += e.length;
        }
    }
    for (const Piece& p : owner)
        plan.bytes += p.entry->length;  // every extent has one: the full backup lists all
    plan.pieces = std::move(owner);
    std::string writeError;
    auto write = [&](const Piece& p, const char* data) {
        if (PWriteAll(fd, data, p.entry->length, p.entry->offset))
            return true;
        *error = WithErrno("cannot write extent " + std::to_string(p.entry->number));
        return false;
    };
    return RunPlan(plan, chain.front().extentBytes, progress, write, error);
}

}  // namespace kzvol::backup
