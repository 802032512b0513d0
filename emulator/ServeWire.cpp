// Framing of the messages between the stand-in driver and its serving process.
#include "emulator/ServeWire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kzvol::emulator {
namespace {

// Heads are short; bodies are bitmaps, whose size the largest volume bounds.
constexpr uint64_t kMaxHead = 1 << 16;
constexpr uint64_t kMaxBody = 1ull << 30;

int Errno() {
    return errno ? errno : EIO;
}

int SendAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t put = ::send(fd, p, n, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return Errno();
        p += put;
        n -= static_cast<size_t>(put);
    }
    return 0;
}

int ReceiveAll(int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t got = ::recv(fd, p, n, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Errno();
        if (got == 0)
            return ECONNRESET;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return 0;
}

}  // namespace

std::string ServeSocket(const std::string& stateDir) {
    return stateDir + "/filterd.sock";
}
std::string ServePidFile(const std::string& stateDir) {
    return stateDir + "/filterd.pid";
}
std::string ServeLog(const std::string& stateDir) {
    return stateDir + "/filterd.log";
}
std::string ServeMount(const std::string& stateDir) {
    return stateDir + "/served";
}
std::string VolumeFileName(uint64_t id) {
    return "v" + std::to_string(id);
}
std::string SnapshotFileName(uint64_t id) {
    return "s" + std::to_string(id);
}

int SendMessage(int fd, const Message& m) {
    uint64_t lengths[2] = {m.head.size(), m.body.size()};
    if (int err = SendAll(fd, reinterpret_cast<const char*>(lengths), sizeof lengths))
        return err;
    if (int err = SendAll(fd, m.head.data(), m.head.size()))
        return err;
    return SendAll(fd, m.body.data(), m.body.size());
}

int ReceiveMessage(int fd, Message* m) {
    uint64_t lengths[2];
    if (int err = ReceiveAll(fd, reinterpret_cast<char*>(lengths), sizeof lengths))
        return err;
    if (lengths[0] > kMaxHead || lengths[1] > kMaxBody)
        return EPROTO;
    m->head.resize(lengths[0]);
    m->body.resize(lengths[1]);
    if (int err = ReceiveAll(fd, m->head.data(), m->head.size()))
        return err;
    return ReceiveAll(fd, m->body.data(), m->body.size());
}

}  // namespace kzvol::emulator
