// Uses the installed library through the umbrella header only.
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
    std::printf("consumer ok\n");
    return 0;
}
