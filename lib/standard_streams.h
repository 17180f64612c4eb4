// SPDX-License-Identifier: GPL-2.0-or-later
// The standard streams as the programs find and leave them: started from a
// script, cron or an agent, a program may get a closed descriptor 0, 1 or 2,
// a full or broken output file, or output that nobody reads.
#pragma once

namespace vlm {

// Opens /dev/null read-only onto each of the descriptors 0, 1 and 2 that is
// closed, so that no device, table or directory opened later takes such a
// number and receives the output meant for a standard stream. Reading then
// gives end of input; writing fails. Returns 0, or the negated errno when
// /dev/null cannot be opened (the program must then open nothing).
int open_missing_standard_fds();

// Writes out what standard output holds now, before a child process or a
// slow step; a failure is kept for finish_stdout, which reports it.
void flush_stdout();

// Makes sure that standard output has been written completely: flushed, and
// a duplicate of its descriptor closed, so that a file system that reports
// errors only at close is heard. When it has not, prints "<name>: Unable to write to
// standard output: <system text>" to standard error and returns the negated
// errno of the failed write, unless status is already non-zero: that one is
// returned unchanged. Called once, on the way out of the program.
int finish_stdout(int status, const char* name);

// The entry point of every program: takes descriptors 0, 1 and 2 before
// anything is opened, runs the command, and makes sure that its standard
// output was written completely. The name in the output message is the
// program's fixed name, or, when that is null, the final component of
// argv[0] as the program was started (what a two-name program calls itself).
int run_program(int (*command)(int argc, char** argv), int argc, char** argv,
                const char* fixed_name);

}  // namespace vlm
