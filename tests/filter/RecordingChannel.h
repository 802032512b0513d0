// A request channel that records every request (its number and a copy of the
// record as the library sent it) before passing it to the stand-in driver, and the
// memory-mode fixture that puts one in front of its driver. One thread only.
#pragma once

#include <linux/ioctl.h>

#include <cstring>
#include <optional>
#include <vector>

#include "filter/DriverChannel.h"
#include "tests/support/MemoryDriver.h"

namespace kzvol::testing {

struct SeenRequest {
    unsigned long request;
    std::vector<unsigned char> record;  // empty for requests without a record
};

class RecordingChannel : public DriverChannel {
  public:
    explicit RecordingChannel(DriverChannel* target) : target_(target) {}

    int OpenNode(const std::string& path, int flags) override {
        return target_->OpenNode(path, flags);
    }
    int Request(int fd, unsigned long request, void* arg) override {
        auto* bytes = static_cast<unsigned char*>(arg);
        seen_.push_back({request, {}});
        if (arg && _IOC_SIZE(request))
            seen_.back().record.assign(bytes, bytes + _IOC_SIZE(request));
        return target_->Request(fd, request, arg);
    }

    const std::vector<SeenRequest>& Seen() const { return seen_; }
    // How many requests numbered `request` were sent.
    int Count(unsigned long request) const {
        int n = 0;
        for (const SeenRequest& s : seen_)
            n += s.request == request;
        return n;
    }
    void Clear() { seen_.clear(); }

  private:
    DriverChannel* target_;
    std::vector<SeenRequest> seen_;
};

class RecordedDriver : public MemoryDriver {
  protected:
    void SetUp() override {
        MemoryDriver::SetUp();
        SetDriverChannel(&seen_.emplace(&driver()));
    }
    RecordingChannel& seen() { return *seen_; }
    // The record of the request sent `back` requests before the last one.
    template <typename T>
    T Sent(size_t back = 0) {
        T value;
        const auto& all = seen_->Seen();
        std::memcpy(&value, all[all.size() - 1 - back].record.data(), sizeof value);
        return value;
    }

  private:
    std::optional<RecordingChannel> seen_;
};

}  // namespace kzvol::testing
