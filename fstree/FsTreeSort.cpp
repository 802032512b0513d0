// Batch sorting, spilling and k-way merging of index records.
#include "fstree/FsTreeSort.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <queue>

#include "fstree/FsTreeIo.h"

namespace kzvol::fstree {
namespace {

constexpr size_t kMinRunBuffer = 64 * 1024;

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
      capacity_(std::max<size_t>(memoryBytes / sizeof(IndexRecord), 2)) {}

bool RecordSorter::Add(const IndexRecord& record) {
    if (batch_.size() == capacity_ && !Spill())
        return false;
    batch_.push_back(record);
    return true;
}

bool RecordSorter::Spill() {
    if (!runFile_) {
        std::string name = tempDir_ + "/.kzvol-sort-XXXXXX";
        runFile_.reset(::mkostemp(name.data(), O_CLOEXEC));
        if (!runFile_)
            return false;
        ::unlink(name.c_str());  // the runs vanish with the descriptor, also on a crash
    }
    std::stable_sort(batch_.begin(), batch_.end(), RecordOrder());
    ChecksummedWriter out(runFile_.get(), kPageBytes, 1 << 20);
    unsigned char bytes[kRecordBytes];
    for (const IndexRecord& r : batch_) {
        EncodeRecord(r, bytes);
        if (!out.Write(bytes, sizeof bytes))
            return false;
    }
    if (!out.Finish())
        return false;
    runs_.push_back({runBytes_, batch_.size()});
    runBytes_ += out.bytes();
    batch_.clear();
    return true;
}

bool RecordSorter::Drain(const std::function<bool(const unsigned char*)>& emit) {
    bool ok;
    if (runs_.empty()) {
        std::stable_sort(batch_.begin(), batch_.end(), RecordOrder());
        unsigned char bytes[kRecordBytes];
        ok = true;
        for (const IndexRecord& r : batch_) {
            EncodeRecord(r, bytes);
            if (!emit(bytes)) {
                ok = false;
                break;
            }
        }
    } else {
        ok = (batch_.empty() || Spill()) && Merge(emit);
    }
    batch_.clear();
    batch_.shrink_to_fit();
    runs_.clear();
    runFile_.reset();
    runBytes_ = 0;
    return ok;
}

bool RecordSorter::Merge(const std::function<bool(const unsigned char*)>& emit) {
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
        if (!emit(top.bytes))
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
