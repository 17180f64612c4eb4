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

// The program's part of the loop: its letter handler bound to its record.
struct letter_rules {
    std::span<const option_word> words;
    missing_argument on_missing;
    letter_handler handle;
    void* context;
};

// Hands a letter to the program's handler; a letter it does not know is
// an unexpected result.
static option_result handle_letter(int letter, const char* arg, const letter_rules& rules) {
    option_result result =
        rules.handle ? rules.handle(rules.context, letter, arg) : option_result::unknown;
    if (result == option_result::unknown)
        cant_get_here();
    return result;
}

static option_result handle_word(const char* word, const letter_rules& rules) {
    std::string_view w(word);
    if (w == "help")
        print_usage(0);
    if (w == "version")
        print_version();
    for (const option_word& ow : rules.words) {
        if (w == ow.word)
            return handle_letter(ow.letter, nullptr, rules);
    }
    print_usage(-EINVAL, "Invalid option: '--%s'\n", word);
}

// One result of getopt.
static option_result handle_result(int c, const letter_rules& rules) {
    switch (c) {
    case 'h':
        print_usage(0);
    case 'V':
        print_version();
    case '-':
        return handle_word(optarg, rules);
    case '?':
        print_usage(-EINVAL, "Invalid option: '-%c'\n", optopt);
    case ':':
        if (rules.on_missing == missing_argument::requires_argument)
            print_usage(-EINVAL, "Option '-%c' requires an argument\n", optopt);
        cant_get_here();
    }
    return handle_letter(c, optarg, rules);
}

int run_option_loop(int argc, char** argv, const char* optstring,
                    std::span<const option_word> words, missing_argument on_missing,
                    letter_handler handle, void* context) {
    const letter_rules rules{words, on_missing, handle, context};
    opterr = 0;
    for (;;) {
        int c = getopt(argc, argv, optstring);
        if (c == -1 || handle_result(c, rules) == option_result::stop)
            break;
    }
    return optind;
}

int choose_invocation(char** argv, const char* module, const char* first,
                      const char* second) {
    const char* name = "";
    if (argv[0]) {
        name = argv[0];
        if (char* slash = std::strrchr(argv[0], '/')) {
            *slash = '\0';
            argv[0] = slash + 1;
            name = argv[0];
        }
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
