// SPDX-License-Identifier: GPL-2.0-or-later
#include "reliability.h"

#include <cstdlib>
#include <cstring>
#include <random>

namespace vlm::test {

constexpr size_t head_size = 1 << 20;

std::string random_disk::attach(off_t size, unsigned sector_size, unsigned seed) {
    block_ = sector_size;
    std::string failure = loop_.attach(dir_.file("disk.img"), size, sector_size);
    if (!failure.empty())
        return failure;
    std::mt19937 random(seed);
    original_.resize(head_size);
    for (char& c : original_)
        c = char(random());
    write_bytes(loop_.path(), 0, original_);
    return "";
}

std::string random_disk::first_block() const { return read_bytes(path(), 0, block_); }

std::string random_disk::head() const { return read_bytes(path(), 0, head_size); }

static uint32_t word_at(const std::string& s, size_t offset) {
    uint32_t v;
    std::memcpy(&v, s.data() + offset, 4);
    return v;
}

static uint32_t fold(const std::string& label24) {
    uint32_t f = 0;
    for (size_t w = 0; w < 24; w += 4)
        f ^= word_at(label24, w);
    return f;
}

std::string labelled_block(const std::string& before, const std::string& text) {
    std::string after = before;
    std::string field = text + std::string(24 - text.size(), '\0');
    uint32_t sum = word_at(before, 12) ^ fold(before.substr(40, 24)) ^ fold(field);
    std::memcpy(after.data() + 12, &sum, 4);
    after.replace(32, 8, "VLMRDISK");
    after.replace(40, 24, field);
    return after;
}

std::string cleared_block(const std::string& before) {
    std::string after = before;
    after.replace(32, 32, "VLMRCLRD" + std::string(24, '\0'));
    return after;
}

::testing::AssertionResult only_label_fields_differ(const std::string& before,
                                                    const std::string& after) {
    if (before.size() != after.size())
        return ::testing::AssertionFailure()
               << "sizes " << before.size() << " and " << after.size();
    for (size_t i = 0; i < before.size(); i++) {
        bool field = (i >= 12 && i < 16) || (i >= 32 && i < 64);
        if (!field && before[i] != after[i])
            return ::testing::AssertionFailure() << "byte " << i << " changed";
    }
    return ::testing::AssertionSuccess();
}

run_result run_label(const std::string& name, const std::vector<std::string>& args,
                     const environment& env) {
    run_spec spec;
    spec.program = sbin(name);
    spec.args = args;
    spec.env = env;
    spec.preload = true;
    return run(spec);
}


std::set<outcome> allocation_outcomes(run_spec spec, const std::function<void()>& prepare,
                                      const std::function<void(int, const run_result&)>& check,
                                      int every) {
    spec.preload = true;
    scratch_dir dir;
    std::string count_file = dir.file("count");
    spec.env.emplace_back("VLM_TESTBED_ALLOC_COUNT", count_file);
    prepare();
    run_result usual = run(spec);
    int count = std::atoi(read_file(count_file).c_str());
    EXPECT_GT(count, 0) << "the testbed counted no allocation of " << spec.program;
    spec.env.back() = {"VLM_TESTBED_FAIL_ALLOC", ""};
    std::set<outcome> seen;
    for (int n = 1; n <= count; n += every) {
        prepare();
        spec.env.back().second = std::to_string(n);
        run_result r = run(spec);
        if (r.status == usual.status && r.err == usual.err && r.out == usual.out)
            continue;  // an allocation with a fallback, or none that matters
        EXPECT_FALSE(r.signalled || r.timed_out) << "allocation " << n << ": " << r.err;
        seen.insert({r.status, r.err});
        check(n, r);
    }
    return seen;
}

}  // namespace vlm::test
