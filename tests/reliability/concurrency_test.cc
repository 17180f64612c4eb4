// SPDX-License-Identifier: GPL-2.0-or-later
// Two velmortev-write-label runs on one device at once: the exclusive open
// lets exactly one of them in, the other fails to open the busy device, and
// the block holds one whole label with its checksum.
#include <gtest/gtest.h>

#include <future>
#include <string>

#include "reliability.h"
#include "support.h"

using namespace vlm::test;

namespace {

struct pair_result {
    run_result first, second;
};

pair_result write_both(const std::string& dev, const std::string& a, const std::string& b,
                       const environment& env) {
    auto one = std::async(std::launch::async, [&] { return run_label("velmortev-write-label", {"-f", dev, a}, env); });
    auto two = std::async(std::launch::async, [&] { return run_label("velmortev-write-label", {"-f", dev, b}, env); });
    return {one.get(), two.get()};
}

class ConcurrentWriters : public ::testing::TestWithParam<unsigned> {
protected:
    void SetUp() override {
        REQUIRE_LOOP_DEVICES();
        ASSERT_EQ(disk.attach(2 << 20, GetParam(), GetParam() + 1), "");
    }
    // The block holds exactly one of the two labels, made from the block
    // before the runs.
    void expect_one_of(const std::string& before, const std::string& a, const std::string& b) {
        std::string now = disk.first_block();
        EXPECT_TRUE(now == labelled_block(before, a) || now == labelled_block(before, b))
            << "neither " << a << " nor " << b;
    }
    random_disk disk;
};

// Every device read takes a while, so the two runs overlap for certain:
// whichever opens first holds the device while the other tries.
TEST_P(ConcurrentWriters, ExactlyOneWinsTheOtherIsBusy) {
    const std::string busy = "velmortev-write-label: Unable to open device \"" + disk.path() +
                             "\": Device or resource busy\n";
    const environment slow = {{"VLM_TESTBED_FAULT_PREAD", "slow:150"}};
    for (int round = 0; round < 6; round++) {
        std::string a = "FIRST" + std::to_string(round), b = "SECOND" + std::to_string(round);
        std::string before = disk.first_block();
        pair_result r = write_both(disk.path(), a, b, slow);
        ASSERT_FALSE(r.first.timed_out || r.second.timed_out);
        bool first_won = r.first.status == 0;
        const run_result& winner = first_won ? r.first : r.second;
        const run_result& loser = first_won ? r.second : r.first;
        EXPECT_EQ(winner.status, 0) << winner.err;
        EXPECT_EQ(winner.err, "");
        EXPECT_EQ(loser.status, 240);
        EXPECT_EQ(loser.err, busy);
        EXPECT_EQ(disk.first_block(), labelled_block(before, first_won ? a : b));
    }
}

// Without the delay the runs may or may not overlap. Either one of them is
// turned away, or they ran one after the other; the block is never a mix.
TEST_P(ConcurrentWriters, RacingRunsNeverMixTheirLabels) {
    for (int round = 0; round < 20; round++) {
        std::string a = "ALPHA_" + std::to_string(round), b = "BRAVO_" + std::to_string(round);
        std::string before = disk.first_block();
        pair_result r = write_both(disk.path(), a, b, {});
        for (const run_result* one : {&r.first, &r.second}) {
            EXPECT_TRUE(one->status == 0 || one->status == 240) << one->err;
            EXPECT_FALSE(one->signalled);
        }
        EXPECT_TRUE(r.first.status == 0 || r.second.status == 0);
        expect_one_of(before, a, b);
    }
    EXPECT_TRUE(only_label_fields_differ(disk.original_head(), disk.head()));
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, ConcurrentWriters, ::testing::Values(512u, 4096u),
                         [](const auto& info) { return std::to_string(info.param); });

}  // namespace
