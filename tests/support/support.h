// SPDX-License-Identifier: GPL-2.0-or-later
// What the tests share: running a built program as a user would, scratch
// directories, loop devices on temporary files, and raw device bytes.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace vlm::test {

// Where the build put the kit's programs and the testbed.
std::string sbin(const std::string& program);
std::string testbed(const std::string& file);

// True in the build made with the sanitizers (VELMORTEV_SANITIZE).
bool sanitized_build();

struct run_spec {
    std::string program;                 // a path; see sbin()
    std::vector<std::string> args;       // argv[1] onwards
    std::string argv0;                   // defaults to the program path
    std::string input;                   // standard input's content
    std::string input_path;              // or a file to read it from
    std::vector<std::pair<std::string, std::string>> env;  // added or replaced
    bool preload = false;                // load the testbed layer
    // Bind mounts (source, target) made in a private mount namespace of the
    // child only, for fake kernel tables and fixed paths.
    std::vector<std::pair<std::string, std::string>> binds;
    int timeout_seconds = 60;            // the child is killed after this
    // The standard streams as scripts and agents hand them over: one of
    // descriptors 0, 1 and 2 closed (-1: none), standard output written to a
    // file such as /dev/full instead of being caught, standard error sent
    // where standard output goes (2>&1, caught in out), signals ignored.
    int closed_fd = -1;
    std::string output_path;
    bool error_to_output = false;
    std::vector<int> ignored_signals;
};

struct run_result {
    int status = -1;         // exit code 0-255, or 128 + signal number
    bool signalled = false;
    bool timed_out = false;
    std::string out;
    std::string err;
};

run_result run(const run_spec& spec);
// The common case: a kit program with arguments and nothing else.
run_result run_program(const std::string& program, const std::vector<std::string>& args);

// The exit status the shell sees for a negated errno.
constexpr int shell_status(int negated_errno) { return negated_errno & 0xff; }

// A temporary directory, removed with all its content.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A loop device attached to a fresh file in a scratch directory; detached
// when it goes out of scope, and by the kernel if the test process dies.
class loop_device {
public:
    // Returns an empty string on success, else what went wrong.
    std::string attach(const std::string& backing_file, off_t size, unsigned sector_size = 512);
    ~loop_device();
    const std::string& path() const { return path_; }
    dev_t rdev() const { return rdev_; }
    const std::string& backing() const { return backing_; }

private:
    std::string path_;
    std::string backing_;
    dev_t rdev_ = 0;
    int hold_fd_ = -1;
};

// True when this process may attach loop devices; otherwise the test should
// skip (or fail under CI=true) with the reason in *why.
bool loop_devices_usable(std::string* why);

// Raw file or device content, read and written with plain I/O.
std::string read_bytes(const std::string& path, off_t offset, size_t length);
void write_bytes(const std::string& path, off_t offset, const std::string& data);
void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);

}  // namespace vlm::test

// Skips the test when loop devices cannot be used here, saying why; under
// CI=true that is a failure, since CI must run every test.
#define REQUIRE_LOOP_DEVICES()                                              \
    do {                                                                    \
        std::string why_;                                                   \
        if (!::vlm::test::loop_devices_usable(&why_)) {                     \
            if (const char* ci_ = getenv("CI"); ci_ && std::string(ci_) == "true") \
                FAIL() << "loop devices are needed under CI: " << why_;     \
            GTEST_SKIP() << "skipped: needs root and loop devices (" << why_ << ")"; \
        }                                                                   \
    } while (0)
