// The block cache against a recording device whose every byte is known: pass-through
// reads, the device-end rule, the previous-hit shortcut, oldest-fill replacement,
// failed and short refills; and the reader's exception text.
#include <gtest/gtest.h>

#include <deque>
#include <tuple>
#include <vector>

#include "rdfd/BufferCache.h"
#include "rdfd/RDFDException.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

using ReadAt = std::pair<unsigned long long, unsigned int>;  // offset, size

char Pattern(unsigned long long i) {
    return static_cast<char>((i * 7) % 251);
}

class BufferCacheTest : public ::testing::Test {
  protected:
    // The device: byte i is i * 7 mod 251, so a copy from the wrong place shows. Each
    // read is recorded; `results_` hands out counts instead of full reads, in order
    // (0 = fail), and bytes beyond what the device delivers are garbage.
    static unsigned int Device(void* context, char* buffer, unsigned int size,
                               unsigned long long offset) {
        auto* t = static_cast<BufferCacheTest*>(context);
        t->reads_.emplace_back(offset, size);
        unsigned int n = size;
        if (!t->results_.empty()) {
            n = t->results_.front();
            t->results_.pop_front();
        }
        for (unsigned int i = 0; i < size; ++i)
            buffer[i] = i < n ? Pattern(offset + i) : '#';
        return n;
    }
    BufferCache Make(unsigned int buffers, unsigned int cacheSize = 0) {
        return BufferCache(Device, this, cacheSize ? cacheSize : 8192 * buffers, buffers);
    }
    // Reads through the cache and checks the bytes against the device.
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
    using Stats = std::vector<unsigned long long>;
    static Stats StatsOf(const BufferCache& c) {
        return {c.GetHits(), c.GetMisses(), c.GetPrevCacheHits()};
    }

    TestEnv env_;
    std::vector<ReadAt> reads_;
    std::deque<unsigned int> results_;
};

TEST_F(BufferCacheTest, GeometryAndPassThroughReads) {
    BufferCache none = Make(0, 4194304);
    EXPECT_EQ(Read(none, 100, 10), 10u);
    EXPECT_EQ(Read(none, 100, 10), 10u);
    EXPECT_EQ(reads_.size(), 2u);
    EXPECT_EQ(StatsOf(none), (Stats{0, 0, 0}));

    BufferCache cache = Make(512, 4194304);
    EXPECT_EQ(cache.GetBufferSize(), 8192u);
    reads_.clear();
    EXPECT_EQ(Read(cache, 0, 8193), 8193u);  // larger than a buffer: straight through
    EXPECT_EQ(reads_, (std::vector<ReadAt>{{0, 8193}}));
    EXPECT_EQ(StatsOf(cache), (Stats{0, 0, 0}));
    EXPECT_EQ(cache.GetEntryCount(), 0u);
}

TEST_F(BufferCacheTest, NoBufferIsFilledPastTheDeviceEnd) {
    BufferCache cache = Make(4);
    cache.SetDeviceSize(100000);
    EXPECT_EQ(Read(cache, 100000 - 8192, 512), 512u);  // the last whole buffer: cached
    EXPECT_EQ(reads_.back(), (ReadAt{100000 - 8192, 8192}));
    EXPECT_EQ(Read(cache, 100000 - 8191, 1), 1u);  // one byte, but its buffer would reach past
    EXPECT_EQ(reads_.back(), (ReadAt{100000 - 8191, 1}));
    EXPECT_EQ(StatsOf(cache), (Stats{0, 1, 0}));
}

TEST_F(BufferCacheTest, HitsShortcutsAndMisses) {
    BufferCache cache = Make(4);
    EXPECT_EQ(Read(cache, 0, 512), 512u);
    EXPECT_EQ(Read(cache, 512, 512), 512u);
    EXPECT_EQ(reads_.size(), 1u);
    EXPECT_EQ(StatsOf(cache), (Stats{0, 1, 1}));

    EXPECT_EQ(Read(cache, 8000, 400), 400u);  // reaches past the buffer at 0: a new fill
    EXPECT_EQ(reads_.back(), (ReadAt{8000, 8192}));
    EXPECT_EQ(StatsOf(cache), (Stats{0, 2, 1}));

    EXPECT_EQ(Read(cache, 8192, 100), 100u);  // inside the latest fill (8000): shortcut
    EXPECT_EQ(Read(cache, 4096, 100), 100u);  // inside the fill at 0: a hit
    EXPECT_EQ(Read(cache, 4196, 100), 100u);  // and now a shortcut again
    EXPECT_EQ(StatsOf(cache), (Stats{1, 2, 3}));
    EXPECT_EQ(reads_.size(), 2u);
}

TEST_F(BufferCacheTest, OldestFillIsReplacedEvenWhenItWasHitLast) {
    BufferCache cache = Make(2);
    Read(cache, 0, 16);
    Read(cache, 100000, 16);
    Read(cache, 8, 16);       // hit on the oldest fill
    Read(cache, 200000, 16);  // evicts the fill at 0 all the same
    EXPECT_EQ(cache.GetEntryCount(), 2u);
    reads_.clear();
    Read(cache, 100004, 8);
    EXPECT_TRUE(reads_.empty());
    Read(cache, 0, 16);
    EXPECT_EQ(reads_.size(), 1u);
    EXPECT_EQ(StatsOf(cache), (Stats{2, 4, 0}));
}

TEST_F(BufferCacheTest, FailedRefillLeavesNoEntryAndItsSlotIsTakenNext) {
    BufferCache cache = Make(2);
    Read(cache, 0, 16);
    Read(cache, 100000, 16);
    results_ = {0, 0};
    EXPECT_EQ(Read(cache, 300000, 16), 0u);  // evicted the fill at 0, then failed
    EXPECT_EQ(cache.GetEntryCount(), 1u);
    EXPECT_EQ(Read(cache, 300000, 16), 0u);  // still a miss, still nothing entered
    EXPECT_EQ(Read(cache, 300000, 16), 16u);
    EXPECT_EQ(Read(cache, 100000, 16), 16u);  // the other entry survived
    EXPECT_EQ(cache.GetEntryCount(), 2u);

    // A refill that failed into the slot of the most recent hit must not be served
    // by the previous-hit shortcut: that slot holds whatever the failed read left.
    Read(cache, 100008, 16);  // the fill at 100000 is the last hit, and the oldest
    results_ = {0};
    EXPECT_EQ(Read(cache, 50000, 16), 0u);  // evicts it, reuses its slot, fails
    reads_.clear();
    EXPECT_EQ(Read(cache, 100000, 16), 16u);  // read again, not the garbage left behind
    EXPECT_EQ(reads_.size(), 1u);
}

// A refill that delivers at least the request but less than a buffer serves the
// request; bytes it did not deliver are never served later.
TEST_F(BufferCacheTest, ShortRefillServesOnlyWhatWasDelivered) {
    BufferCache cache = Make(2);
    results_ = {1000};
    EXPECT_EQ(Read(cache, 0, 512), 512u);
    EXPECT_EQ(Read(cache, 2000, 100), 100u);  // beyond the 1000 delivered bytes: read again
    EXPECT_EQ(reads_.size(), 2u);
    EXPECT_EQ(cache.GetEntryCount(), 1u);  // only the whole buffer at 2000 was entered
    results_ = {10};
    EXPECT_EQ(Read(cache, 30000, 16), 10u);  // fewer than asked: the callback's count
}

// Aligned reads fill whole windows at multiples of the buffer size, so requests in
// any order within a window share its fill; a request across two windows, or in
// the window at the device's end, is read as an unaligned request is. A short
// window fill serves what it delivered and is not kept.
TEST_F(BufferCacheTest, AlignedReadsShareTheirWindowsFill) {
    BufferCache cache = Make(4);
    cache.SetDeviceSize(40000);
    for (unsigned long long offset : {7936ull, 256ull, 4096ull, 0ull, 16384ull + 512})
        EXPECT_EQ(Read(cache, offset, 256, true), 256u);
    EXPECT_EQ(reads_, (std::vector<ReadAt>{{0, 8192}, {16384, 8192}}));
    EXPECT_EQ(Read(cache, 8100, 256, true), 256u);   // across two windows
    EXPECT_EQ(Read(cache, 33000, 256, true), 256u);  // the window reaches past the end
    EXPECT_EQ(reads_.back(), (ReadAt{33000, 256}));
    EXPECT_EQ(reads_[2], (ReadAt{8100, 8192}));

    results_ = {5000};  // a short fill: the request lies inside what came
    EXPECT_EQ(Read(cache, 24576 + 4096, 256, true), 256u);
    EXPECT_EQ(Read(cache, 24576 + 6000, 256, true), 256u);  // not kept: read again
    EXPECT_EQ(reads_.size(), 6u);
}

TEST(RDFDExceptionTest, TextIsTypeWordTabAndAtMost226Characters) {
    const std::string longText(300, 'm');
    const std::vector<std::tuple<RDFDExceptionCodes, const char*, std::string>> cases = {
        {RDFD_EXC_SYSTEM, "x", "SYSTEM\tx"},
        {RDFD_EXC_READ, nullptr, "READ"},
        {static_cast<RDFDExceptionCodes>(7), "x", "UNKNOWN\tx"},
        {RDFD_EXC_FS, longText.c_str(), "FS\t" + std::string(226, 'm')},
        {RDFD_EXC_APPLICATION, longText.c_str(), "APPLICATION\t" + std::string(226, 'm')}};
    for (const auto& [code, text, expected] : cases) {
        RDFDException e(code, text);
        EXPECT_EQ(std::string(e.GetErrorMsg()), expected);
        EXPECT_EQ(e.GetCode(), code);
    }
}

}  // namespace
}  // namespace kzvol::testing
