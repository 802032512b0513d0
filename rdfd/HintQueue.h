// Hands read-ahead hints to the caller's hook on a thread of its own. A hint may
// block while the device queues the reads it asks for; on this thread that wait
// overlaps the walk instead of holding it up. Hints come in two classes: bulk
// (large ranges the walk reads throughout, like the inode tables) and the rest
// (blocks the walk will read soon), which go first. Within a class hints are
// given in the order they were pushed, every one of them: the destructor waits
// until the queue is empty (at the end of a walk the hints left are mostly for data
// read already, which costs the hook little). A class holds at most kMaxQueued
// hints; more are dropped, as advice may be. When no thread can be started, hints
// are given at once. A batch of hints costs one hand-over (one lock, one wake-up).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "rdfd/RDFDCallBacks.h"

namespace kzvol::rdfd {

class HintQueue {
  public:
    HintQueue(ReadAheadCallBack hook, void* context);
    ~HintQueue();
    HintQueue(const HintQueue&) = delete;
    HintQueue& operator=(const HintQueue&) = delete;

    struct Hint {
        uint64_t offset, length;
        bool bulk;
    };

    void Push(uint64_t offset, uint64_t length, bool bulk) {
        const Hint hint{offset, length, bulk};
        PushMany(&hint, 1);
    }
    void PushMany(const Hint* hints, size_t count);

    static constexpr size_t kMaxQueued = 1 << 20;

  private:
    void Run();

    ReadAheadCallBack hook_;
    void* context_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::pair<uint64_t, uint64_t>> soon_, bulk_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace kzvol::rdfd
