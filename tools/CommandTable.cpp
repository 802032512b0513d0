// The table of kzvol commands.
#include "tools/Commands.h"

namespace kzvol::cli {

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {
        {"read", "read SOURCE --offset SECTORS --count SECTORS [--out FILE]",
         "copy raw 512-byte sectors of a device or image to FILE or standard output", RunRead},
        {"mountpoint", "mountpoint DEVICE", "print the directory DEVICE is mounted on",
         RunMountpoint},
        {"device", "device MOUNTPOINT", "print the device mounted on MOUNTPOINT", RunDevice},
        {"exclusive", "exclusive DEVICE_OR_MOUNTPOINT [--type T --options O] -- COMMAND [ARGS...]",
         "unmount the file system, run COMMAND, mount it again (with type T and options O "
         "when given); exits with COMMAND's status",
         RunExclusive},
        {"handler", "handler FIRST SECOND JOBID",
         "run the snapshot handler script ImgPodSnapHandler.sh with a 30-minute limit", RunHandler},
        {"devices", "devices",
         "list the filter devices: minor, node, underlying device, size, "
         "snapshots, bitmap sizes",
         RunDevices},
        {"filter", "filter add DEVICE [--extent-blocks N] [--fstab] | filter remove NODE [--fstab]",
         "put DEVICE under the filter driver and print the new filter node and its minor "
         "(--extent-blocks: change-tracking extent in 512-byte blocks, default 4096; --fstab: "
         "make /etc/fstab mount it through the filter node), or take the filter node NODE out "
         "again (--fstab: give /etc/fstab back the way add found it)",
         RunFilter},
        {"probe", "probe PATH", "classify PATH and show its size and sector geometry", RunProbe},
        {"emulator",
         "emulator start [--memory] [--force] | stop | status | add PATH [--extent-size BYTES] | "
         "remove NODE | kzsnap -- ARGS  [--state DIR]",
         "prepare, tear down or show the stand-in filter driver; add puts PATH (a file in "
         "memory mode, a block device in devices mode) under it with its extent size (default "
         "2097152) and prints the minor and node of its filter device, remove takes NODE out; "
         "kzsnap is the stand-in's snapshot tool (-c create_script prints the boot script, "
         "-a DEVICE -e BYTES re-creates a filter device)",
         RunEmulator},
        {"volinfo", "volinfo NODE",
         "show what the driver reports about the filter device NODE (such as /dev/qnbf/qnbf3): "
         "size in 512-byte blocks, bitmap sizes, whether it has a snapshot",
         RunVolinfo},
        {"bitmap", "bitmap get|getclr|set|clear|merge|save NODE --type incr|diff [--file F]",
         "read (get), read and clear (getclr), replace (set), clear, OR into (merge) or save a "
         "change bitmap of NODE; get and getclr write the raw bitmap to F or print the numbers "
         "of the changed extents, set and merge read F",
         RunBitmap},
        {"snap",
         "snap create|stop|remove NODE [--cow-dir DIR] | snap read NODE --offset BLOCKS "
         "--count BLOCKS [--out F]",
         "create a copy-on-write snapshot of NODE (prints its node; the copy-on-write files go "
         "to DIR, default $KZ_SNAP_PARTITION), read 512-byte blocks of it to F or standard "
         "output, stop it, remove its copy-on-write files",
         RunSnap},
        {"index",
         "index SOURCE --table PATH [--volinfo PATH] [--root-name NAME] [--extent-size N] "
         "[--optimized] [--names-only] [--acl 0|1] [--selinux 0|1]",
         "list every directory, file and link of the ext2/ext3 file system on SOURCE into "
         "the file-index table PATH (PATH.dat, PATH.idx), straight from the device",
         RunIndex},
        {"metadata",
         "metadata MOUNTPOINT --table PATH --volinfo PATH [--root-name NAME] "
         "[--extent-size N] [--skip-snap-mount]",
         "collect the file index (PATH.dat, PATH.idx) and the volume information of the "
         "ext2/ext3 file system mounted on MOUNTPOINT: from a read-only snapshot mounted "
         "under /talmartmp, or from MOUNTPOINT itself with --skip-snap-mount",
         RunMetadata},
        {"acl-dump", "acl-dump DIR --out FILE",
         "dump the access ACL of every directory and file under DIR into FILE, each distinct "
         "ACL once, with the index list (inode offset size, in inode order) in FILE.idx",
         RunAclDump},
        {"volinfo-file", "volinfo-file PATH",
         "check a volume-information file and print it by field", RunVolinfoFile},
        {"rows", "rows PATH",
         "print every row of the file-index table PATH in table order, tab-separated: parent "
         "inode, inode, size, mtime, type (1 directory, 0 other), name",
         RunRows},
        {"ls", "ls PATH [DIR] | ls REPO [--backup ID] [DIR]",
         "list directory DIR (default: the root) of the file-index table PATH, or of the index "
         "of backup ID (default: the newest) of the repository REPO",
         RunLs},
        {"find", "find PATH FILEPATH | find REPO [--backup ID] FILEPATH",
         "print the row of FILEPATH in the file-index table PATH, or in the index of backup ID "
         "of the repository REPO",
         RunFind},
        {"extents",
         "extents SOURCE --name NAME --job-results DIR --extent-size BYTES [--type 0|1] "
         "[--tape-file N] [--restart LAST] [--limit N] [--promote]",
         "decide per extent of a device or image whether a backup sends it (send/skip)",
         RunExtents},
        {"backup",
         "backup NODE --repo DIR [--incremental] [--index] [--used-only] [--cow-dir DIR] "
         "[--extent-size BYTES]",
         "back the filter device NODE up into the repository DIR: a full backup, or with "
         "--incremental only the extents changed since the last backup; --index adds the "
         "file-index table of its file system; --used-only stores only the blocks its "
         "ext2/ext3 file system uses (the rest restores as zeros); the snapshot's "
         "copy-on-write files go to --cow-dir (default: KZ_SNAP_PARTITION, else DIR); "
         "--extent-size states the device's extent size when its bitmap fits several",
         RunBackup},
        {"backups", "backups DIR",
         "list the backups of the repository DIR: id, kind, parent, time, extents, bytes, "
         "stored bytes, index, and whether only used blocks were stored",
         RunBackups},
        {"restore", "restore DIR [--backup ID] [--path PATH] --to TARGET",
         "rebuild the volume as it was at backup ID (default: the newest) from its chain, "
         "checking every extent's digest, to the file or block device TARGET; with --path, "
         "restore only the file, symbolic link or directory tree PATH of the backup's file "
         "system to TARGET, found through its file index and read from the backup without "
         "restoring the volume (mode, times and, as root, owner kept); a file is replaced "
         "only when complete, a directory only restored to a new name",
         RunRestore},
        {"mount", "mount DIR [--backup ID] [--foreground] MOUNTPOINT",
         "serve the volume as it was at backup ID (default: the newest) as the read-only file "
         "MOUNTPOINT/image through FUSE, each extent read from the newest backup of the chain "
         "holding it and checked on first read (a damaged extent answers EIO); runs in the "
         "background until kzvol umount",
         RunMount},
        {"umount", "umount MOUNTPOINT", "end a kzvol mount", RunUmount},
        {"verify", "verify DIR",
         "check every backup of the repository DIR: its chain, its extents file and every "
         "extent's digest",
         RunVerify},
        {"content-snap", "content-snap PATH... --list FILE | content-snap --release FILE",
         "snapshot the filter volumes holding the content PATHs, mount the snapshots read-only "
         "under /snapmnt and save what was made to FILE; with --release, unmount and release "
         "what FILE lists. Prints one line per snapshot, tab-separated: mount point, filter "
         "device, snapshot mount path, status (0 ok, 1 still mounted, 2 not released)",
         RunContentSnap},
    };
    return commands;
}

}  // namespace kzvol::cli
