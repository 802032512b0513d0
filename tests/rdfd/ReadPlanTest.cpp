// The read plan: announced blocks join into runs of neighbours, each run is hinted
// once (on the hint thread, all given by the time the plan is gone), and taking a
// block hands out the rest of its run and forgets it.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "rdfd/ReadPlan.h"

namespace kzvol::rdfd {
namespace {

struct Hints {
    std::vector<std::pair<unsigned long long, unsigned long long>> taken;
    static void Take(void* context, unsigned long long offset, unsigned long long length) {
        static_cast<Hints*>(context)->taken.emplace_back(offset, length);
    }
};

TEST(ReadPlan, RunsJoinNeighboursAndAreTakenOnce) {
    Hints hints;
    auto plan = std::make_unique<ReadPlan>(Hints::Take, &hints);
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
    using Hint = std::pair<unsigned long long, unsigned long long>;
    EXPECT_EQ(hints.taken, (std::vector<Hint>{{5120, 3072},
                                              {9216, 3072},
                                              {4096, 1024},
                                              {1 << 20, 2 << 20},
                                              {3 << 20, 2 << 20},
                                              {5 << 20, 1 << 20}}));
}

// Directories announced one by one whose blocks follow each other on the device
// are fetched by one read, up to the limit; held back, their hints join as well.
TEST(ReadPlan, RunsAnnouncedApartJoinWhenTheyContinueEachOther) {
    Hints hints;
    auto plan = std::make_unique<ReadPlan>(Hints::Take, &hints);
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
    using Hint = std::pair<unsigned long long, unsigned long long>;
    EXPECT_EQ(hints.taken, (std::vector<Hint>{{20480, 4096}, {25600, 1024}}));
}

}  // namespace
}  // namespace kzvol::rdfd
