// The reader thread and the ring of buffers between it and the caller.
#include "backup/Pipeline.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace kzvol::backup {
namespace {

// Slots pass from the filler to the drainer in ring order. `filled` counts slots
// handed to the drainer, `drained` slots handed back.
struct Ring {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<Slot> slots;
    uint64_t filled = 0, drained = 0;
    bool failed = false;
};

}  // namespace

size_t PipelineDepth(size_t capacity) {
    constexpr size_t kRingBytes = 64u << 20;
    return std::max<size_t>(2, std::min<size_t>(4, kRingBytes / (capacity ? capacity : 1)));
}

bool RunPipeline(uint64_t count, size_t capacity, size_t depth,
                 const std::function<bool(uint64_t, Slot&)>& fill,
                 const std::function<bool(uint64_t, Slot&)>& drain) {
    Ring ring;
    ring.slots.resize(depth ? depth : 1);
    for (Slot& s : ring.slots)
        s.data.reset(new char[capacity]);
    const size_t n = ring.slots.size();

    std::thread reader([&] {
        for (uint64_t i = 0; i < count; ++i) {
            std::unique_lock<std::mutex> lock(ring.mu);
            ring.cv.wait(lock, [&] { return ring.failed || i - ring.drained < n; });
            if (ring.failed)
                return;
            lock.unlock();
            bool ok = fill(i, ring.slots[i % n]);
            lock.lock();
            ring.failed |= !ok;
            ring.filled += ok ? 1 : 0;
            ring.cv.notify_all();
            if (!ok)
                return;
        }
    });
    bool ok = true;
    for (uint64_t i = 0; ok && i < count; ++i) {
        std::unique_lock<std::mutex> lock(ring.mu);
        ring.cv.wait(lock, [&] { return ring.failed || ring.filled > i; });
        if (ring.filled <= i) {
            ok = false;
            break;
        }
        lock.unlock();
        ok = drain(i, ring.slots[i % n]);
        lock.lock();
        ring.failed |= !ok;
        ring.drained = i + 1;
        ring.cv.notify_all();
    }
    reader.join();
    return ok && !ring.failed;
}

}  // namespace kzvol::backup
