// SPDX-License-Identifier: GPL-2.0-or-later
// What the fuzz targets share: the frame's process exit turned into a return
// to the target, argument vectors cut from the input, the programs' streams
// sent nowhere or caught, and input bytes offered as a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// An argument vector cut from the input at its NUL bytes (an empty input
// gives none): argv[0] is the first piece, or the given name when `name` is
// not null. Owns its texts,
// which the program may change in place (getopt permutes the pointers, the
// two-name rule cuts argv[0]).
class arguments {
public:
    arguments(std::string_view input, const char* name, size_t max_count = 24);
    int argc() const { return static_cast<int>(pointers_.size()) - 1; }
    char** argv() { return pointers_.data(); }

private:
    std::vector<std::string> texts_;
    std::vector<char*> pointers_;
};

// Runs a program's entry point with the arguments as a fresh process would,
// with getopt reset. An exit() inside it (the usage-and-exit routine, the
// version printer) ends the call instead of the process; the result is the
// status either way.
int run_main(int (*entry)(int, char**), arguments& args);

// Runs fn() the same way, for code that may end the process through the
// frame (the label-name rules). Returns true when fn returned, false with
// *status set when it exited.
bool run_until_exit(void (*fn)(void*), void* context, int* status);

// True while run_main runs a program: the stand-ins of world.cc act only
// then, and let the fuzzer's own file work through.
bool in_program();

// Standard output and standard error of the program go to a sink for the
// lifetime of the object: nowhere, or into `caught` when given.
class redirected_streams {
public:
    explicit redirected_streams(std::string* caught_err = nullptr);
    ~redirected_streams();
    redirected_streams(const redirected_streams&) = delete;
    redirected_streams& operator=(const redirected_streams&) = delete;

private:
    FILE* saved_out_;
    FILE* saved_err_;
    FILE* err_sink_ = nullptr;
    char* err_text_ = nullptr;
    size_t err_size_ = 0;
    std::string* caught_;
};

// Standard input of the program reads the text for the lifetime of the
// object.
class redirected_input {
public:
    explicit redirected_input(std::string_view text);
    ~redirected_input();
    redirected_input(const redirected_input&) = delete;
    redirected_input& operator=(const redirected_input&) = delete;

private:
    std::string text_;
    FILE* saved_;
    FILE* stream_;
};

// The bytes as an anonymous file; path() names it for fopen and open.
class memory_file {
public:
    explicit memory_file(std::string_view bytes);
    ~memory_file();
    memory_file(const memory_file&) = delete;
    memory_file& operator=(const memory_file&) = delete;
    int fd() const { return fd_; }
    const char* path() const { return path_.c_str(); }

private:
    int fd_;
    std::string path_;
};

// Stops the fuzzer with a message when a property of the code under test
// does not hold, so that the input is kept as a finding.
[[noreturn]] void finding(const char* what, std::string_view detail = {});
inline void require(bool holds, const char* what, std::string_view detail = {}) {
    if (!holds)
        finding(what, detail);
}

}  // namespace fuzz
