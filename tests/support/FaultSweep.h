// Fault sweep through the driver channel: an operation runs cleanly, then once per driver
// call it makes with that call failing, each run checked against the clean one.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

#include "filter/DriverChannel.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {

struct Call {          // a node opened, or a request sent
    std::string node;  // empty for a request
    unsigned long request = 0;
};

// Forwards to `target`, counting calls; call number fail_at fails, kept in `failed`.
class FailNth : public DriverChannel {
  public:
    explicit FailNth(DriverChannel* target) : target_(target) {}
    int OpenNode(const std::string& path, int flags) override {
        return Fails({path, 0}, ENOENT) ? -1 : target_->OpenNode(path, flags);
    }
    int Request(int fd, unsigned long request, void* arg) override {
        return Fails({"", request}, EIO) ? -1 : target_->Request(fd, request, arg);
    }
    bool Fails(const Call& call, int err) {
        if (calls++ != fail_at)
            return false;
        failed = call;
        errno = err;
        return true;
    }
    DriverChannel* target_;
    int fail_at = -1, calls = 0;
    Call failed;
};

struct Operation {
    std::string name;
    std::function<bool()> run;
    bool answer_on_failure;  // the documented answer when a step fails
    // Calls whose failure is documented as harmless (answer unchanged).
    std::function<bool(const Call&)> best_effort = [](const Call&) { return false; };
    std::function<void()> cleanup = [] {};  // undoes what a run is documented to leave
};

// Sweeps `op` in front of `driver` (plugged in again at the end); `inventory` lists
// what must not be left behind.
inline void SweepDriverCalls(DriverChannel* driver, const Operation& op,
                             const std::function<std::string()>& inventory) {
    SCOPED_TRACE(op.name);
    FailNth channel(driver);
    SetDriverChannel(&channel);
    const int descriptors = OpenDescriptorCount();
    ASSERT_TRUE(op.run());
    op.cleanup();
    const int calls = channel.calls;
    const std::string before = inventory();  // with what a successful run makes
    EXPECT_GT(calls, 0);
    for (int k = 0; k < calls; ++k) {
        channel.fail_at = k;
        channel.calls = 0;
        const bool answer = op.run();
        channel.fail_at = -1;
        op.cleanup();
        const Call& failed = channel.failed;
        SCOPED_TRACE(std::to_string(k) + ": " + failed.node + std::to_string(failed.request));
        EXPECT_EQ(answer, op.best_effort(failed) || op.answer_on_failure);
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
        EXPECT_EQ(inventory(), before);
    }
    SetDriverChannel(driver);
}

}  // namespace kzvol::testing
