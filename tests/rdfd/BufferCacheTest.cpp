// The block cache against a recording device whose every byte is known: pass-through
// reads, the device-end rule, the previous-hit shortcut, oldest-fill replacement,
// failed and short refills, and the statistics line.
#include <gtest/gtest.h>

#include <vector>

#include "rdfd/BufferCache.h"
#include "rdfd/RDFDException.h"
#include "tests/rdfd/ReaderTestSupport.h"
#include "tests/support/TestEnv.h"

namespace kzvol::testing {
namespace {

// Byte i of the device is i * 7 mod 251, so a copy from the wrong place shows.
char Pattern(unsigned long long i) {
    return static_cast<char>((i * 7) % 251);
}

struct PatternDevice {
    unsigned long long size = 1 << 20;
    std::vector<std::pair<unsigned long long, unsigned int>> reads;  // offset, size
    // Results to hand out instead of a full read, in order (0 = fail).
    std::vector<unsigned int> shortResults;

    static unsigned int Read(void* context, char* buffer, unsigned int size,
                             unsigned long long offset) {
        auto* d = static_cast<PatternDevice*>(context);
        d->reads.emplace_back(offset, size);
        unsigned int n = size;
        if (!d->shortResults.empty()) {
            n = d->shortResults.front();
            d->shortResults.erase(d->shortResults.begin());
        }
        // Bytes beyond what the device delivers are garbage, never the device's.
        for (unsigned int i = 0; i < size; ++i)
            buffer[i] = i < n ? Pattern(offset + i) : '#';
        return n;
    }
};

class BufferCacheTest : public ::testing::Test {
  protected:
    // Reads through the cache and checks the bytes against the device.
    unsigned int Read(BufferCache& cache, unsigned long long offset, unsigned int size) {
        std::vector<char> buffer(size, '?');
        const unsigned int got = cache.ReadFromCache(buffer.data(), size, offset);
        if (got == size) {
            for (unsigned int i = 0; i < size; ++i) {
                EXPECT_EQ(buffer[i], Pattern(offset + i)) << "offset " << offset + i;
                if (buffer[i] != Pattern(offset + i))
                    break;
            }
        }
        return got;
    }
    using Stats = std::vector<unsigned long long>;
    static Stats StatsOf(const BufferCache& c) {
        return {c.GetHits(), c.GetMisses(), c.GetPrevCacheHits()};
    }

    TestEnv env_;
    PatternDevice device_;
};

TEST_F(BufferCacheTest, GeometryAndPassThroughReads) {
    BufferCache none(PatternDevice::Read, &device_, 4194304, 0);
    EXPECT_EQ(none.GetBufferSize(), 0u);
    EXPECT_EQ(Read(none, 100, 10), 10u);
    EXPECT_EQ(Read(none, 100, 10), 10u);
    EXPECT_EQ(device_.reads.size(), 2u);
    EXPECT_EQ(StatsOf(none), (Stats{0, 0, 0}));

    BufferCache cache(PatternDevice::Read, &device_, 4194304, 512);
    EXPECT_EQ(cache.GetCacheSize(), 4194304u);
    EXPECT_EQ(cache.GetBufferCount(), 512u);
    EXPECT_EQ(cache.GetBufferSize(), 8192u);
    device_.reads.clear();
    EXPECT_EQ(Read(cache, 0, 8193), 8193u);  // larger than a buffer: straight through
    EXPECT_EQ(device_.reads, (std::vector<std::pair<unsigned long long, unsigned int>>{{0, 8193}}));
    EXPECT_EQ(StatsOf(cache), (Stats{0, 0, 0}));
    EXPECT_EQ(cache.GetEntryCount(), 0u);

    EXPECT_EQ(BufferCache(PatternDevice::Read, &device_, 131072, 2).GetBufferSize(), 65536u);
    EXPECT_EQ(BufferCache(PatternDevice::Read, &device_, 262144, 8).GetBufferSize(), 32768u);
}

TEST_F(BufferCacheTest, NoBufferIsFilledPastTheDeviceEnd) {
    BufferCache cache(PatternDevice::Read, &device_, 8192 * 4, 4);
    cache.SetDeviceSize(100000);
    EXPECT_EQ(Read(cache, 100000 - 8192, 512), 512u);  // the last whole buffer: cached
    EXPECT_EQ(device_.reads.back(),
              (std::pair<unsigned long long, unsigned int>{100000 - 8192, 8192}));
    EXPECT_EQ(Read(cache, 100000 - 8191, 1), 1u);  // one byte, but its buffer would reach past
    EXPECT_EQ(device_.reads.back(),
              (std::pair<unsigned long long, unsigned int>{100000 - 8191, 1}));
    EXPECT_EQ(StatsOf(cache), (Stats{0, 1, 0}));
    EXPECT_EQ(env_.CountLogs("Offset 91809 + BufferSize 8192 > DeviceSize 100000. Read size 1.\n",
                             "BufferCache :: ReadFromCache"),
              1);
}

TEST_F(BufferCacheTest, HitsShortcutsAndMisses) {
    BufferCache cache(PatternDevice::Read, &device_, 8192 * 4, 4);
    EXPECT_EQ(Read(cache, 0, 512), 512u);
    EXPECT_EQ(Read(cache, 512, 512), 512u);
    EXPECT_EQ(device_.reads.size(), 1u);
    EXPECT_EQ(StatsOf(cache), (Stats{0, 1, 1}));

    EXPECT_EQ(Read(cache, 8000, 400), 400u);  // reaches past the buffer at 0: a new fill
    EXPECT_EQ(device_.reads.back(), (std::pair<unsigned long long, unsigned int>{8000, 8192}));
    EXPECT_EQ(StatsOf(cache), (Stats{0, 2, 1}));

    EXPECT_EQ(Read(cache, 8192, 100), 100u);  // inside the latest fill (8000): shortcut
    EXPECT_EQ(Read(cache, 4096, 100), 100u);  // inside the fill at 0: a hit
    EXPECT_EQ(Read(cache, 4196, 100), 100u);  // and now a shortcut again
    EXPECT_EQ(StatsOf(cache), (Stats{1, 2, 3}));
    EXPECT_EQ(device_.reads.size(), 2u);
}

TEST_F(BufferCacheTest, OldestFillIsReplacedEvenWhenItWasHitLast) {
    BufferCache cache(PatternDevice::Read, &device_, 8192 * 2, 2);
    Read(cache, 0, 16);
    Read(cache, 100000, 16);
    Read(cache, 8, 16);       // hit on the oldest fill
    Read(cache, 200000, 16);  // evicts the fill at 0 all the same
    EXPECT_EQ(cache.GetEntryCount(), 2u);
    device_.reads.clear();
    Read(cache, 100004, 8);
    EXPECT_TRUE(device_.reads.empty());
    Read(cache, 0, 16);
    EXPECT_EQ(device_.reads.size(), 1u);
    EXPECT_EQ(StatsOf(cache), (Stats{2, 4, 0}));
}

TEST_F(BufferCacheTest, FailedRefillLeavesNoEntryAndItsSlotIsTakenNext) {
    BufferCache cache(PatternDevice::Read, &device_, 8192 * 2, 2);
    Read(cache, 0, 16);
    Read(cache, 100000, 16);
    device_.shortResults = {0};
    EXPECT_EQ(Read(cache, 300000, 16), 0u);  // evicted the fill at 0, then failed
    EXPECT_EQ(cache.GetEntryCount(), 1u);
    EXPECT_EQ(env_.CountLogs("Error. Ret 0, BufferSize 8192, Size 16\n"), 1);
    device_.shortResults = {0};
    EXPECT_EQ(Read(cache, 300000, 16), 0u);  // still a miss, still nothing entered
    EXPECT_EQ(Read(cache, 300000, 16), 16u);
    EXPECT_EQ(Read(cache, 100000, 16), 16u);  // the other entry survived
    EXPECT_EQ(cache.GetEntryCount(), 2u);
    EXPECT_EQ(env_.CountLogs("Improper cond."), 0);
}

// A refill that failed into the slot of the most recent hit must not be served by
// the previous-hit shortcut: that slot now holds whatever the failed read left.
TEST_F(BufferCacheTest, FailedRefillInvalidatesTheShortcut) {
    BufferCache cache(PatternDevice::Read, &device_, 8192 * 2, 2);
    Read(cache, 0, 16);
    Read(cache, 100000, 16);
    Read(cache, 8, 16);  // the fill at 0 is the last hit
    device_.shortResults = {0};
    EXPECT_EQ(Read(cache, 50000, 16), 0u);  // evicts the fill at 0, reuses its slot, fails
    device_.reads.clear();
    EXPECT_EQ(Read(cache, 0, 16), 16u);  // read again, not the garbage left behind
    EXPECT_EQ(device_.reads.size(), 1u);
}

// A refill that delivers at least the request but less than a buffer serves the
// request; bytes it did not deliver are never served later.
TEST_F(BufferCacheTest, ShortRefillServesOnlyWhatWasDelivered) {
    BufferCache cache(PatternDevice::Read, &device_, 8192 * 2, 2);
    device_.shortResults = {1000};
    EXPECT_EQ(Read(cache, 0, 512), 512u);
    EXPECT_EQ(Read(cache, 2000, 100), 100u);  // beyond the 1000 delivered bytes: read again
    EXPECT_EQ(device_.reads.size(), 2u);
    EXPECT_EQ(cache.GetEntryCount(), 1u);  // only the whole buffer at 2000 was entered
    device_.shortResults = {10};
    EXPECT_EQ(Read(cache, 30000, 16), 10u);  // fewer than asked: the callback's count
    EXPECT_EQ(env_.CountLogs("Error. Ret 10, BufferSize 8192, Size 16\n"), 1);
}

TEST_F(BufferCacheTest, DestructorLogsTheStatistics) {
    {
        BufferCache cache(PatternDevice::Read, &device_, 8192 * 2, 2);
        Read(cache, 0, 16);
        Read(cache, 16, 16);
        Read(cache, 9000, 16);
        Read(cache, 32, 16);
    }
    EXPECT_EQ(env_.CountLogs("Stats ==> Hits:1\tMisses:2\tPrevCacheHits:1\n",
                             "BufferCache :: ~BufferCache"),
              1);
}

TEST(RDFDExceptionTest, TextIsTypeWordTabAndAtMost226Characters) {
    RDFDException fs(RDFD_EXC_FS, "Block Count Exceeded");
    EXPECT_STREQ(fs.GetErrorMsg(), "FS\tBlock Count Exceeded");
    EXPECT_EQ(fs.GetCode(), RDFD_EXC_FS);
    EXPECT_STREQ(RDFDException(RDFD_EXC_APPLICATION, "x").GetErrorMsg(), "APPLICATION\tx");
    EXPECT_STREQ(RDFDException(RDFD_EXC_SYSTEM, "x").GetErrorMsg(), "SYSTEM\tx");
    EXPECT_STREQ(RDFDException(RDFD_EXC_READ, nullptr).GetErrorMsg(), "READ");
    EXPECT_STREQ(RDFDException(static_cast<RDFDExceptionCodes>(7), "x").GetErrorMsg(),
                 "UNKNOWN\tx");
    const std::string longText(300, 'm');
    EXPECT_EQ(std::string(RDFDException(RDFD_EXC_FS, longText.c_str()).GetErrorMsg()),
              "FS\t" + std::string(226, 'm'));
    EXPECT_EQ(std::string(RDFDException(RDFD_EXC_APPLICATION, longText.c_str()).GetErrorMsg()),
              "APPLICATION\t" + std::string(226, 'm'));
}

TEST(RDFDExceptionTest, ErrnoHelpers) {
    errno = ENOENT;
    EXPECT_EQ(GetLastError(), ENOENT);
    std::string text;
    RDFDFormatError(text);
    EXPECT_EQ(text, "No such file or directory");
}

}  // namespace
}  // namespace kzvol::testing
