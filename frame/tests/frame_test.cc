// SPDX-License-Identifier: GPL-2.0-or-later
// The frame that five programs share, run through every invocation name of
// them: help and version, refused options, missing and extra operands, and
// the two-name rule; and its option loop in this process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "support.h"

using namespace vlm::test;
using args = std::vector<std::string>;

namespace {

struct framed_name {
    std::string name;
    std::string usage;
    std::string module;  // of a two-name program; empty when the name is fixed
    args operands;       // a complete set of operands
    args short_of_operand;  // arguments one operand short ({} for none taken)
    std::string missing;    // the message for them
};

const std::vector<framed_name> framed_names = {
    {"velmortev-read-label",
     "Usage: velmortev-read-label <device>\n"
     "       velmortev-read-label -h\n"
     "       velmortev-read-label -V\n",
     "label", {"/nonexistent"}, {}, "You must specify a device\n"},
    {"velmortev-write-label",
     "To label: velmortev-write-label [-f] [-c] <device> <label>\n"
     "To clear: velmortev-write-label -d <device>\n"
     "          velmortev-write-label -h\n"
     "          velmortev-write-label -V\n",
     "label", {"/dev/null", "A"}, {"/nonexistent"}, "You must specify a label\n"},
    {"velmortev-scan-partitions",
     "Usage: velmortev-scan-partitions [-o <pattern> ...] [-x <pattern>]\n"
     "       velmortev-scan-partitions -h\n"
     "       velmortev-scan-partitions -V\n",
     "", {}, {}, ""},
    {"velmortev-instantiate-disk",
     "Usage: velmortev-instantiate-disk -l <manager> <device> <label>\n"
     "       velmortev-instantiate-disk -h\n"
     "       velmortev-instantiate-disk -V\n",
     "disk", {"/nonexistent/device", "A"}, {}, "You must specify a target device\n"},
    {"velmortev-clean-disk",
     "Usage: velmortev-clean-disk -l <manager> <label>\n"
     "       velmortev-clean-disk -h\n"
     "       velmortev-clean-disk -V\n",
     "disk", {"A"}, {}, "You must specify a label\n"},
    {"velmortev-candidate-p",
     "Usage: velmortev-candidate-p [-f] <device>\n"
     "       velmortev-candidate-p -h\n"
     "       velmortev-candidate-p -V\n",
     "", {"/nonexistent"}, {"-v", "-f"}, "You must specify a device\n"},
    {"velmortev-reload-partitions",
     "Usage: velmortev-reload-partitions < device_list\n"
     "       velmortev-reload-partitions -h\n"
     "       velmortev-reload-partitions -V\n",
     "", {}, {}, ""},
};

// A run under the name, with argv[0] as given (the program path by default).
run_result run_as(const framed_name& n, const args& arguments, const std::string& argv0 = "") {
    run_spec spec;
    spec.program = sbin(n.name);
    spec.argv0 = argv0;
    spec.args = arguments;
    return run(spec);
}

args with_operands(args options, const framed_name& n) {
    options.insert(options.end(), n.operands.begin(), n.operands.end());
    return options;
}

void expect_usage_error(const run_result& r, const framed_name& n, const std::string& message) {
    EXPECT_EQ(r.status, shell_status(-EINVAL));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, n.name + ": " + message + n.usage);
}

// The first option that ends the run decides: help before a bad option still
// shows the usage with status 0. A two-name program names itself by argv[0]
// without its directory, a fixed-name one whatever argv[0] is.
TEST(Frame, HelpAndVersionGoToStandardOutput) {
    for (const framed_name& n : framed_names) {
        SCOPED_TRACE(n.name);
        for (const args& help :
             {args{"-h"}, args{"--help"}, args{"--help", "-x"}, args{"-h", "-q"}}) {
            run_result r = run_as(n, help);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, n.usage);
            EXPECT_EQ(r.err, "");
        }
        std::string argv0 = n.module.empty() ? "/elsewhere/other-name" : "/some/where/" + n.name;
        for (const char* version : {"-V", "--version"}) {
            run_result r = run_as(n, {version}, argv0);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, n.name + " version 2.1.10\n");
            EXPECT_EQ(r.err, "");
        }
    }
}

// Refused options and operands end with the message and the usage text on
// standard error, before any device is looked at.
TEST(Frame, UsageErrorsEndWithTheUsageOnStandardError) {
    for (const framed_name& n : framed_names) {
        SCOPED_TRACE(n.name);
        for (const char* word : {"helpx", "hel"})
            expect_usage_error(run_as(n, {std::string("--") + word}), n,
                               std::string("Invalid option: '--") + word + "'\n");
        expect_usage_error(run_as(n, with_operands({"-q"}, n)), n, "Invalid option: '-q'\n");
        // The name of a fixed-name program holds whatever argv[0] says.
        if (n.module.empty())
            expect_usage_error(run_as(n, {"-q"}, "other-name"), n, "Invalid option: '-q'\n");
        if (!n.missing.empty())
            expect_usage_error(run_as(n, n.short_of_operand), n, n.missing);
        // The scanner ignores operands; every other name refuses one too many.
        if (n.name != "velmortev-scan-partitions") {
            args extra = n.operands;
            extra.push_back("extra");
            expect_usage_error(run_as(n, extra), n, "Too many arguments\n");
        }
    }
}

// Started through a link of any other name, a two-name program says so and
// ends with -ENOENT before it looks at an option.
TEST(Frame, TwoNameProgramsRefuseAnyOtherName) {
    for (const framed_name& n : framed_names) {
        if (n.module.empty())
            continue;
        SCOPED_TRACE(n.name);
        scratch_dir dir;
        std::string foo = dir.file("foo");
        ASSERT_EQ(symlink(sbin(n.name).c_str(), foo.c_str()), 0);
        run_spec spec;
        spec.program = foo;
        spec.args = {"-h"};
        run_result r = run(spec);
        EXPECT_EQ(r.status, shell_status(-ENOENT));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "foo: " + n.module + " cannot handle \"foo\" internally\n");
    }
}

// The record of an in-process run of the loop: what the handler was handed,
// and the letter it answers with stop.
struct loop_run {
    int stop_letter;
    std::string taken;  // each letter, with "=ARG" for an argument, then a space
};

vlm::option_result take(loop_run& run, int letter, const char* arg) {
    run.taken += char(letter);
    if (arg)
        run.taken += std::string("=") + arg;
    run.taken += ' ';
    return letter == run.stop_letter ? vlm::option_result::stop : vlm::option_result::handled;
}

constexpr vlm::option_word loop_words[] = {{"bee", 'b'}};
const vlm::option_table<loop_run> loop_options = {":hV-:abo:", loop_words,
                                                  vlm::missing_argument::requires_argument, take};

// A stop ends the loop right after the option that asked for it: nothing
// after it is handed on, and the index is that of the next argument.
TEST(FrameLoop, StopEndsTheLoopAfterItsOption) {
    struct {
        args arguments;
        int stop_letter;
        std::string taken;
        int index;
    } cases[] = {
        {{"-a", "op"}, 0, "a ", 2},  // no stop: the loop ends at the operand
        {{"-b", "-a"}, 'b', "b ", 2},
        {{"-a", "-b", "-a", "op"}, 'b', "a b ", 3},
        {{"-a", "-o", "x", "-b"}, 'o', "a o=x ", 4},  // after the option's argument
        {{"-ox", "-b"}, 'o', "o=x ", 2},
        {{"-a", "--bee", "-a"}, 'b', "a b ", 3},  // a word stops like its letter
        {{"-b", "--bogus"}, 'b', "b ", 2},       // an invalid option after it is never read
    };
    for (auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        std::vector<std::string> texts = {"loop"};
        texts.insert(texts.end(), c.arguments.begin(), c.arguments.end());
        std::vector<char*> argv;
        for (std::string& t : texts)
            argv.push_back(t.data());
        argv.push_back(nullptr);
        loop_run run{c.stop_letter, ""};
        optind = 0;  // getopt starts afresh, its inner state included
        int index = vlm::parse_options(int(texts.size()), argv.data(), loop_options, run);
        EXPECT_EQ(run.taken, c.taken);
        EXPECT_EQ(index, c.index);
    }
}

}  // namespace
