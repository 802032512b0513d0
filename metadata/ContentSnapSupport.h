// Pieces shared by the content-snapshot operations: the critical event codes,
// the path-component test behind the mount-point search, the snapshot mount
// directory, the one-command runner and the driver's snapshot flag of a volume.
#pragma once

#include <string>

class KZVolumeUnix;

namespace kzvol::contentsnap {

// Critical events of content snapshots and releases.
constexpr int kEventRootPath = 0x7000068;       // the content path is "/"
constexpr int kEventStatFailed = 0x7000069;     // a path cannot be stat'ed
constexpr int kEventNoMountTable = 0x700006A;   // the mount table cannot be read
constexpr int kEventNoSnapshot = 0x700006B;     // no filter volume, or no snapshot made
constexpr int kEventMountFailed = 0x700006C;    // the snapshot cannot be mounted
constexpr int kEventReleaseFailed = 0x700006D;  // a snapshot cannot be released

constexpr char kSnapMountRoot[] = "/snapmnt";

// Raises `code` with `arg` as its one argument (none when null).
void RaiseEvent(int code, const std::string* arg);

// True when the mount directory `dir` is `top` or lies below it, by whole path
// components; trailing slashes of `top` do not count, so "/" holds every
// absolute directory.
bool IsAtOrBelow(const std::string& dir, const std::string& top);

// `path` with repeated slashes, "." and ".." components and a trailing slash
// taken out lexically, so that "/area/." is seen as "/area".
std::string NormalPath(const std::string& path);

// Where the snapshot of the volume mounted on `mntPath` is mounted.
inline std::string SnapMountPath(const std::string& mntPath) {
    return kSnapMountRoot + mntPath;
}

// Runs `command` through the host's process runner with fresh *output and
// *error; its result, 0 on success.
int RunCommand(const std::string& command, std::string* output, std::string* error);

// True when the mount table lists `device` (by name or device number) mounted
// on `dir`.
bool IsMountedAt(const std::string& device, const std::string& dir);

// Reads the driver's information on the volume `volume` is bound to. False when
// the request failed; otherwise *hasSnapshot tells whether the driver reports at
// least one snapshot of it.
bool VolumeHasSnapshot(KZVolumeUnix& volume, bool* hasSnapshot);

}  // namespace kzvol::contentsnap
