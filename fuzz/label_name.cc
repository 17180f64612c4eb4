// SPDX-License-Identifier: GPL-2.0-or-later
// The label-name rules against a plain model of them: lower-case letters
// are folded in place up to the first refused byte; a byte outside A-Z, 0-9
// and _ (or with the high bit set) is refused by name, then a first
// character that is not a letter, then a text longer than 24 characters.
#include <cerrno>
#include <cstring>
#include <string>

#include "frame/frame.h"
#include "harness.h"
#include "label/label.h"

namespace {

struct outcome {
    bool accepted;
    std::string text;     // the operand after the call
    std::string message;  // on standard error when refused
};

bool is_upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

std::string bad_character(unsigned char c) {
    return std::string("fuzz: Invalid characters in label: '") + char(c) + "'\n";
}

outcome model(std::string text) {
    for (char& ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c >= 'a' && c <= 'z')
            ch = char(c - 'a' + 'A');
        else if (!(is_upper(c) || is_digit(c) || c == '_'))
            return {false, text, bad_character(c)};
    }
    if (!text.empty() && !is_upper(static_cast<unsigned char>(text[0])))
        return {false, text, bad_character(static_cast<unsigned char>(text[0]))};
    if (text.size() > 24)
        return {false, text, "fuzz: Label size exceeds '24' characters\n"};
    return {true, text, ""};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An operand from the command line ends at its first NUL.
    std::string operand(reinterpret_cast<const char*>(data),
                        strnlen(reinterpret_cast<const char*>(data), size));
    vlm::progname = "fuzz";
    vlm::usage_text = "";
    outcome expected = model(operand);

    std::string text = operand, err;
    int status = 0;
    bool returned;
    {
        fuzz::redirected_streams streams(&err);
        returned = fuzz::run_until_exit([](void* p) { vlm::validate_label(static_cast<char*>(p)); },
                                        text.data(), &status);
    }
    fuzz::require(returned == expected.accepted, "accepted or refused against the rules", operand);
    fuzz::require(text == expected.text, "operand folded wrongly", text);
    if (!returned) {
        fuzz::require(status == -EINVAL, "refusal status");
        fuzz::require(err == expected.message, "refusal message", err);
    } else {
        fuzz::require(err.empty(), "message on acceptance", err);
    }
    return 0;
}
