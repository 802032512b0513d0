// Runs of announced blocks: joining, hinting and taking them.
#include "rdfd/ReadPlan.h"

#include <algorithm>

namespace kzvol::rdfd {

namespace {
constexpr uint64_t kHintPiece = 2 << 20;
}  // namespace

void ReadPlan::Announce(const uint32_t* blocks, size_t count) {
    size_t i = 0;
    while (i < count) {
        if (blocks[i] == 0) {
            ++i;
            continue;
        }
        const uint32_t first = blocks[i];
        uint32_t length = 1;
        while (i + length < count && blocks[i + length] == first + length && first + length != 0)
            ++length;
        AddRun(first, length);
        i += length;
    }
}

void ReadPlan::AddRun(uint32_t first, uint32_t count) {
    if (runs_.size() >= kMaxRuns && runs_.count(first) == 0) {
        HintBytes(uint64_t{first} * blockSize_, uint64_t{count} * blockSize_);
        return;
    }
    auto [it, added] = runs_.emplace(first, count);
    if (!added) {
        if (it->second >= count)
            return;  // announced and hinted before
        it->second = count;
    }
    HintBytes(uint64_t{first} * blockSize_, uint64_t{count} * blockSize_);
}

void ReadPlan::HintBytes(uint64_t offset, uint64_t length, bool bulk) {
    if (!Hinting() || length == 0)
        return;
    if (!queue_)
        queue_ = std::make_unique<HintQueue>(hook_, context_);
    hintedBytes_ += length;
    for (uint64_t done = 0; done < length; done += kHintPiece)
        Give(offset + done, std::min(kHintPiece, length - done), bulk);
}

void ReadPlan::Give(uint64_t offset, uint64_t length, bool bulk) {
    if (!batched_) {
        queue_->Push(offset, length, bulk);
        return;
    }
    // Held back, a block that continues the one hinted before it joins that hint
    // (up to a piece): one call of the hook instead of two.
    if (!bulk && !pending_.empty() && !pending_.back().bulk &&
        pending_.back().offset + pending_.back().length == offset &&
        pending_.back().length + length <= kHintPiece) {
        pending_.back().length += length;
        return;
    }
    pending_.push_back(HintQueue::Hint{offset, length, bulk});
    if (pending_.size() >= kBatch)
        Flush();
}

bool ReadPlan::NoteRead(std::chrono::steady_clock::duration took) {
    if (!batched_)
        return false;
    ++timedReads_;
    if (took > kSlowRead)
        ++slowReads_;
    if (slowReads_ < kSlowReads || slowReads_ * 8 <= timedReads_)
        return false;
    SetBatched(false);
    return true;
}

void ReadPlan::Flush() {
    if (pending_.empty() || !queue_)
        return;
    queue_->PushMany(pending_.data(), pending_.size());
    pending_.clear();
}

uint32_t ReadPlan::TakeRun(uint32_t block, uint32_t limit) {
    auto it = runs_.upper_bound(block);
    if (it == runs_.begin())
        return 1;
    --it;
    const uint32_t first = it->first;
    if (block - first >= it->second)
        return 1;
    uint64_t end = uint64_t{first} + it->second;
    it = runs_.erase(it);
    if (block > first)
        runs_.emplace(first, block - first);  // the part before stays announced
    // Runs announced apart that continue this one on the device join it.
    while (it != runs_.end() && it->first == end && end - block < limit) {
        end += it->second;
        it = runs_.erase(it);
    }
    const auto take =
        static_cast<uint32_t>(std::max<uint64_t>(1, std::min<uint64_t>(limit, end - block)));
    if (block + uint64_t{take} < end)
        runs_.emplace(block + take, static_cast<uint32_t>(end - block - take));
    return take;
}

}  // namespace kzvol::rdfd
