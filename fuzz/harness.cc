// SPDX-License-Identifier: GPL-2.0-or-later
#include "harness.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern "C" [[noreturn]] void __real_exit(int status);

namespace fuzz {

namespace {

// The exit of a program run by run_main, carried back to it.
struct program_exit {
    int status;
};

bool inside_program = false;

FILE* null_sink() {
    static FILE* sink = std::fopen("/dev/null", "w");
    return sink;
}

}  // namespace

arguments::arguments(std::string_view input, const char* name, size_t max_count) {
    if (name)
        texts_.emplace_back(name);
    while (!input.empty() && texts_.size() < max_count) {
        size_t end = input.find('\0');
        texts_.emplace_back(input.substr(0, end));
        if (end == std::string_view::npos)
            break;
        input.remove_prefix(end + 1);
    }
    for (std::string& text : texts_)
        pointers_.push_back(text.data());
    pointers_.push_back(nullptr);
}

bool in_program() { return inside_program; }

bool run_until_exit(void (*fn)(void*), void* context, int* status) {
    inside_program = true;
    bool returned = true;
    try {
        fn(context);
    } catch (const program_exit& e) {
        *status = e.status;
        returned = false;
    }
    inside_program = false;
    return returned;
}

int run_main(int (*entry)(int, char**), arguments& args) {
    optind = 0;  // a full reset of getopt, its inner state included
    struct call {
        int (*entry)(int, char**);
        arguments* args;
        int status;
    } c = {entry, &args, 0};
    int status;
    auto run = [](void* p) {
        auto* c = static_cast<call*>(p);
        c->status = c->entry(c->args->argc(), c->args->argv());
    };
    return run_until_exit(run, &c, &status) ? c.status : status;
}

redirected_streams::redirected_streams(std::string* caught_err)
    : saved_out_(stdout), saved_err_(stderr), caught_(caught_err) {
    stdout = null_sink();
    if (caught_) {
        err_sink_ = open_memstream(&err_text_, &err_size_);
        stderr = err_sink_ ? err_sink_ : null_sink();
    } else {
        stderr = null_sink();
    }
}

redirected_streams::~redirected_streams() {
    std::fflush(stdout);
    stdout = saved_out_;
    stderr = saved_err_;
    if (err_sink_) {
        std::fclose(err_sink_);
        caught_->assign(err_text_, err_size_);
        std::free(err_text_);
    }
}

redirected_input::redirected_input(std::string_view text) : text_(text), saved_(stdin) {
    // fmemopen of an empty buffer fails; an empty input reads as /dev/null.
    stream_ = text_.empty() ? std::fopen("/dev/null", "r")
                            : fmemopen(text_.data(), text_.size(), "r");
    stdin = stream_;
}

redirected_input::~redirected_input() {
    stdin = saved_;
    if (stream_)
        std::fclose(stream_);
}

memory_file::memory_file(std::string_view bytes) {
    fd_ = memfd_create("fuzz-input", MFD_CLOEXEC);
    if (fd_ < 0)
        finding("memfd_create failed");
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            finding("writing the memory file failed");
        done += size_t(n);
    }
    lseek(fd_, 0, SEEK_SET);
    path_ = "/proc/self/fd/" + std::to_string(fd_);
}

memory_file::~memory_file() { close(fd_); }

// Written to descriptor 2 itself: stderr may be a program's sink just now.
void finding(const char* what, std::string_view detail) {
    dprintf(2, "fuzz finding: %s", what);
    if (!detail.empty())
        dprintf(2, ": %.*s", int(detail.size()), detail.data());
    dprintf(2, "\n");
    std::abort();
}

}  // namespace fuzz

// Linked with --wrap=exit: inside a program run by run_main, exit unwinds to
// it; anywhere else (the fuzzer's own ending) it is the real exit.
extern "C" void __wrap_exit(int status) {
    if (fuzz::inside_program) {
        fuzz::inside_program = false;
        throw fuzz::program_exit{status};
    }
    __real_exit(status);
}
