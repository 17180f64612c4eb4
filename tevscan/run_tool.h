// SPDX-License-Identifier: GPL-2.0-or-later
// Runs the driver's command-line tool as a child process and captures what
// it writes on its two output streams.
#pragma once

#include <cstddef>

#include "lib/owners.h"

namespace vlm {

// What a child wrote on one stream, NUL-terminated. The count is the number
// of bytes kept, at most the capacity; a full buffer holds capacity - 1
// bytes of text, the last byte kept being replaced by the terminator.
struct captured_text {
    malloc_ptr<char> text;
    size_t count = 0;
};

// Each stream is captured into a buffer of this many bytes.
size_t capture_capacity();

// Starts "tevtool" (found through PATH) with the argument vector, whose slot
// 0 must be empty: the runner fills it for the start and empties it again,
// so the caller can refill the vector and run it again. Drains both streams until they end,
// reaps the child and returns its wait status with both texts filled.
// Returns -EINVAL for a missing vector or a filled slot 0, -ENOMEM when a
// buffer cannot be made, or the negated errno of a failed pipe, fork, poll,
// read or wait; after a failure both texts are empty.
int run_tool(const char** argv, captured_text* out, captured_text* err);

// How a tool run ended, read from run_tool's result.
enum class tool_ending {
    not_run,  // value: the negated errno
    killed,   // value: the signal number
    unknown,  // value: the wait status itself
    exited,   // value: the exit code 0-255
};

struct tool_outcome {
    tool_ending ending;
    int value;
};

tool_outcome decode_outcome(int result);

}  // namespace vlm
