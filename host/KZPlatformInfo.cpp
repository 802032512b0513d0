// Registry lookups over IniFile.
#include "host/KZPlatformInfo.h"

#include <cstdlib>
#include <cstring>

std::string KZPlatformInfo::RegistryPath() {
    const char* path = std::getenv("KZVOL_CONFIG");
    return path && *path ? path : "/etc/kzvol/registry.ini";
}

KZPlatformInfo::KZPlatformInfo() : ini_(kzvol::IniFile::Load(RegistryPath())) {}

int KZPlatformInfo::getString(const char* section, const char* key, char* buffer, int* length) {
    auto value = ini_.Get(section, key);
    if (!value)
        return 0;
    if (buffer && length && *length > 0) {
        size_t n = std::min(value->size(), static_cast<size_t>(*length - 1));
        std::memcpy(buffer, value->data(), n);
        buffer[n] = '\0';
    }
    if (length)
        *length = static_cast<int>(value->size());
    return 1;
}

int KZPlatformInfo::getString(const char* section, const char* key, std::string* value) {
    auto found = ini_.Get(section, key);
    if (!found)
        return 0;
    if (value)
        *value = *found;
    return 1;
}

bool KZPlatformInfo::isClusterGroupClient(const std::string& name) {
    auto value = ini_.Get("Machines/" + name, "bClusterGroupClient");
    return value && *value == "1";
}
