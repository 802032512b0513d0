// Configuration lookups in the host registry: an INI file named by KZVOL_CONFIG
// (default /etc/kzvol/registry.ini), read when the object is built. Build one
// object per lookup so that changes to the file are seen.
#pragma once

#include <string>

#include "host/IniFile.h"

class KZPlatformInfo {
  public:
    // Throws KzException when the file exists but cannot be read.
    KZPlatformInfo();

    // Copies the value with its NUL into buffer, truncated to *length - 1 bytes,
    // and sets *length to the value's full length. Non-zero when the value exists.
    int getString(const char* section, const char* key, char* buffer, int* length);
    int getString(const char* section, const char* key, std::string* value);
    // True when section "Machines/<name>" has bClusterGroupClient=1.
    bool isClusterGroupClient(const std::string& name);

    static std::string RegistryPath();

  private:
    kzvol::IniFile ini_;
};
