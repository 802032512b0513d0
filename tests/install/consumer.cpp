// An outside program built against the installed library through the umbrella
// header only: reads two sectors of a file of its own through a volume object. The
// checks that run it expect "consumer ok" and nothing at all on standard error.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "kzvol.h"

int main() {
    char path[] = "/tmp/kzvol-consumer-XXXXXX";
    int fd = ::mkstemp(path);
    if (fd < 0)
        return 1;
    std::string data(1024, 'k');
    bool written = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    ::close(fd);
    char sectors[1024] = {};
    unsigned long done = 0;
    bool ok = false;
    {
        KZVolumeUnix volume(path);
        ok = written && volume.Open(1) && volume.Read(0, 2, sectors, done) && done == 2 &&
             std::memcmp(sectors, data.data(), sizeof sectors) == 0;
    }
    ::unlink(path);
    if (!ok)
        return 1;
    std::printf("consumer ok\n");
    return 0;
}
