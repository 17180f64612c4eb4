// SPDX-License-Identifier: GPL-2.0-or-later
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <string>

#include "velmortev/safety.h"

namespace vlm {

namespace {

// One line from the terminal, read a byte at a time so that nothing after
// it is taken from the descriptor; a long line is cut, since no answer we
// accept is long.
std::string read_answer(int input) {
    std::string line;
    char c;
    for (;;) {
        ssize_t got = read(input, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || c == '\n')
            return line;
        if (line.size() < 16)
            line += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
}

bool agreed(std::string answer) {
    size_t first = answer.find_first_not_of(" \t");
    size_t last = answer.find_last_not_of(" \t\r");
    if (first == std::string::npos)
        return false;
    answer = answer.substr(first, last - first + 1);
    return answer == "y" || answer == "yes";
}

}  // namespace

consent ask_consent(std::string_view question, bool yes, int input, std::FILE* prompt) {
    if (yes)
        return consent::given;
    if (!isatty(input))
        return consent::needs_yes;
    std::fprintf(prompt, "%.*s [y/N] ", static_cast<int>(question.size()), question.data());
    std::fflush(prompt);
    return agreed(read_answer(input)) ? consent::given : consent::declined;
}

}  // namespace vlm
