// A two-stage pipeline: one thread fills buffers (reading), the caller's thread
// empties them in the same order (hashing, writing), so the two overlap.
//
// Threads: `fill` runs on a thread of its own, `drain` on the caller's; each
// sees a buffer only while it holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kzvol::backup {

struct Slot {
    std::unique_ptr<char[]> data;
    uint32_t length = 0;  // bytes `fill` put in
};

// How many buffers of `capacity` bytes to keep in flight: four, fewer for large
// extents so that the ring stays within 64 MiB, never fewer than two.
size_t PipelineDepth(size_t capacity);

// Calls fill(i, slot) for i = 0 .. count-1 on a reader thread and drain(i, slot)
// for the same i in order on the calling thread, with `depth` buffers of
// `capacity` bytes in flight. Stops at the first false of either and answers
// false; the stage that failed sets its own error text.
bool RunPipeline(uint64_t count, size_t capacity, size_t depth,
                 const std::function<bool(uint64_t, Slot&)>& fill,
                 const std::function<bool(uint64_t, Slot&)>& drain);

}  // namespace kzvol::backup
