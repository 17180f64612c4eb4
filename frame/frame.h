// SPDX-License-Identifier: GPL-2.0-or-later
// The command-line and diagnostics frame shared by the label, scanner, disk
// node, candidate and reload programs: the program name, the error printer,
// the usage-and-exit routine, the version printer and the option loop.
#pragma once

#include <span>
#include <string_view>

#include "frame/version.h"

namespace vlm {

// The name in front of every diagnostic and in the version line.
extern const char* progname;
// The usage text of the program, or of the name it was started under.
extern const char* usage_text;

// Writes "progname: " and the formatted message to standard error.
void error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes the optional message (with the program-name prefix) to standard
// error, then the usage text: to standard output for status 0, to standard
// error otherwise. Ends the process with the status, or with the error of
// standard output when that could not be written (see finish_stdout).
[[noreturn]] void print_usage(int status, const char* fmt = nullptr, ...)
    __attribute__((format(printf, 2, 3)));

// Writes "progname version <kit_version>" to standard output and ends with 0,
// or with the error of standard output when that could not be written.
[[noreturn]] void print_version();

// A word accepted after "--" that acts as one of the program's letters.
struct option_word {
    std::string_view word;
    int letter;
};

// What the option loop does with a missing option argument.
enum class missing_argument {
    unexpected,        // same as an unexpected result: "Can't get here"
    requires_argument  // "Option '-%c' requires an argument\n"
};

// What a program's option handler made of one of its letters.
enum class option_result {
    handled,  // taken; the loop goes on
    unknown,  // not a letter of the program: an unexpected result
    stop      // taken, and no further option is to be read
};

// The per-program values of the option loop. Run is the record of one run
// that the command keeps (a local of its own) and hands to parse_options:
// the handler fills it in, so no option lands in a global.
template <typename Run>
struct option_table {
    const char* optstring;                // begins with ':' and holds "-:"
    std::span<const option_word> words;   // beside "help" and "version"
    missing_argument on_missing;
    // Handles one of the program's own letters (null: the program has none).
    option_result (*handle)(Run& run, int letter, const char* arg);
};

// The record of a program whose options all end the process or are refused.
struct no_letters {};

// The loop under parse_options, with the handler bound to its record by a
// context pointer; programs call parse_options.
using letter_handler = option_result (*)(void* context, int letter, const char* arg);
int run_option_loop(int argc, char** argv, const char* optstring,
                    std::span<const option_word> words, missing_argument on_missing,
                    letter_handler handle, void* context);

// Runs getopt over the arguments with the table's values, handing each of
// the program's letters with the run record to the table's handler. Ends the
// process through print_usage or print_version where the options say so, and
// ends the loop early where the handler says stop. Returns the index of the
// first operand (after a stop: of the first argument not read).
//
//     struct copy_run { bool force = false; };
//     option_result handle(copy_run& run, int letter, const char*) {
//         if (letter != 'f')
//             return option_result::unknown;
//         run.force = true;
//         return option_result::handled;
//     }
//     const option_table<copy_run> options = {":hV-:f", {}, missing_argument::unexpected,
//                                             handle};
//     ...
//     copy_run run;
//     int index = parse_options(argc, argv, options, run);
template <typename Run>
int parse_options(int argc, char** argv, const option_table<Run>& table, Run& run) {
    struct bound {
        const option_table<Run>& table;
        Run& run;
    } b{table, run};
    letter_handler handle = [](void* context, int letter, const char* arg) {
        auto* c = static_cast<bound*>(context);
        return c->table.handle(c->run, letter, arg);
    };
    return run_option_loop(argc, argv, table.optstring, table.words, table.on_missing,
                           table.handle ? handle : nullptr, &b);
}

inline int parse_options(int argc, char** argv, const option_table<no_letters>& table) {
    no_letters none;
    return parse_options(argc, argv, table, none);
}

// The two-name rule: takes the final component of argv[0] (cutting argv[0]
// at its last '/'), makes it the program name, and compares it with the two
// invocation names. Returns 0 for the first name, 1 for the second; for any
// other name prints "<module> cannot handle \"<name>\" internally" and
// returns -ENOENT.
int choose_invocation(char** argv, const char* module, const char* first,
                      const char* second);

// The remaining operands after parse_options: the next one or a usage error.
char* require_operand(int argc, char** argv, int& index, const char* missing);
// Ends with "Too many arguments" when any operand is left.
void refuse_extra_operands(int argc, int index);

}  // namespace vlm
