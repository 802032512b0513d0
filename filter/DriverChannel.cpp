// The request channel to the qnbf driver: ioctl by default, or the plugged channel.
#include "filter/DriverChannel.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace kzvol {
namespace {
std::atomic<DriverChannel*> g_channel{nullptr};
}

DriverChannel* SetDriverChannel(DriverChannel* channel) {
    return g_channel.exchange(channel);
}

int QnbfOpen(const std::string& path, int flags) {
    if (DriverChannel* channel = g_channel.load())
        return channel->OpenNode(path, flags);
    return ::open(path.c_str(), flags);
}

int QnbfRequest(int fd, unsigned long request, void* arg) {
    if (DriverChannel* channel = g_channel.load())
        return channel->Request(fd, request, arg);
    return ::ioctl(fd, request, arg);
}

AdminNode::AdminNode()
    : fd_(QnbfOpen(kQnbfAdminNode, O_RDWR | O_CLOEXEC)), open_errno_(fd_ < 0 ? errno : 0) {}

AdminNode::~AdminNode() {
    if (fd_ >= 0)
        ::close(fd_);
}

int AdminNode::Request(unsigned long request, void* arg) const {
    errno = 0;
    return QnbfRequest(fd_, request, arg);
}

AdminReply SendAdminRequest(unsigned long request, void* arg) {
    AdminNode node;
    if (!node.ok())
        return {false, node.fd(), -1, node.open_errno()};
    int ret = node.Request(request, arg);
    int err = ret < 0 ? errno : 0;
    return {true, node.fd(), ret, err};
}

}  // namespace kzvol
