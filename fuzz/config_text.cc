// SPDX-License-Identifier: GPL-2.0-or-later
// The front end's configuration lines, which decide which devices it
// writes: whatever the text, a value is taken only when it keeps the rules
// (absolute paths, patterns without '/', one backup directory), and a
// refusal names the file and a line that the text has.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "velmortev/config.h"

namespace {

void require(bool holds) {
    if (!holds)
        std::abort();
}

void check_paths(const vlm::setting& s) {
    for (const std::string& word : s.values)
        require(!word.empty() && word[0] == '/');
}

void check_patterns(const vlm::setting& s) {
    for (const std::string& word : s.values)
        require(!word.empty() && word.find('/') == std::string::npos);
}

// The lines the parser counts: one per line end, and an unended last one.
size_t line_count(std::string_view text) {
    size_t ends = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    return ends + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    vlm::settings s;
    std::string problem;
    int rc = vlm::parse_config_text(text, "f", s, problem);
    if (rc == 0) {
        require(problem.empty());
        check_paths(s.managers);
        check_paths(s.backup_dir);
        require(s.backup_dir.values.size() == 1);
        check_patterns(s.scan_order);
        check_patterns(s.scan_exclude);
        return 0;
    }
    require(rc == -EINVAL);
    require(problem.rfind("f:", 0) == 0);
    size_t line = std::strtoul(problem.c_str() + 2, nullptr, 10);
    require(line >= 1 && line <= line_count(text));
    return 0;
}
