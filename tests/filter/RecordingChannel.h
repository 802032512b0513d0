// A request channel that records every request (its number and a copy of the record
// as sent) before passing it to the stand-in driver, and the fixture that puts one in
// front of its driver. One thread only.
#pragma once

#include <linux/ioctl.h>

#include <algorithm>
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
        seen.push_back({request, {}});
        if (arg)
            seen.back().record.assign(bytes, bytes + _IOC_SIZE(request));
        return target_->Request(fd, request, arg);
    }
    std::vector<SeenRequest> seen;

  private:
    DriverChannel* target_;
};

class RecordedDriver : public MemoryDriver {
  protected:
    void SetUp() override {
        MemoryDriver::SetUp();
        SetDriverChannel(&channel_.emplace(&driver()));
    }
    RecordingChannel& channel() { return *channel_; }
    std::vector<SeenRequest>& seen() { return channel_->seen; }
    unsigned long LastRequest() { return seen().back().request; }
    int Count(unsigned long request) {
        return std::count_if(seen().begin(), seen().end(),
                             [&](const SeenRequest& s) { return s.request == request; });
    }
    // The record of the request sent `back` requests before the last one.
    template <typename T>
    T Sent(size_t back = 0) {
        T value;
        std::memcpy(&value, seen().rbegin()[back].record.data(), sizeof value);
        return value;
    }

  private:
    std::optional<RecordingChannel> channel_;
};

}  // namespace kzvol::testing
