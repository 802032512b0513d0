// The single channel to the qnbf driver. Every driver request of the library goes
// through QnbfRequest, which calls ioctl; nodes under /dev/qnbf/ are opened through
// QnbfOpen. A process may plug another implementation of the driver's side into
// the channel (SetDriverChannel): the library never does so by itself.
//
// Threads: installing a channel is atomic; the installed channel must accept calls
// from several threads.
#pragma once

#include <string>

#include "host/Export.h"

namespace kzvol {

// The driver's node directory, its admin node and the prefix of filter and
// snapshot device nodes: the one definition the library, the tool and the stand-in
// driver use.
constexpr char kQnbfNodeDir[] = "/dev/qnbf/";
constexpr char kQnbfAdminNode[] = "/dev/qnbf/ctrl";
constexpr char kQnbfNodePrefix[] = "/dev/qnbf/qnbf";

// The driver's side of the channel. Defined wholly here, so that a stand-in driver
// built apart from the library can derive from it.
class KZVOL_API DriverChannel {
  public:
    virtual ~DriverChannel() = default;
    // Opens `path` with open(2) flags: a descriptor, or -1 with errno set.
    virtual int OpenNode(const std::string& path, int flags) = 0;
    // Answers one request on `fd`: 0 (or another non-negative value) on success,
    // -1 with errno set on failure.
    virtual int Request(int fd, unsigned long request, void* arg) = 0;
};

// Installs `channel` (null: the kernel) and returns the previous one.
KZVOL_API DriverChannel* SetDriverChannel(DriverChannel* channel);

// open(2) of a driver node, or of a device the caller wants through the channel.
KZVOL_API int QnbfOpen(const std::string& path, int flags);
// ioctl(2) of one driver request.
KZVOL_API int QnbfRequest(int fd, unsigned long request, void* arg);

// The admin node, opened read-write through the channel for the life of the object.
class KZVOL_API AdminNode {
  public:
    AdminNode();
    ~AdminNode();
    AdminNode(const AdminNode&) = delete;
    AdminNode& operator=(const AdminNode&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // errno of the failed open (0 when open).
    int open_errno() const { return open_errno_; }
    // One request on the node; errno is set to 0 first so that a failure's cause is
    // the driver's.
    int Request(unsigned long request, void* arg) const;

  private:
    int fd_;
    int open_errno_;
};

// "Open the admin node, send one request, close."
struct AdminReply {
    bool opened;  // false: the node could not be opened (err is open's errno)
    int fd;       // the descriptor open returned
    int ret;      // the request's return value (-1 when not opened)
    int err;      // errno after the failed open or request, else 0
};
KZVOL_API AdminReply SendAdminRequest(unsigned long request, void* arg);

}  // namespace kzvol
