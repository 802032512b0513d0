// A request channel that records every request (its number and a copy of the
// record as the library sent it) before passing it to the stand-in driver.
#pragma once

#include <linux/ioctl.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "filter/DriverChannel.h"

namespace kzvol::testing {

struct SeenRequest {
    unsigned long request;
    std::vector<unsigned char> record;  // empty for requests without a record

    template <typename T>
    T As() const {
        T value;
        std::memcpy(&value, record.data(), sizeof value);
        return value;
    }
};

class RecordingChannel : public DriverChannel {
  public:
    explicit RecordingChannel(DriverChannel* target) : target_(target) {}

    int OpenNode(const std::string& path, int flags) override {
        return target_->OpenNode(path, flags);
    }
    int Request(int fd, unsigned long request, void* arg) override {
        SeenRequest seen{request, {}};
        if (arg && _IOC_SIZE(request))
            seen.record.assign(static_cast<unsigned char*>(arg),
                               static_cast<unsigned char*>(arg) + _IOC_SIZE(request));
        {
            std::lock_guard<std::mutex> lock(mu_);
            seen_.push_back(std::move(seen));
        }
        return target_->Request(fd, request, arg);
    }

    std::vector<SeenRequest> Seen() const {
        std::lock_guard<std::mutex> lock(mu_);
        return seen_;
    }
    // How many requests numbered `request` were sent.
    int Count(unsigned long request) const {
        int n = 0;
        for (const SeenRequest& s : Seen())
            n += s.request == request;
        return n;
    }
    // Bitmap requests of any kind (get, get-and-clear, set, merge, clear, save).
    int BitmapRequests() const {
        int n = 0;
        for (const SeenRequest& s : Seen())
            n +=
                _IOC_TYPE(s.request) == 0x43 && _IOC_NR(s.request) >= 9 && _IOC_NR(s.request) <= 14;
        return n;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mu_);
        seen_.clear();
    }

  private:
    DriverChannel* target_;
    mutable std::mutex mu_;
    std::vector<SeenRequest> seen_;
};

}  // namespace kzvol::testing
