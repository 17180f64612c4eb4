// SPDX-License-Identifier: GPL-2.0-or-later
// A whole partition table: every kept line gives one device in the bucket of
// the first matching pattern, exclude patterns first, with the path "/dev/"
// and the name; lines are read in pieces of at most 4096 characters. The
// patterns come from the input's first line.
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "scan/scan.h"

using namespace vlm;

namespace {

// The table the way it has always been read: fgets pieces and sscanf.
std::vector<std::string> model_names(const std::string& table) {
    std::vector<std::string> names;
    std::string copy = table;
    FILE* f = fmemopen(copy.data(), copy.size(), "r");
    if (!f)
        return names;
    char line[4097];
    while (std::fgets(line, sizeof line, f)) {
        int major = 0, minor = 0;
        char name[100] = "";
        if (std::sscanf(line, "%d %d %*d %99[^ \t\n]", &major, &minor, name) < 3)
            continue;
        if (name[0] == '\0' || major == 0)
            continue;
        names.push_back(name);
    }
    std::fclose(f);
    return names;
}

bool starts_with(const std::string& name, const char* prefix) {
    return name.compare(0, std::strlen(prefix), prefix) == 0 && name.size() >= std::strlen(prefix);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t newline = input.find('\n');
    std::string pattern_line = newline == std::string::npos ? "" : input.substr(0, newline);
    std::string table = newline == std::string::npos ? input : input.substr(newline + 1);
    if (table.empty())
        return 0;  // fmemopen cannot take an empty buffer

    // "o:PATTERN" or "x:PATTERN" words, blank-separated.
    std::vector<std::string> words;
    for (size_t start = 0; start < pattern_line.size();) {
        size_t end = pattern_line.find(' ', start);
        if (end == std::string::npos)
            end = pattern_line.size();
        words.push_back(pattern_line.substr(start, end - start));
        start = end + 1;
    }
    ring_node order, exclude;
    ring_init(&order);
    ring_init(&exclude);
    std::vector<std::pair<bool, std::string>> patterns;  // (exclude, text)
    for (const std::string& w : words) {
        if (w.size() < 2 || w[1] != ':' || (w[0] != 'o' && w[0] != 'x'))
            continue;
        // As a C text: up to a NUL; compared on at most 4096 characters.
        std::string text(w.c_str() + 2);
        patterns.push_back({w[0] == 'x', text});
    }
    for (auto& [is_exclude, text] : patterns)
        add_pattern(is_exclude ? &exclude : &order, text.c_str());
    add_pattern(&order, "");

    fuzz::memory_file file(table);
    scan_setup setup{&order, &exclude, nullptr, nullptr};
    setup.tables.partitions = file.path();
    setup.tables.ide = "/nonexistent/ide";
    int rc;
    {
        fuzz::redirected_streams streams;
        rc = scan_partitions(setup);
    }
    fuzz::require(rc == 0, "scan failed");

    // Where the model puts each name: the first exclude pattern that is a
    // prefix of it, else the first order pattern; in table order.
    std::vector<std::string> names = model_names(table);
    std::vector<std::vector<std::string>> expected_exclude, expected_order;
    std::vector<std::string> exclude_texts, order_texts;
    for (auto& [is_exclude, text] : patterns)
        (is_exclude ? exclude_texts : order_texts).push_back(text.substr(0, pattern_length_limit));
    order_texts.push_back("");
    expected_exclude.resize(exclude_texts.size());
    expected_order.resize(order_texts.size());
    for (const std::string& name : names) {
        auto place = [&](const std::vector<std::string>& texts, auto& buckets) {
            for (size_t i = 0; i < texts.size(); i++) {
                if (starts_with(name, texts[i].c_str())) {
                    buckets[i].push_back(name);
                    return true;
                }
            }
            return false;
        };
        if (!place(exclude_texts, expected_exclude))
            place(order_texts, expected_order);
    }
    auto check_ring = [&](ring_node* ring, const std::vector<std::vector<std::string>>& expected) {
        size_t i = 0;
        for (scan_pattern* p : ring_records<scan_pattern>(ring)) {
            std::vector<std::string> got;
            for (scan_device* d : ring_records<scan_device>(&p->bucket)) {
                fuzz::require(std::string(d->path) == "/dev/" + std::string(d->name),
                              "device path", d->path);
                got.push_back(d->name);
            }
            fuzz::require(i < expected.size() && got == expected[i], "bucket contents", p->text);
            i++;
        }
        fuzz::require(i == expected.size(), "pattern count");
    };
    check_ring(&exclude, expected_exclude);
    check_ring(&order, expected_order);
    free_patterns(&order);
    free_patterns(&exclude);
    return 0;
}
