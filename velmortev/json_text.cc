// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/json_text.h"

#include <cstdio>

#include "lib/shown_text.h"
#include "velmortev/memory.h"

namespace vlm {

nlohmann::json versioned() {
    return {{"version", {{"major", json_major}, {"minor", json_minor}}}};
}

std::string shown(const std::string& label) {
    std::string buffer(shown_size(label.size()), '\0');
    return show_into(buffer, label);
}

void put_label(nlohmann::json& object, const std::string& label) {
    object["label"] = shown(label);
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (char c : label) {
        auto byte = static_cast<unsigned char>(c);
        hex += digits[byte >> 4];
        hex += digits[byte & 0xf];
    }
    object["label_hex"] = hex;
}

int put_json(const nlohmann::json& doc) {
    std::string text = doc.dump(2);
    // A document made while memory ran short is not given out.
    if (int rc = check_memory(); rc < 0)
        return rc;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    return 0;
}

}  // namespace vlm
