// A bounded three-stage pipeline over numbered extents: one thread reads them in
// order (fill), a pool of worker threads transforms them in any order (work:
// hashing, compressing, decompressing), and the caller's thread consumes them in
// order again (drain: comparing, writing). Reading, hashing and writing thus
// overlap on every core.
//
// Memory: a ring of `depth` slots, each one buffer of `capacity` bytes and one of
// `outCapacity` bytes (RunUnordered: one slot per core). PlanPipeline keeps two slots per worker
// plus two (one being read, one being drained), fewer when that passes 128 MiB, never fewer than
// three: with 1 MiB extents and two cores, 6 slots, about 12 MiB.
//
// Threads: each stage sees a slot only while it holds it; `work` runs on several
// threads at once and must touch nothing shared but what it locks itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "backup/Manifest.h"

namespace kzvol::backup {

struct Slot {
    std::unique_ptr<char[]> data;  // `capacity` bytes: what `fill` reads
    uint32_t length = 0;           // bytes `fill` put in data
    std::unique_ptr<char[]> out;   // `outCapacity` bytes: what `work` makes
    uint32_t outLength = 0;        // bytes `work` put in out (0: none)
    const char* plain = nullptr;   // where `work` left the extent's plain bytes
    Digest digest{};               // SHA-512 `work` computed
    bool zero = false;             // `work` found the plain bytes all zero
};

struct PipelineShape {
    size_t capacity = 0, outCapacity = 0;
    size_t depth = 3;    // slots in the ring
    size_t workers = 1;  // threads running `work`
};

// The shape for buffers of `capacity` and `outCapacity` bytes on this machine.
PipelineShape PlanPipeline(size_t capacity, size_t outCapacity);

// Each stage answers false with *error saying why; the pipeline then stops.
using Stage = std::function<bool(uint64_t, Slot&, std::string*)>;

struct PipelineStages {
    Stage fill;   // in order, on a reader thread
    Stage work;   // any order, on the worker threads; may be empty
    Stage drain;  // in order, on the calling thread
};

// Runs fill, work and drain for i = 0 .. count-1. False with *error from the
// first stage that failed; every thread has ended when it returns.
bool RunPipeline(uint64_t count, const PipelineShape& shape, const PipelineStages& stages,
                 std::string* error);

// For work whose steps need no order (positioned reads and writes): one thread per
// core, each with one slot of its own, runs `step` on the next unclaimed i, all of
// its stages at once. Nothing waits on another thread, so a busy machine costs no
// hand-over. The same answer as RunPipeline; `step` runs on several threads.
bool RunUnordered(uint64_t count, size_t capacity, size_t outCapacity, const Stage& step,
                  std::string* error);

}  // namespace kzvol::backup
