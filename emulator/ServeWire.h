// The messages between the stand-in driver's request handlers and its serving
// process (kzvol-filterd), over the Unix socket in the state directory. A message
// is a text head (words separated by blanks) and an opaque body, each sent behind
// its length. A request is one connection: one message each way. Replies start
// with "ok" or with "err" and an errno value.
#pragma once

#include <cstdint>
#include <string>

namespace kzvol::emulator {

struct Message {
    std::string head;
    std::string body;
};

// The socket, pid file, log and mount point of the serving process in `stateDir`.
std::string ServeSocket(const std::string& stateDir);
std::string ServePidFile(const std::string& stateDir);
std::string ServeLog(const std::string& stateDir);
std::string ServeMount(const std::string& stateDir);
// The served files of filter device `id` and of its snapshot, under ServeMount.
std::string VolumeFileName(uint64_t id);
std::string SnapshotFileName(uint64_t id);

// 0, or the errno of the failed transfer (EPROTO for a malformed message).
int SendMessage(int fd, const Message& m);
int ReceiveMessage(int fd, Message* m);

}  // namespace kzvol::emulator
