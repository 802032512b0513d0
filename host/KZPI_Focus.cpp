// Instance name lookup.
#include "host/KZPI_Focus.h"

#include "host/KZPlatformInfo.h"

std::string KZPI_Focus::getFocus() {
    std::string name;
    KZPlatformInfo info;
    info.getString("Base", "sInstanceName", &name);
    return name;
}
