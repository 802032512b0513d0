// A request channel that records every request (its number and a copy of the
// record as the library sent it) before passing it to the stand-in driver, and the
// memory-mode fixture that puts one in front of its driver.
#pragma once

#include <linux/ioctl.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "filter/DriverChannel.h"
#include "tests/support/MemoryDriver.h"

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
    void Clear() {
        std::lock_guard<std::mutex> lock(mu_);
        seen_.clear();
    }

  private:
    DriverChannel* target_;
    mutable std::mutex mu_;
    std::vector<SeenRequest> seen_;
};

class RecordedDriver : public MemoryDriver {
  protected:
    void SetUp() override {
        MemoryDriver::SetUp();
        seen_ = std::make_unique<RecordingChannel>(&driver());
        SetDriverChannel(seen_.get());
    }
    RecordingChannel& seen() { return *seen_; }
    // The record of the request sent `back` requests before the last one.
    template <typename T>
    T Sent(size_t back = 0) {
        auto all = seen_->Seen();
        return all[all.size() - 1 - back].As<T>();
    }

  private:
    std::unique_ptr<RecordingChannel> seen_;
};

}  // namespace kzvol::testing
