// Uses the installed library through the umbrella header only.
#include <dlfcn.h>

#include <cstdio>

#include "kzvol.h"

int main() {
    KZVolumeUnix volume("/dev/null/");
    if (volume.GetVolumeName() != "/dev/null" || !volume.Open(1))
        return 1;
    char sector[512];
    unsigned long done = 0;
    // /dev/null reads end at once: a short read, reported as failure.
    if (volume.Read(0, 1, sector, done))
        return 1;
    // The content-snapshot entry is exported under its plain C name.
    auto* snap =
        reinterpret_cast<int (*)(int, kz_subclient_contentlist*)>(dlsym(RTLD_DEFAULT, "KZVolSnap"));
    if (!snap || snap(0, nullptr) != 0)
        return 1;
    std::printf("consumer ok\n");
    return 0;
}
