// SPDX-License-Identifier: GPL-2.0-or-later
#include "lib/shown_text.h"

#include <algorithm>

namespace vlm {

namespace {

// Writes the shown form of one byte to out, which holds at least 5 bytes;
// returns its length.
size_t show_byte(unsigned char byte, char* out) {
    if (shown_escaped(byte))
        return static_cast<size_t>(std::snprintf(out, 5, "\\x%02x", byte));
    out[0] = static_cast<char>(byte);
    return 1;
}

std::string_view up_to_nul(std::string_view text) { return text.substr(0, text.find('\0')); }

}  // namespace

void put_shown(std::FILE* stream, std::string_view text) {
    char shown[5];
    for (char c : up_to_nul(text))
        std::fwrite(shown, 1, show_byte(static_cast<unsigned char>(c), shown), stream);
}

const char* show_into(std::span<char> out, std::string_view text) {
    size_t used = 0;
    char shown[5];
    for (char c : up_to_nul(text)) {
        size_t length = show_byte(static_cast<unsigned char>(c), shown);
        if (used + length >= out.size())
            break;
        std::copy_n(shown, length, out.data() + used);
        used += length;
    }
    out[used] = '\0';
    return out.data();
}

}  // namespace vlm
