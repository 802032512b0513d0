// What the directory reader knows it will read next. Blocks the walk announces
// (a directory's block pointers once its inode is read, an indirect block's
// entries, the optimized walker's queued blocks) are kept as runs of consecutive
// numbers, so that one device read fetches a whole run, and each new run is
// passed to the caller's read-ahead hook, so the device works on it while the walk
// goes on. Without a hook nothing is hinted; runs still join neighbouring reads.
// Hints go through a HintQueue, so the hook runs on the queue's thread; announced
// blocks go ahead of bulk ranges, which are handed on in pieces so that the
// announced blocks need not wait long behind them. On a device that answers from
// memory a hint saves nothing and waking the hint thread for each one costs more
// than the walk's own reads, so there hints can be handed on in batches.
//
// Threads: one plan belongs to one reader and is used from the caller's thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "rdfd/HintQueue.h"
#include "rdfd/RDFDCallBacks.h"

namespace kzvol::rdfd {

class ReadPlan {
  public:
    ReadPlan(ReadAheadCallBack hook, void* context) : hook_(hook), context_(context) {}
    ReadPlan(ReadPlan&&) = default;
    // Hands on the hints held back; the queue then gives every one of them.
    ReadPlan& operator=(ReadPlan&& other) {
        Flush();
        hook_ = other.hook_;
        context_ = other.context_;
        blockSize_ = other.blockSize_;
        hintedBytes_ = other.hintedBytes_;
        batched_ = other.batched_;
        timedReads_ = other.timedReads_;
        slowReads_ = other.slowReads_;
        pending_ = std::move(other.pending_);
        queue_ = std::move(other.queue_);
        runs_ = std::move(other.runs_);
        return *this;
    }
    ~ReadPlan() { Flush(); }

    void SetBlockSize(uint32_t blockSize) { blockSize_ = blockSize; }
    // Batched, hints are held back and handed on kBatch at a time (and at the end),
    // instead of one by one as they come; a hint that continues the one held back
    // before it (bulk ranges excepted) joins it. Turning it off hands on those held back.
    void SetBatched(bool batched) {
        batched_ = batched;
        if (!batched)
            Flush();
    }
    bool Batched() const { return batched_; }
    // Takes the time one of the walk's reads took while batched. When reads turn
    // out slow (at least kSlowReads of them, and more than one in eight), the device
    // does not answer from memory after all: batching ends, and true is answered.
    bool NoteRead(std::chrono::steady_clock::duration took);
    // True when a hook takes hints: only then is it worth reading ahead to find them.
    bool Hinting() const { return hook_ != nullptr && blockSize_ != 0; }

    // Announces blocks in the order the walk will read them; zeros are skipped.
    // Neighbours (each number one above the one before) form one run. At most
    // kMaxRuns runs are remembered (a damaged file system can announce any number);
    // beyond that, runs are only hinted.
    void Announce(const uint32_t* blocks, size_t count);
    // Hints a byte range of the device to the hook, without remembering it; a bulk
    // range gives way to announced blocks.
    void HintBytes(uint64_t offset, uint64_t length, bool bulk = false);

    // How many blocks, from `block` on and at most `limit`, one read should fetch:
    // the rest of the announced run that holds `block`, with the announced runs
    // that continue it on the device, or 1. The blocks returned are forgotten.
    uint32_t TakeRun(uint32_t block, uint32_t limit);

    uint64_t HintedBytes() const { return hintedBytes_; }

    static constexpr size_t kMaxRuns = 1 << 19;
    static constexpr size_t kBatch = 256;
    static constexpr uint64_t kSlowReads = 8;
    static constexpr std::chrono::microseconds kSlowRead{40};

  private:
    void AddRun(uint32_t first, uint32_t count);
    void Give(uint64_t offset, uint64_t length, bool bulk);
    // Hands the held-back hints to the queue.
    void Flush();

    ReadAheadCallBack hook_;
    void* context_;
    uint32_t blockSize_ = 0;
    uint64_t hintedBytes_ = 0;
    bool batched_ = false;
    uint64_t timedReads_ = 0, slowReads_ = 0;  // while batched
    std::vector<HintQueue::Hint> pending_;     // held back while batched
    std::unique_ptr<HintQueue> queue_;         // started with the first hint
    std::map<uint32_t, uint32_t> runs_;        // first block -> blocks in the run
};

}  // namespace kzvol::rdfd
