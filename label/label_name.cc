// SPDX-License-Identifier: GPL-2.0-or-later
#include "label/label_name.h"

#include <cerrno>
#include <cstring>

#include "frame/frame.h"

namespace vlm {

static bool is_upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }

void validate_label(char* text) {
    for (char* p = text; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 'a' && c <= 'z')
            *p = static_cast<char>(c - 0x20);
        else if (c >= 0x80 || !(is_upper(c) || (c >= '0' && c <= '9') || c == '_'))
            print_usage(-EINVAL, "Invalid characters in label: '%c'\n", c);
    }
    if (text[0] != '\0' && !is_upper(static_cast<unsigned char>(text[0])))
        print_usage(-EINVAL, "Invalid characters in label: '%c'\n", text[0]);
    if (std::strlen(text) > label_max)
        print_usage(-EINVAL, "Label size exceeds '%d' characters\n", int(label_max));
}

}  // namespace vlm
