// Batch sorting, spilling and k-way merging of index records.
#include "fstree/FsTreeSort.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <queue>

namespace kzvol::fstree {
namespace {

constexpr size_t kMinRunBuffer = 64 * 1024;
// Positions in a batch fit the low half of a sort key and a 32-bit bucket count.
constexpr size_t kMaxBatch = (size_t{1} << 32) - 1;
constexpr size_t kOutBatch = 256;  // records reserved in the output at a time

// Asks for the pages of a large buffer to be faulted in 2 MiB at a time: a
// batch of a million records would otherwise take 8000 page faults as it fills.
// A hint only; the pages stay untouched until used.
void AdviseHugePages(void* data, size_t bytes) {
    const auto kPage = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    auto begin = (reinterpret_cast<uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
    auto end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kPage - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// A stretch of consecutive records with one parent, in arrival order.
struct Stretch {
    uint64_t parent;
    size_t begin, end;
};

std::vector<Stretch> StretchesOf(const std::vector<IndexRecord>& records) {
    std::vector<Stretch> out;
    for (size_t i = 0; i < records.size();) {
        size_t j = i + 1;
        while (j < records.size() && records[j].parent == records[i].parent)
            ++j;
        out.push_back({records[i].parent, i, j});
        i = j;
    }
    return out;
}

// Writes the records that `keys` name (by position, in their low half), in the
// keys' order.
bool Gather(const IndexRecord* records, const std::vector<uint64_t>& keys, ChecksummedWriter* out) {
    for (size_t done = 0; done < keys.size();) {
        size_t n = std::min(kOutBatch, keys.size() - done);
        unsigned char* p = out->Reserve(n * kRecordBytes);
        if (!p)
            return false;
        for (size_t i = 0; i < n; ++i)
            EncodeRecord(records[static_cast<uint32_t>(keys[done + i])], p + i * kRecordBytes);
        out->Commit(n * kRecordBytes);
        done += n;
    }
    return true;
}

// Sorts keys whose high bits are evenly spread (their high halves are name
// hashes): one counting pass on the top bits puts every key in a bucket of about
// one, then each bucket is sorted on its own, so most keys cost no mispredicted
// comparison. A crowded bucket (names with equal or close hashes) gets std::sort.
void SortKeys(std::vector<uint64_t>* keys, std::vector<uint64_t>* spare,
              std::vector<uint32_t>* ends) {
    const size_t m = keys->size();
    if (m < 32) {
        std::sort(keys->begin(), keys->end());
        return;
    }
    int bits = 63 - __builtin_clzll(m);  // 2^bits <= m buckets
    auto bucket = [bits](uint64_t k) { return static_cast<size_t>(k >> (64 - bits)); };
    ends->assign((size_t{1} << bits) + 1, 0);
    uint32_t* at = ends->data() + 1;
    for (uint64_t k : *keys)
        ++at[bucket(k)];
    for (size_t b = 1; b < ends->size(); ++b)
        (*ends)[b] += (*ends)[b - 1];
    spare->resize(m);
    at = ends->data();  // now the next free place of each bucket
    for (uint64_t k : *keys)
        (*spare)[at[bucket(k)]++] = k;
    // at[b] is the end of bucket b, and at[b - 1] its start.
    uint64_t* out = spare->data();
    for (size_t b = 0, begin = 0; b + 1 < ends->size(); begin = at[b++]) {
        size_t end = at[b];
        if (end - begin > 16) {
            std::sort(out + begin, out + end);
            continue;
        }
        for (size_t i = begin + 1; i < end; ++i) {
            uint64_t k = out[i];
            size_t j = i;
            for (; j > begin && out[j - 1] > k; --j)
                out[j] = out[j - 1];
            out[j] = k;
        }
    }
    keys->swap(*spare);
}

}  // namespace

// Within one parent the order is (name hash, row offset), and row offsets grow
// with the position in the batch; so one 64-bit key, the hash above the
// position, orders a parent's records, and sorting keys moves 8 bytes where
// sorting records would move 32.
bool SortRecords(const std::vector<IndexRecord>& records, ChecksummedWriter* out) {
    std::vector<Stretch> stretches = StretchesOf(records);
    auto parentLess = [](const Stretch& a, const Stretch& b) { return a.parent < b.parent; };
    if (!std::is_sorted(stretches.begin(), stretches.end(), parentLess))
        std::stable_sort(stretches.begin(), stretches.end(), parentLess);
    std::vector<uint64_t> keys, spare;
    std::vector<uint32_t> ends;
    for (auto s = stretches.begin(); s != stretches.end();) {
        auto group = std::upper_bound(s, stretches.end(), *s, parentLess);
        keys.clear();
        for (; s != group; ++s) {
            for (size_t i = s->begin; i < s->end; ++i)
                keys.push_back(uint64_t{records[i].hash} << 32 | i);
        }
        SortKeys(&keys, &spare, &ends);
        if (!Gather(records.data(), keys, out))
            return false;
    }
    return true;
}

namespace {

// Reads one spilled run back in buffered pieces.
class RunReader {
  public:
    RunReader(int fd, uint64_t offset, uint64_t count, size_t bufferBytes)
        : fd_(fd),
          next_(offset),
          left_(count),
          buffer_(bufferBytes / kRecordBytes * kRecordBytes) {}

    // False with errno set on a read error; *record is null at the end of the run.
    bool Next(const unsigned char** record) {
        if (pos_ == filled_) {
            *record = nullptr;
            if (left_ == 0)
                return true;
            uint64_t n = std::min<uint64_t>(left_, buffer_.size() / kRecordBytes);
            filled_ = static_cast<size_t>(n) * kRecordBytes;
            if (!PReadAll(fd_, buffer_.data(), filled_, next_))
                return false;
            next_ += filled_;
            left_ -= n;
            pos_ = 0;
        }
        *record = buffer_.data() + pos_;
        pos_ += kRecordBytes;
        return true;
    }

  private:
    int fd_;
    uint64_t next_, left_;
    std::vector<unsigned char> buffer_;
    size_t pos_ = 0, filled_ = 0;
};

struct HeapItem {
    IndexRecord record;
    const unsigned char* bytes;
    size_t run;
};

struct HeapAfter {
    bool operator()(const HeapItem& a, const HeapItem& b) const {
        return RecordLess(b.record, a.record);
    }
};

}  // namespace

RecordSorter::RecordSorter(std::string tempDir, size_t memoryBytes)
    : tempDir_(std::move(tempDir)),
      capacity_(std::clamp<size_t>(memoryBytes / sizeof(IndexRecord), 2, kMaxBatch)) {
    // Address space only: pages are touched as records arrive, and the batch is
    // never copied while it grows.
    try {
        batch_.reserve(capacity_);
    } catch (const std::bad_alloc&) {
    }
    AdviseHugePages(batch_.data(), batch_.capacity() * sizeof(IndexRecord));
}

bool RecordSorter::Spill() {
    if (!runFile_) {
        std::string name = tempDir_ + "/.kzvol-sort-XXXXXX";
        runFile_.reset(::mkostemp(name.data(), O_CLOEXEC));
        if (!runFile_)
            return false;
        ::unlink(name.c_str());  // the runs vanish with the descriptor, also on a crash
    }
    ChecksummedWriter out(runFile_.get(), kPageBytes, 1 << 20);
    if (!SortRecords(batch_, &out) || !out.Finish())
        return false;
    runs_.push_back({runBytes_, batch_.size()});
    runBytes_ += out.bytes();
    batch_.clear();
    return true;
}

bool RecordSorter::Drain(ChecksummedWriter* out) {
    bool ok = runs_.empty() ? SortRecords(batch_, out) : (batch_.empty() || Spill()) && Merge(out);
    batch_.clear();
    batch_.shrink_to_fit();
    runs_.clear();
    runFile_.reset();
    runBytes_ = 0;
    return ok;
}

bool RecordSorter::Merge(ChecksummedWriter* out) {
    // The batch memory is free now; share it out as read buffers.
    batch_.clear();
    batch_.shrink_to_fit();
    size_t perRun = std::max(kMinRunBuffer, capacity_ * sizeof(IndexRecord) / runs_.size());
    std::vector<RunReader> readers;
    readers.reserve(runs_.size());
    std::priority_queue<HeapItem, std::vector<HeapItem>, HeapAfter> heap;
    for (size_t i = 0; i < runs_.size(); ++i) {
        readers.emplace_back(runFile_.get(), runs_[i].offset, runs_[i].count, perRun);
        const unsigned char* first = nullptr;
        if (!readers[i].Next(&first))
            return false;
        if (first)
            heap.push({DecodeRecord(first), first, i});
    }
    while (!heap.empty()) {
        HeapItem top = heap.top();
        heap.pop();
        if (!out->Write(top.bytes, kRecordBytes))
            return false;
        const unsigned char* next = nullptr;
        if (!readers[top.run].Next(&next))
            return false;
        if (next)
            heap.push({DecodeRecord(next), next, top.run});
    }
    return true;
}

}  // namespace kzvol::fstree
