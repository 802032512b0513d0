// The read-ahead thread: takes hints off the queue in order and gives them to the
// hook outside the lock.
#include "rdfd/HintQueue.h"

#include <system_error>

namespace kzvol::rdfd {

HintQueue::HintQueue(ReadAheadCallBack hook, void* context) : hook_(hook), context_(context) {
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        // No thread: Push gives each hint at once.
    }
}

HintQueue::~HintQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    ready_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void HintQueue::PushMany(const Hint* hints, size_t count) {
    if (!thread_.joinable()) {
        for (size_t i = 0; i < count; ++i)
            hook_(context_, hints[i].offset, hints[i].length);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < count; ++i) {
            auto& queue = hints[i].bulk ? bulk_ : soon_;
            if (queue.size() < kMaxQueued)
                queue.emplace_back(hints[i].offset, hints[i].length);
        }
    }
    ready_.notify_one();
}

void HintQueue::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ready_.wait(lock, [this] { return stop_ || !soon_.empty() || !bulk_.empty(); });
        auto& queue = soon_.empty() ? bulk_ : soon_;
        if (queue.empty())
            return;  // stopped, and every hint given
        const auto [offset, length] = queue.front();
        queue.pop_front();
        lock.unlock();
        hook_(context_, offset, length);
        lock.lock();
    }
}

}  // namespace kzvol::rdfd
