// The identity file "config" of a backup repository: the format version, a
// random id, and the volume the repository protects (the underlying device as
// the driver names it, its size, its extent size, its file system's UUID when it
// has one). Written once, with the repository's first backup; every command
// reads it first and refuses a repository of a newer format or of another volume
// before it changes anything. A repository without one was made by an earlier
// version (format 1): it stays readable and gets one at its next backup.
#pragma once

#include <cstdint>
#include <string>

namespace kzvol::backup {

constexpr char kConfigFile[] = "config";
constexpr int kRepositoryVersion = 2;

struct VolumeIdentity {
    std::string device;  // last path component of the underlying device
    uint64_t volumeBytes = 0;
    uint64_t extentBytes = 0;
    std::string fsUuid;  // "" when the volume holds no file system with one
};

struct RepositoryConfig {
    int version = kRepositoryVersion;
    std::string id;  // 32 hex digits
    VolumeIdentity volume;
};

std::string FormatConfig(const RepositoryConfig& config);
// False with *error naming what is wrong, or the newer version it cannot read.
bool ParseConfig(const std::string& text, RepositoryConfig* out, std::string* error);
// A fresh random id.
std::string NewRepositoryId();
// "" when `volume` is the one `protectedVolume` describes; otherwise both, in words.
std::string IdentityMismatch(const VolumeIdentity& protectedVolume, const VolumeIdentity& volume);
std::string IdentityText(const VolumeIdentity& volume);

}  // namespace kzvol::backup
