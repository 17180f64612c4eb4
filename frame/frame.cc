// SPDX-License-Identifier: GPL-2.0-or-later
#include "frame/frame.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/standard_streams.h"

namespace vlm {

const char* progname = "";
const char* usage_text = "";

static void vprint_prefixed(const char* fmt, va_list ap) {
    std::fprintf(stderr, "%s: ", progname);
    std::vfprintf(stderr, fmt, ap);
}

void error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprint_prefixed(fmt, ap);
    va_end(ap);
}

void print_usage(int status, const char* fmt, ...) {
    if (fmt) {
        va_list ap;
        va_start(ap, fmt);
        vprint_prefixed(fmt, ap);
        va_end(ap);
    }
    std::fputs(usage_text, status == 0 ? stdout : stderr);
    std::exit(finish_stdout(status, progname));
}

void print_version() {
    std::printf("%s version %s\n", progname, kit_version);
    std::exit(finish_stdout(0, progname));
}

[[noreturn]] static void cant_get_here() {
    print_usage(-EINVAL, "%s: Can't get here\n", "parse_options");
}

// Hands a letter to the program's handler; a letter it does not know is
// an unexpected result.
static option_result handle_letter(int letter, const char* arg, const option_table& table) {
    option_result result = table.handle ? table.handle(letter, arg) : option_result::unknown;
    if (result == option_result::unknown)
        cant_get_here();
    return result;
}

static option_result handle_word(const char* word, const option_table& table) {
    std::string_view w(word);
    if (w == "help")
        print_usage(0);
    if (w == "version")
        print_version();
    for (const option_word& ow : table.words) {
        if (w == ow.word)
            return handle_letter(ow.letter, nullptr, table);
    }
    print_usage(-EINVAL, "Invalid option: '--%s'\n", word);
}

// One result of getopt.
static option_result handle_result(int c, const option_table& table) {
    switch (c) {
    case 'h':
        print_usage(0);
    case 'V':
        print_version();
    case '-':
        return handle_word(optarg, table);
    case '?':
        print_usage(-EINVAL, "Invalid option: '-%c'\n", optopt);
    case ':':
        if (table.on_missing == missing_argument::requires_argument)
            print_usage(-EINVAL, "Option '-%c' requires an argument\n", optopt);
        cant_get_here();
    }
    return handle_letter(c, optarg, table);
}

int parse_options(int argc, char** argv, const option_table& table) {
    opterr = 0;
    for (;;) {
        int c = getopt(argc, argv, table.optstring);
        if (c == -1 || handle_result(c, table) == option_result::stop)
            break;
    }
    return optind;
}

int choose_invocation(char** argv, const char* module, const char* first,
                      const char* second) {
    char* name = argv[0] ? argv[0] : const_cast<char*>("");
    if (char* slash = std::strrchr(name, '/')) {
        *slash = '\0';
        name = slash + 1;
        argv[0] = name;
    }
    progname = name;
    if (std::strcmp(name, first) == 0)
        return 0;
    if (std::strcmp(name, second) == 0)
        return 1;
    error("%s cannot handle \"%s\" internally\n", module, name);
    return -ENOENT;
}

char* require_operand(int argc, char** argv, int& index, const char* missing) {
    if (index >= argc)
        print_usage(-EINVAL, "%s", missing);
    return argv[index++];
}

void refuse_extra_operands(int argc, int index) {
    if (index < argc)
        print_usage(-EINVAL, "Too many arguments\n");
}

}  // namespace vlm
