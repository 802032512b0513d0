// The reader's I/O pieces: block cache, read plan and hints, exception text.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <tuple>
#include <vector>

#include "rdfd/BufferCache.h"
#include "rdfd/RDFDException.h"
#include "rdfd/ReadPlan.h"

namespace kzvol::testing {
namespace {

using ReadAt = std::pair<unsigned long long, unsigned int>;  // offset, size
using Stats = std::vector<unsigned long long>;               // hits, misses, shortcuts, entries

char Pattern(unsigned long long i) {
    return static_cast<char>((i * 7) % 251);
}

class BufferCacheTest : public ::testing::Test {
  protected:
    // Byte i is Pattern(i); `results_` hands out short counts (0 = fail), garbage past them.
    static unsigned int Device(void* context, char* buffer, unsigned int size,
                               unsigned long long offset) {
        auto* t = static_cast<BufferCacheTest*>(context);
        t->reads_.emplace_back(offset, size);
        const unsigned int n = t->results_.empty() ? size : t->results_.front();
        if (!t->results_.empty())
            t->results_.pop_front();
        for (unsigned int i = 0; i < size; ++i)
            buffer[i] = i < n ? Pattern(offset + i) : '#';
        return n;
    }
    BufferCache Make(unsigned int buffers, unsigned int cacheSize = 0) {
        return BufferCache(Device, this, cacheSize ? cacheSize : 8192 * buffers, buffers);
    }
    unsigned int Read(BufferCache& cache, unsigned long long offset, unsigned int size,
                      bool aligned = false) {
        std::string got(size, '?'), want(size, '\0');
        for (unsigned int i = 0; i < size; ++i)
            want[i] = Pattern(offset + i);
        const unsigned int n = aligned ? cache.ReadAligned(got.data(), size, offset)
                                       : cache.ReadFromCache(got.data(), size, offset);
        EXPECT_TRUE(n != size || got == want) << "wrong bytes at " << offset;
        return n;
    }
    static Stats StatsOf(const BufferCache& c) {
        return {c.GetHits(), c.GetMisses(), c.GetPrevCacheHits(), c.GetEntryCount()};
    }

    std::vector<ReadAt> reads_;
    std::deque<unsigned int> results_;
};

TEST_F(BufferCacheTest, PassThroughReadsTheDeviceEndHitsShortcutsAndMisses) {
    BufferCache none = Make(0, 4194304);
    EXPECT_EQ(Read(none, 100, 10), 10u);
    EXPECT_EQ(Read(none, 100, 10), 10u);
    BufferCache cache = Make(512, 4194304);
    EXPECT_EQ(Read(cache, 0, 8193), 8193u);
    EXPECT_EQ(reads_, (std::vector<ReadAt>{{100, 10}, {100, 10}, {0, 8193}}));
    EXPECT_EQ(StatsOf(none), (Stats{0, 0, 0, 0}));
    EXPECT_EQ(StatsOf(cache), (Stats{0, 0, 0, 0}));

    BufferCache small = Make(4);
    small.SetDeviceSize(100000);
    EXPECT_EQ(Read(small, 100000 - 8192, 512), 512u);  // the last whole buffer: cached
    EXPECT_EQ(reads_.back(), (ReadAt{100000 - 8192, 8192}));
    EXPECT_EQ(Read(small, 100000 - 8191, 1), 1u);  // one byte, but its buffer would reach past
    EXPECT_EQ(reads_.back(), (ReadAt{100000 - 8191, 1}));
    EXPECT_EQ(StatsOf(small), (Stats{0, 1, 0, 1}));

    reads_.clear();
    BufferCache hits = Make(4);
    EXPECT_EQ(Read(hits, 0, 512), 512u);
    EXPECT_EQ(Read(hits, 512, 512), 512u);
    EXPECT_EQ(StatsOf(hits), (Stats{0, 1, 1, 1}));
    EXPECT_EQ(Read(hits, 8000, 400), 400u);  // reaches past the buffer at 0: a new fill
    EXPECT_EQ(reads_, (std::vector<ReadAt>{{0, 8192}, {8000, 8192}}));
    EXPECT_EQ(StatsOf(hits), (Stats{0, 2, 1, 2}));
    EXPECT_EQ(Read(hits, 8192, 100), 100u);  // inside the latest fill (8000): shortcut
    EXPECT_EQ(Read(hits, 4096, 100), 100u);  // inside the fill at 0: a hit
    EXPECT_EQ(Read(hits, 4196, 100), 100u);  // and now a shortcut again
    EXPECT_EQ(StatsOf(hits), (Stats{1, 2, 3, 2}));
    EXPECT_EQ(reads_.size(), 2u);
}

TEST_F(BufferCacheTest, ReplacementFailedOrShortRefillsAlignedReadsSharingTheirWindowsFill) {
    BufferCache cache = Make(2);
    for (unsigned long long offset : {0, 100000, 8, 200000})  // 8 hits the oldest fill, at 0;
        Read(cache, offset, 16);                              // 200000 evicts it all the same
    reads_.clear();
    Read(cache, 100004, 8);
    EXPECT_TRUE(reads_.empty());
    Read(cache, 0, 16);
    EXPECT_EQ(reads_.size(), 1u);
    EXPECT_EQ(StatsOf(cache), (Stats{2, 4, 0, 2}));

    results_ = {0, 0};
    EXPECT_EQ(Read(cache, 300000, 16), 0u);  // evicted the fill at 200000, then failed
    EXPECT_EQ(cache.GetEntryCount(), 1u);
    EXPECT_EQ(Read(cache, 300000, 16), 0u);  // still a miss, still nothing entered
    EXPECT_EQ(Read(cache, 300000, 16), 16u);
    EXPECT_EQ(Read(cache, 0, 16), 16u);  // the other entry survived
    EXPECT_EQ(cache.GetEntryCount(), 2u);
    Read(cache, 8, 16);  // the fill at 0 is the last hit, and the oldest
    results_ = {0};
    EXPECT_EQ(Read(cache, 50000, 16), 0u);  // evicts it, reuses its slot, fails
    reads_.clear();
    EXPECT_EQ(Read(cache, 0, 16), 16u);  // read again, not the garbage left behind
    EXPECT_EQ(reads_.size(), 1u);

    BufferCache shortFills = Make(2);
    results_ = {1000};
    EXPECT_EQ(Read(shortFills, 0, 512), 512u);
    EXPECT_EQ(Read(shortFills, 2000, 100), 100u);  // beyond the 1000 delivered: read again
    EXPECT_EQ(shortFills.GetEntryCount(), 1u);     // only the whole buffer at 2000 entered
    results_ = {10};
    EXPECT_EQ(Read(shortFills, 30000, 16), 10u);  // fewer than asked: the callback's count

    // One across two windows or at the end is read unaligned; a short window fill is not kept.
    BufferCache aligned = Make(4);
    aligned.SetDeviceSize(40000);
    reads_.clear();
    for (unsigned long long offset : {7936ull, 256ull, 4096ull, 0ull, 16384ull + 512})
        EXPECT_EQ(Read(aligned, offset, 256, true), 256u);
    EXPECT_EQ(Read(aligned, 8100, 256, true), 256u);   // across two windows
    EXPECT_EQ(Read(aligned, 33000, 256, true), 256u);  // the window reaches past the end
    EXPECT_EQ(reads_, (std::vector<ReadAt>{{0, 8192}, {16384, 8192}, {8100, 8192}, {33000, 256}}));
    results_ = {5000};  // a short fill: the request lies inside what came
    EXPECT_EQ(Read(aligned, 24576 + 4096, 256, true), 256u);
    EXPECT_EQ(Read(aligned, 24576 + 6000, 256, true), 256u);  // not kept: read again
    EXPECT_EQ(reads_.size(), 6u);
    BufferCache fresh = Make(2);
    results_ = {256, 4200};  // short fills that end before the request or inside it
    EXPECT_EQ(Read(fresh, 4096, 256, true), 0u);
    EXPECT_EQ(Read(fresh, 4096, 256, true), 104u);
}

TEST(RDFDExceptionTest, TextIsTypeWordTabAndAtMost226Characters) {
    const std::string longText(300, 'm'), m226(226, 'm');
    for (const auto& [code, text, expected] :
         std::vector<std::tuple<RDFDExceptionCodes, const char*, std::string>>{
             {RDFD_EXC_SYSTEM, "x", "SYSTEM\tx"},
             {RDFD_EXC_READ, nullptr, "READ"},
             {static_cast<RDFDExceptionCodes>(7), "x", "UNKNOWN\tx"},
             {RDFD_EXC_FS, longText.c_str(), "FS\t" + m226},
             {RDFD_EXC_APPLICATION, longText.c_str(), "APPLICATION\t" + m226}}) {
        RDFDException e(code, text);
        EXPECT_TRUE(e.GetErrorMsg() == expected && e.GetCode() == code) << expected;
    }
}

void TakeHint(void* context, unsigned long long offset, unsigned long long length) {
    auto* hints = static_cast<std::vector<unsigned long long>*>(context);
    hints->insert(hints->end(), {offset, length});
}

TEST(ReadPlan, RunsJoinNeighboursAndAreTakenOnceAlsoWhenAnnouncedApart) {
    std::vector<unsigned long long> hints;
    auto plan = std::make_unique<rdfd::ReadPlan>(TakeHint, &hints);
    plan->SetBlockSize(1024);
    const uint32_t pointers[] = {5, 6, 7, 0, 9, 10, 11, 4};
    plan->Announce(pointers, 8);
    plan->Announce(pointers, 3);        // announced before: no second hint
    plan->HintBytes(1 << 20, 5 << 20);  // handed on in pieces of 2 MiB
    EXPECT_EQ(plan->HintedBytes(), 7168u + (5 << 20));
    EXPECT_EQ(plan->TakeRun(6, 8), 2u);  // 6 and 7; 5 stays announced
    EXPECT_EQ(plan->TakeRun(6, 8), 1u);  // taken: a single block
    EXPECT_EQ(plan->TakeRun(5, 8), 1u);
    EXPECT_EQ(plan->TakeRun(9, 2), 2u);  // the limit splits the run
    EXPECT_EQ(plan->TakeRun(11, 8), 1u);
    EXPECT_EQ(plan->TakeRun(12, 8), 1u);  // never announced
    plan.reset();
    EXPECT_EQ(hints,
              (std::vector<unsigned long long>{5120, 3072, 9216, 3072, 4096, 1024, 1 << 20, 2 << 20,
                                               3 << 20, 2 << 20, 5 << 20, 1 << 20}));

    // Batched: blocks of directories announced one by one join into one run and hint.
    hints.clear();
    plan = std::make_unique<rdfd::ReadPlan>(TakeHint, &hints);
    plan->SetBlockSize(1024);
    plan->SetBatched(true);
    const uint32_t blocks[] = {20, 21, 22, 23, 25};
    plan->Announce(blocks, 2);
    for (size_t i = 2; i < 5; ++i)
        plan->Announce(blocks + i, 1);
    EXPECT_EQ(plan->TakeRun(21, 8), 3u);  // 21 to 23; 20 stays announced
    EXPECT_EQ(plan->TakeRun(20, 8), 1u);
    EXPECT_EQ(plan->TakeRun(25, 8), 1u);
    plan.reset();
    EXPECT_EQ(hints, (std::vector<unsigned long long>{20480, 4096, 25600, 1024}));
}

}  // namespace
}  // namespace kzvol::testing
