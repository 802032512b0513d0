// The ring of slots between the reader thread, the workers and the caller.
#include "backup/Pipeline.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace kzvol::backup {
namespace {

constexpr size_t kRingBytes = 128u << 20;

Slot MakeSlot(size_t capacity, size_t outCapacity) {
    Slot s;
    s.data.reset(new char[capacity]);
    if (outCapacity)
        s.out.reset(new char[outCapacity]);
    return s;
}

// Slot i % depth carries extent i. `filled` extents have been read, `claimed`
// taken by a worker, `drained` consumed; worked[s] says slot s is ready to drain.
// Each role sleeps on its own condition, woken only when it may go on.
class Ring {
  public:
    Ring(uint64_t count, const PipelineShape& shape) : count_(count), slots_(shape.depth) {
        for (Slot& s : slots_)
            s = MakeSlot(shape.capacity, shape.outCapacity);
        worked_.assign(slots_.size(), false);
    }

    void Fill(const Stage& fill) {
        for (uint64_t i = 0; i < count_; ++i) {
            std::unique_lock<std::mutex> lock(mu_);
            space_.wait(lock, [&] { return failed_ || i - drained_ < slots_.size(); });
            if (failed_)
                return;
            lock.unlock();
            if (!Run(fill, i))
                return;
            lock.lock();
            filled_ = i + 1;
            lock.unlock();
            // The last extent read lets every idle worker go.
            if (i + 1 == count_)
                work_.notify_all();
            else
                work_.notify_one();
        }
    }

    void Work(const Stage& work) {
        for (;;) {
            std::unique_lock<std::mutex> lock(mu_);
            work_.wait(lock, [&] { return failed_ || claimed_ < filled_ || claimed_ == count_; });
            if (failed_ || claimed_ == count_)
                return;
            const uint64_t i = claimed_++;
            lock.unlock();
            if (work && !Run(work, i))
                return;
            lock.lock();
            worked_[i % slots_.size()] = true;
            lock.unlock();
            done_.notify_one();
        }
    }

    bool Drain(const Stage& drain) {
        for (uint64_t i = 0; i < count_; ++i) {
            const size_t s = i % slots_.size();
            std::unique_lock<std::mutex> lock(mu_);
            done_.wait(lock, [&] { return failed_ || worked_[s]; });
            if (failed_)
                return false;
            lock.unlock();
            if (!Run(drain, i))
                return false;
            lock.lock();
            worked_[s] = false;
            drained_ = i + 1;
            lock.unlock();
            space_.notify_one();
        }
        return true;
    }

    std::string error() {
        std::lock_guard<std::mutex> lock(mu_);
        return error_;
    }

  private:
    // Runs one stage on extent i; a failure stops every thread, the first one's
    // error is kept.
    bool Run(const Stage& stage, uint64_t i) {
        Slot& slot = slots_[i % slots_.size()];
        std::string why;
        if (stage(i, slot, &why))
            return true;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (!failed_)
                error_ = why;
            failed_ = true;
        }
        for (std::condition_variable* cv : {&space_, &work_, &done_})
            cv->notify_all();
        return false;
    }

    const uint64_t count_;
    std::vector<Slot> slots_;
    std::vector<bool> worked_;
    std::mutex mu_;
    // The reader waits for space, the workers for work, the caller for done work.
    std::condition_variable space_, work_, done_;
    uint64_t filled_ = 0, claimed_ = 0, drained_ = 0;
    bool failed_ = false;
    std::string error_;
};

}  // namespace

PipelineShape PlanPipeline(size_t capacity, size_t outCapacity) {
    PipelineShape shape;
    shape.capacity = capacity;
    shape.outCapacity = outCapacity;
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t slotBytes = std::max<size_t>(1, capacity + outCapacity);
    shape.depth = std::max<size_t>(3, std::min(2 * cores + 2, kRingBytes / slotBytes));
    shape.workers = std::min(cores, shape.depth - 2);
    return shape;
}

bool RunPipeline(uint64_t count, const PipelineShape& shape, const PipelineStages& stages,
                 std::string* error) {
    Ring ring(count, shape);
    std::vector<std::thread> threads;
    threads.emplace_back([&] { ring.Fill(stages.fill); });
    for (size_t w = 0; w < std::max<size_t>(1, shape.workers); ++w)
        threads.emplace_back([&] { ring.Work(stages.work); });
    const bool ok = ring.Drain(stages.drain);
    for (std::thread& t : threads)
        t.join();
    if (!ok)
        *error = ring.error();
    return ok;
}

bool RunUnordered(uint64_t count, size_t capacity, size_t outCapacity, const Stage& step,
                  std::string* error) {
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    std::atomic<uint64_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex mu;
    auto run = [&] {
        Slot slot = MakeSlot(capacity, outCapacity);
        std::string why;
        for (uint64_t i; !failed && (i = next++) < count;) {
            if (step(i, slot, &why))
                continue;
            std::lock_guard<std::mutex> lock(mu);
            if (!failed.exchange(true))
                *error = why;
        }
    };
    std::vector<std::thread> threads;
    for (size_t t = 1; t < std::min<uint64_t>(cores, count); ++t)
        threads.emplace_back(run);
    run();
    for (std::thread& t : threads)
        t.join();
    return !failed;
}

}  // namespace kzvol::backup
