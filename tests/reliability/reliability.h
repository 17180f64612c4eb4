// SPDX-License-Identifier: GPL-2.0-or-later
// What the reliability tests share: a loop device filled with random bytes,
// so that any byte a program should keep but changes is seen, the blocks
// the label program should leave behind, and runs with the testbed's faults.
#pragma once

#include <gtest/gtest.h>

#include <compare>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support.h"

namespace vlm::test {

using environment = std::vector<std::pair<std::string, std::string>>;

// A loop device whose first MiB holds random bytes.
class random_disk {
public:
    // Returns an empty string on success, else what went wrong.
    std::string attach(off_t size, unsigned sector_size, unsigned seed);
    const std::string& path() const { return loop_.path(); }
    const loop_device& loop() const { return loop_; }
    unsigned block_size() const { return block_; }
    std::string first_block() const;
    // The first MiB as it is now, and as it was made.
    std::string head() const;
    const std::string& original_head() const { return original_; }

private:
    scratch_dir dir_;
    loop_device loop_;
    unsigned block_ = 512;
    std::string original_;
};

// The block a successful labelling with the (already folded) text makes of
// the block before it, and the one a clearing makes.
std::string labelled_block(const std::string& before, const std::string& text);
std::string cleared_block(const std::string& before);

// Succeeds when the two blocks differ at most in the checksum, magic and
// label bytes (12-15 and 32-63).
::testing::AssertionResult only_label_fields_differ(const std::string& before,
                                                    const std::string& after);

// Runs velmortev-read-label or velmortev-write-label (by name) with the
// testbed layer and the environment given.
run_result run_label(const std::string& name, const std::vector<std::string>& args,
                     const environment& env = {});

// How a run ended, as far as the allocation tests compare runs.
struct outcome {
    int status;
    std::string err;
    auto operator<=>(const outcome&) const = default;
};

// Runs the run_spec once as it is, counting its allocations, then once for each
// of them with the testbed layer failing that one, and returns the distinct
// outcomes of the runs that ended otherwise than the first. prepare() sets
// the scene before every run; check() looks at each run that ended
// otherwise. With EVERY above 1 only every EVERY-th allocation fails, for a
// program that makes thousands.
std::set<outcome> allocation_outcomes(
    run_spec spec, const std::function<void()>& prepare = [] {},
    const std::function<void(int n, const run_result&)>& check = [](int, const run_result&) {},
    int every = 1);

}  // namespace vlm::test
