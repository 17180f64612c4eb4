// SPDX-License-Identifier: GPL-2.0-or-later
// Texts read from a disk, shown so that they can neither break an output
// line into forged lines nor send control sequences to a terminal: every
// byte below 0x20, the byte 0x7f, every byte from 0x80 up and the backslash
// are written as "\x" and two lower-case hexadecimal digits, every other
// byte as it is. A label written by the kit is shown unchanged. The text
// ends at its first NUL.
#pragma once

#include <cstddef>
#include <cstdio>
#include <span>
#include <string_view>

namespace vlm {

// True for a byte that is written as "\xNN".
constexpr bool shown_escaped(unsigned char byte) {
    return byte < 0x20 || byte >= 0x7f || byte == '\\';
}

// Room for the shown form of a text of the length, with its NUL.
constexpr size_t shown_size(size_t length) { return 4 * length + 1; }

// Writes the shown form of the text to the stream.
void put_shown(std::FILE* stream, std::string_view text);

// Writes the shown form into the buffer (at least one byte), for messages
// that place it through a format, and returns the buffer. A form that does
// not fit is cut before the first byte that does not fit whole; the result
// ends with a NUL.
const char* show_into(std::span<char> out, std::string_view text);

}  // namespace vlm
