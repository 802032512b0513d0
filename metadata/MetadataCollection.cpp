// KZVolumeUnix::DumpMetadataInformation: the file index and volume information of
// one mounted ext2/ext3 file system, by the on-disk directory reader when it
// applies and succeeds, else by walking a (snapshot) mount. A snapshot mounted
// here is unmounted once, at whichever exit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <list>

#include "host/CCreateUNIXFSTree.h"
#include "host/EvDebug.h"
#include "host/Handles.h"
#include "host/KZPlatformInfo.h"
#include "host/KzMntTab.h"
#include "host/KzProcess.h"
#include "host/ShellQuote.h"
#include "metadata/DirectoryWalk.h"
#include "metadata/MountProbes.h"
#include "metadata/ReaderCallBacks.h"
#include "metadata/ReaderIntoTable.h"
#include "volume/KZVolume.h"

namespace {

const char kContext[] = "KZVolumeUnix::DumpMetadataInformation";

EvDebug g_log;

// Process-wide handle of the table writer; only its address is handed on.
long long handle = 0;

// A non-empty value of UnixImagePOD/`key`; "" when missing or unreadable.
std::string Switch(const char* key) {
    try {
        std::string value;
        KZPlatformInfo info;
        return info.getString("UnixImagePOD", key, &value) ? value : "";
    } catch (...) {
        return "";
    }
}

// The type of the first mount-table entry whose device is `device`.
std::string FileSystemType(const std::string& device) {
    std::list<KzMntTab::Entry> entries;
    KzMntTab::getAll(entries);
    for (const auto& e : entries) {
        if (e[0] == device)
            return e[2];
    }
    return "UnKnown";
}

// Unmounts the snapshot mount it was given when it goes out of scope.
class SnapshotMount {
  public:
    SnapshotMount() = default;
    SnapshotMount(const SnapshotMount&) = delete;
    SnapshotMount& operator=(const SnapshotMount&) = delete;
    ~SnapshotMount() {
        if (path_.empty())
            return;
        try {
            std::string output;
            KzProcess process;
            if (process.system("/bin/umount -- " + kzvol::ShellQuote(path_), &output, nullptr, 0,
                               false) == 0)
                return;
        } catch (...) {  // logged below like any other failed unmount
        }
        g_log.Error(kContext, "failed to unmount snap snapmntpath=%s errno=%d\n", path_.c_str(),
                    errno);
    }
    void Hold(const std::string& path) { path_ = path; }

  private:
    std::string path_;
};

// Init and Open of the table, logged on failure.
bool OpenTable(CCreateUNIXFSTree* table, const char* mountPath, const char* tablePath) {
    int rc = table->Init(&handle);
    if (rc != 0) {
        g_log.Error(kContext, "failed to initialize ctree table for unixfs errno=%d path=%s\n", rc,
                    mountPath);
        return false;
    }
    rc = table->Open(tablePath);
    if (rc != 0) {
        g_log.Error(kContext,
                    "failed to create ctree table for unixfs errno=%d path=%s ctreefile=%s\n", rc,
                    mountPath, tablePath);
        return false;
    }
    return true;
}

bool CloseTable(CCreateUNIXFSTree* table, const std::string& path, const char* tablePath) {
    int rc = table->Close();
    if (rc != 0) {
        g_log.Error(kContext,
                    "failed to close ctree table for unixfs errno=%d path=%s ctreefile=%s\n", rc,
                    path.c_str(), tablePath);
        return false;
    }
    return true;
}

void DeleteOutput(const std::string& path) {
    g_log.Debug(kContext, "Deleting %s", path.c_str());
    ::unlink(path.c_str());
}

// Everything one collection needs, so that its steps stay short.
struct MetadataRun {
    MetadataRun(KZVolumeUnix& vol, char* root, char* mount, char* volumeInfo, char* tableFile,
                unsigned long extent)
        : volume(vol),
          rootName(root),
          mountPath(mount),
          volumeInfoPath(volumeInfo),
          tablePath(tableFile),
          extentSize(extent) {}

    KZVolumeUnix& volume;
    char* rootName;
    char* mountPath;
    char* volumeInfoPath;
    char* tablePath;
    unsigned long extentSize;
    std::string device, fsType, snapMountPath;
    int aclEnabled = 0, seLinuxEnforcing = 0;
    CCreateUNIXFSTree table;
};

// Runs the on-disk reader into the table; *indexed tells whether it succeeded,
// and its output is deleted when not. False only when the table failed.
bool RunDirectoryReader(MetadataRun* run, bool* indexed) {
    if (!OpenTable(&run->table, run->mountPath, run->tablePath))
        return false;
    g_log.Debug(kContext, "Collect MetaData on %s", run->device.c_str());
    kzvol::UniqueFd device(::open(run->device.c_str(), O_RDONLY | O_LARGEFILE | O_CLOEXEC));
    kzvol::ReaderJob job;
    job.rootName = run->rootName;
    job.volinfoPath = run->volumeInfoPath;
    job.fsType = run->fsType;
    job.extentBytes = static_cast<uint32_t>(run->extentSize);
    job.aclEnabled = run->aclEnabled;
    job.seLinuxEnabled = run->seLinuxEnforcing;
    job.namesOnly = !Switch("dNoMtimeNoSize").empty();
    if (job.namesOnly)
        g_log.Debug(kContext, "Mtime and Size attributes for files will not be collected.");
    job.quit = QuitFlagCheck;
    job.quitContext = &run->volume;
    kzvol::ReaderOutcome outcome;
    *indexed = kzvol::ReadDeviceIntoTable(device.get(), &run->table, job, &outcome);
    if (!*indexed)
        g_log.Debug(kContext, "the directory reader did not index %s: %s", run->device.c_str(),
                    outcome.failure.c_str());
    device.reset();
    if (!CloseTable(&run->table, run->snapMountPath, run->tablePath))
        return false;
    if (!*indexed) {
        const std::string table = run->tablePath;
        for (const std::string& path :
             {std::string(run->volumeInfoPath), table + ".dat", table + ".idx"})
            DeleteOutput(path);
    } else {
        g_log.Debug(kContext,
                    "Meta Data Collection successful on the device . Did we save any time?");
    }
    return true;
}

// Writes the volume information and the index by walking the (snapshot) mount.
bool WalkSnapshotMount(MetadataRun* run) {
    KZVolumeUnix& volume = run->volume;
    if (!OpenTable(&run->table, run->mountPath, run->tablePath))
        return false;
    const char* snap = run->snapMountPath.c_str();
    if (!volume.DumpVolumeInfo(run->snapMountPath.data(), run->volumeInfoPath, run->extentSize,
                               run->aclEnabled, run->seLinuxEnforcing)) {
        g_log.Error(kContext, "failed to dump volumeinfo for  path=%s VIname=%s errno=%d\n",
                    run->mountPath, run->volumeInfoPath, errno);
        return false;
    }
    kzvol::UniqueDir dir(::opendir(snap));
    if (!dir) {
        g_log.Error(kContext, "failed to opendir path=%s errno=%d\n", snap, errno);
        return false;
    }
    struct stat64 root {};
    if (::stat64(snap, &root) != 0) {
        g_log.Error(kContext, " failed to do stat on mountpath=%s errno=%d \n", snap, errno);
        return false;
    }
    g_log.Debug(kContext, "1A:adding root dir  inode=%lu size=%ld mtime=%lu name=%s\n",
                static_cast<unsigned long>(root.st_ino), static_cast<long>(root.st_size),
                static_cast<unsigned long>(root.st_mtime), run->rootName);
    int rc = run->table.Add(0, root.st_ino, root.st_size, static_cast<unsigned int>(root.st_mtime),
                            1, run->rootName);
    if (rc != 0) {
        g_log.Error(kContext, "failed to add mntpath=%s to ctreetable ret=%d \n", run->mountPath,
                    rc);
        return false;
    }
    DIR* stream = dir.release();
    if (!DumpFileListToCTree(stream, run->snapMountPath, root.st_ino, &run->table,
                             volume.m_pJobCtrlClient))
        g_log.Error(kContext, "failed to dump filelist into Ctree file for path=%s dirp=0x%p\n",
                    run->mountPath, static_cast<void*>(stream));
    return CloseTable(&run->table, run->snapMountPath, run->tablePath);
}

bool CollectMetadata(MetadataRun* run) {
    KZVolumeUnix& volume = run->volume;
    if (!Switch("dEnableIMetaDataLog").empty()) {
        g_log.Debug(kContext, "enabling extra logging for metadata phase based on registry \n");
        volume.m_bExtraMetadataLog = 1;
        DebugLog = 1;
    }
    run->device = getrawdev(run->mountPath);
    run->fsType = FileSystemType(run->device);
    if (run->fsType != "ext2" && run->fsType != "ext3") {
        g_log.Debug(kContext, "Metadat Collection is supported only for ext2/ext3 . FS:%s",
                    run->fsType.c_str());
        return false;
    }
    const bool readerOff = !Switch("dDisableNewMetaData").empty();
    if (readerOff)
        g_log.Debug(kContext, "New way of collecting mete data has been disable via registry key");
    run->seLinuxEnforcing = CheckIfSELinuxEnforcing() ? 1 : 0;
    run->aclEnabled = CheckIfACLEnabled(run->mountPath) ? 1 : 0;

    SnapshotMount mounted;
    if (volume.m_bSkipSnapMount) {
        run->snapMountPath = run->mountPath;
    } else {
        if (!volume.MountSnap(run->mountPath, run->snapMountPath)) {
            g_log.Error(kContext, "failed to mount snap for mntpath=%s\n", run->mountPath);
            return false;
        }
        g_log.Debug(kContext, "successfully mounted snap for mntpath=%s to snapmntpath=%s\n",
                    run->mountPath, run->snapMountPath.c_str());
        mounted.Hold(run->snapMountPath);
        // The reader reads the frozen picture too, never the live device: the
        // device mounted there (none found: the walk alone).
        run->device = getrawdev(run->snapMountPath.data());
    }
    bool indexed = false;
    if (!readerOff && run->fsType == "ext3" && !run->device.empty() &&
        !RunDirectoryReader(run, &indexed))
        return false;
    if (indexed || volume.QuitNow())
        return true;
    return WalkSnapshotMount(run);
}

}  // namespace

bool KZVolumeUnix::DumpMetadataInformation(char* rootName, char* mountPath, char* volumeInfoPath,
                                           char* auxPath1, char* auxPath2, char* tablePath,
                                           unsigned long extentSize) {
    if (!rootName || !mountPath || !volumeInfoPath || !tablePath || !auxPath1 || !auxPath2) {
        g_log.Error(kContext, "invalid file name parameter\n");
        return false;
    }
    // Both strategies write the extent size as a 32-bit value; it is never cut.
    if (extentSize > UINT32_MAX) {
        g_log.Error(kContext, "extent size=%lu does not fit in 32 bits\n", extentSize);
        return false;
    }
    try {
        MetadataRun run(*this, rootName, mountPath, volumeInfoPath, tablePath, extentSize);
        return CollectMetadata(&run);
    } catch (const std::exception& e) {
        g_log.Error(kContext, "metadata collection failed: %s\n", e.what());
    } catch (...) {
        g_log.Error(kContext, "metadata collection failed\n");
    }
    return false;
}
