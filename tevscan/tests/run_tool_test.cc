// SPDX-License-Identifier: GPL-2.0-or-later
// run_tool in this process, with scripted tools found through PATH.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fake_tool.h"
#include "support.h"
#include "tevscan/run_tool.h"

using namespace vlm;
using namespace vlm::test;

namespace {

// Runs the tool with the arguments after slot 0, found through this PATH.
struct tool_run {
    int status;
    captured_text out;
    captured_text err;
    const char* slot0_after;
};

tool_run run_with_path(const std::string& path, std::vector<const char*> args) {
    std::string saved = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", path.c_str(), 1);
    std::vector<const char*> argv{nullptr};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(nullptr);
    tool_run r;
    r.status = run_tool(argv.data(), &r.out, &r.err);
    r.slot0_after = argv[0];
    setenv("PATH", saved.c_str(), 1);
    return r;
}

std::string text(const captured_text& t) { return t.text ? t.text.get() : "<none>"; }

TEST(RunTool, RefusesAVectorWithoutAnEmptySlotZero) {
    fake_tool tool("touch \"$here/ran\"");
    setenv("PATH", tool.search_path().c_str(), 1);
    captured_text out, err;
    const char* filled[] = {"tevtool", "-I", nullptr};
    EXPECT_EQ(run_tool(filled, &out, &err), -EINVAL);
    EXPECT_EQ(run_tool(nullptr, &out, &err), -EINVAL);
    EXPECT_FALSE(out.text);
    EXPECT_TRUE(tool.calls().empty());
}

// The child names the error of its exec in its exit code; the caller's slot 0
// is empty again, as after any run.
TEST(RunTool, FailedExecIsTheChildsExitCode) {
    scratch_dir empty;
    tool_run r = run_with_path(empty.path(), {"-I"});
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), -ENOENT & 0xff);
    EXPECT_EQ(text(r.out), "");
    EXPECT_EQ(r.slot0_after, nullptr);
}

TEST(RunTool, FullBufferKeepsCapacityMinusOneBytes) {
    size_t c = capture_capacity();
    EXPECT_EQ(c, 8 * size_t(getpagesize()));
    for (size_t written : {c - 1, c, c + 1}) {
        fake_tool tool("head -c " + std::to_string(written) + " /dev/zero | tr '\\0' o");
        tool_run r = run_with_path(tool.search_path(), {});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.count, std::min(written, c)) << written;
        EXPECT_EQ(strlen(r.out.text.get()), std::min(written, c - 1)) << written;
        EXPECT_EQ(r.err.count, 0u);
        EXPECT_EQ(r.slot0_after, nullptr);
    }
}

// The tool fills standard error far beyond a pipe's size before it writes
// a byte on standard output: only a side-by-side drain lets it finish, and
// it ends normally because the surplus is read, not refused.
TEST(RunTool, DrainsBothStreamsBeyondTheCapacityWithoutBlockingTheTool) {
    fake_tool tool("head -c 300000 /dev/zero | tr '\\0' e >&2; head -c 300000 /dev/zero | tr '\\0' o");
    alarm(30);  // a drain that blocks ends the test instead of hanging it
    tool_run r = run_with_path(tool.search_path(), {});
    alarm(0);
    EXPECT_EQ(r.status, 0);
    size_t c = capture_capacity();
    EXPECT_EQ(r.out.count, c);
    EXPECT_EQ(r.err.count, c);
    EXPECT_EQ(text(r.out), std::string(c - 1, 'o'));
    EXPECT_EQ(text(r.err), std::string(c - 1, 'e'));
}

TEST(RunTool, ReapsItsOwnChildOnly) {
    fake_tool tool("exit 0");
    pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0)
        _exit(42);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, other, &info, WEXITED | WNOWAIT), 0);  // now a zombie
    tool_run r = run_with_path(tool.search_path(), {});
    EXPECT_EQ(r.status, 0);
    int status = 0;
    ASSERT_EQ(waitpid(other, &status, 0), other);
    EXPECT_EQ(WEXITSTATUS(status), 42);
}

TEST(ToolOutcome, ReadsTheResultInOrder) {
    struct {
        int result;
        tool_ending ending;
        int value;
    } cases[] = {
        {-ENOMEM, tool_ending::not_run, -ENOMEM},
        {SIGKILL, tool_ending::killed, SIGKILL},
        {0x80 | SIGSEGV, tool_ending::killed, SIGSEGV},  // with a core dump
        {0x137f, tool_ending::unknown, 0x137f},
        {0, tool_ending::exited, 0},
        {254 << 8, tool_ending::exited, 254},
    };
    for (auto& c : cases) {
        tool_outcome o = decode_outcome(c.result);
        EXPECT_EQ(o.ending, c.ending) << c.result;
        EXPECT_EQ(o.value, c.value) << c.result;
    }
}

}  // namespace
