// Writing, parsing and comparing a repository's identity file.
#include "backup/Config.h"

#include <cstdio>
#include <random>
#include <sstream>
#include <vector>

namespace kzvol::backup {
namespace {

constexpr char kHeader[] = "kzvol backup repository";
constexpr char kPlain[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._+:@,=-";

// Device names are written with every other byte as %XX, so a line is always
// "key value".
std::string Escape(const std::string& text) {
    if (text.empty())
        return "-";
    std::string out;
    for (unsigned char c : text) {
        if (std::string(kPlain).find(static_cast<char>(c)) != std::string::npos && c != 0) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

bool Unescape(const std::string& text, std::string* out) {
    out->clear();
    if (text == "-")
        return true;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            *out += text[i];
            continue;
        }
        unsigned int byte = 0;
        if (i + 2 >= text.size() || std::sscanf(text.substr(i + 1, 2).c_str(), "%2X", &byte) != 1)
            return false;
        *out += static_cast<char>(byte);
        i += 2;
    }
    return true;
}

bool Number(const std::string& text, uint64_t* out) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = std::stoull(text);
    return true;
}

}  // namespace

std::string FormatConfig(const RepositoryConfig& c) {
    return std::string(kHeader) + "\nversion " + std::to_string(c.version) + "\nid " + c.id +
           "\ndevice " + Escape(c.volume.device) + "\nvolume-bytes " +
           std::to_string(c.volume.volumeBytes) + "\nextent-bytes " +
           std::to_string(c.volume.extentBytes) + "\nfs-uuid " + Escape(c.volume.fsUuid) + "\n";
}

bool ParseConfig(const std::string& text, RepositoryConfig* out, std::string* error) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kHeader) {
        *error = "it is not a kzvol repository identity file";
        return false;
    }
    const char* keys[] = {"version", "id", "device", "volume-bytes", "extent-bytes", "fs-uuid"};
    std::vector<std::string> values;
    for (const char* key : keys) {
        std::string name, value, rest;
        std::getline(in, line);
        std::istringstream words(line);
        if (!(words >> name >> value) || (words >> rest) || name != key) {
            *error = std::string("it lacks a \"") + key + " VALUE\" line";
            return false;
        }
        values.push_back(value);
        if (values.size() == 1 && values[0] != std::to_string(kRepositoryVersion)) {
            *error = "it is of format version " + values[0] + "; this kzvol knows version " +
                     std::to_string(kRepositoryVersion);
            return false;
        }
    }
    RepositoryConfig c;
    if (values[1].size() != 32 ||
        values[1].find_first_not_of("0123456789abcdef") != std::string::npos ||
        !Unescape(values[2], &c.volume.device) || !Number(values[3], &c.volume.volumeBytes) ||
        !Number(values[4], &c.volume.extentBytes) || !Unescape(values[5], &c.volume.fsUuid) ||
        (std::getline(in, line) && !line.empty())) {
        *error = "it holds a bad value";
        return false;
    }
    c.id = values[1];
    *out = c;
    return true;
}

std::string NewRepositoryId() {
    std::random_device random;
    std::string id;
    char hex[9];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned int>(random()));
        id += hex;
    }
    return id;
}

std::string IdentityText(const VolumeIdentity& v) {
    return "the volume over " + (v.device.empty() ? "an unnamed device" : v.device) + " (" +
           std::to_string(v.volumeBytes) + " bytes in extents of " + std::to_string(v.extentBytes) +
           (v.fsUuid.empty() ? ", no file system UUID" : ", file system " + v.fsUuid) + ")";
}

std::string IdentityMismatch(const VolumeIdentity& p, const VolumeIdentity& v) {
    if (p.device == v.device && p.volumeBytes == v.volumeBytes && p.extentBytes == v.extentBytes &&
        (p.fsUuid.empty() || p.fsUuid == v.fsUuid))
        return "";
    return "it protects " + IdentityText(p) + "; this is " + IdentityText(v);
}

}  // namespace kzvol::backup
