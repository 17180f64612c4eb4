// SPDX-License-Identifier: GPL-2.0-or-later
// Owners of the system resources the programs hold: each releases its
// resource when it goes out of scope, so every return path releases it.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

namespace vlm {

// An open file descriptor; -1 when empty.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            int saved = errno;  // closing must not disturb a pending error
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Releasers for std::unique_ptr, one per kind of resource.
struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};
struct file_closer {
    void operator()(FILE* f) const { std::fclose(f); }
};
struct dir_closer {
    void operator()(DIR* d) const { closedir(d); }
};

// Memory from malloc, calloc, strdup or posix_memalign, released with free.
template <typename T>
using malloc_ptr = std::unique_ptr<T, free_deleter>;

// A stdio stream opened with fopen; closed with fclose.
using unique_file = std::unique_ptr<FILE, file_closer>;

// A directory stream opened with opendir; closed with closedir.
using unique_dir = std::unique_ptr<DIR, dir_closer>;

// A buffer aligned for direct I/O. make() returns 0 or the negated error of
// the allocation, so that running out of memory is an ordinary result.
class aligned_buffer {
public:
    int make(size_t alignment, size_t size) {
        void* p = nullptr;
        int rc = posix_memalign(&p, alignment, size);
        if (rc != 0)
            return -rc;
        mem_.reset(static_cast<unsigned char*>(p));
        size_ = size;
        return 0;
    }
    unsigned char* data() const { return mem_.get(); }
    size_t size() const { return size_; }

private:
    malloc_ptr<unsigned char> mem_;
    size_t size_ = 0;
};

}  // namespace vlm
