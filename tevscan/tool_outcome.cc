// SPDX-License-Identifier: GPL-2.0-or-later
// The parts of the tool runner that do not start a process: the capture size
// and the reading of a run's result. They sit apart from run_tool itself, so
// that a stand-in for run_tool can be linked in its place.
#include <sys/wait.h>
#include <unistd.h>

#include "tevscan/run_tool.h"

namespace vlm {

size_t capture_capacity() { return 8 * size_t(getpagesize()); }

tool_outcome decode_outcome(int result) {
    if (result < 0)
        return {tool_ending::not_run, result};
    if (WIFEXITED(result))
        return {tool_ending::exited, WEXITSTATUS(result)};
    if (WIFSIGNALED(result))
        return {tool_ending::killed, WTERMSIG(result)};
    return {tool_ending::unknown, result};
}

}  // namespace vlm
