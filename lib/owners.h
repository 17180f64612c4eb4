// Owners of the system resources the programs hold: each releases its
// resource when it goes out of scope, so every return path releases it.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

// Memory from malloc, calloc, strdup or posix_memalign, released with free.
template <typename T>
class malloc_ptr {
public:
    malloc_ptr() = default;
    explicit malloc_ptr(T* p) : p_(p) {}
    malloc_ptr(malloc_ptr&& other) noexcept : p_(other.release()) {}
    malloc_ptr& operator=(malloc_ptr&& other) noexcept {
        reset(other.release());
        return *this;
    }
    malloc_ptr(const malloc_ptr&) = delete;
    malloc_ptr& operator=(const malloc_ptr&) = delete;
    ~malloc_ptr() { reset(); }

    T* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T* release() { return std::exchange(p_, nullptr); }
    void reset(T* p = nullptr) {
        std::free(p_);
        p_ = p;
    }

private:
    T* p_ = nullptr;
};

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

// A stdio stream opened with fopen; closed with fclose.
class unique_file {
public:
    unique_file() = default;
    explicit unique_file(FILE* f) : f_(f) {}
    unique_file(const unique_file&) = delete;
    unique_file& operator=(const unique_file&) = delete;
    ~unique_file() {
        if (f_)
            std::fclose(f_);
    }
    FILE* get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }

private:
    FILE* f_ = nullptr;
};

// A directory stream opened with opendir; closed with closedir.
class unique_dir {
public:
    unique_dir() = default;
    explicit unique_dir(DIR* d) : d_(d) {}
    unique_dir(const unique_dir&) = delete;
    unique_dir& operator=(const unique_dir&) = delete;
    ~unique_dir() {
        if (d_)
            closedir(d_);
    }
    DIR* get() const { return d_; }
    explicit operator bool() const { return d_ != nullptr; }

private:
    DIR* d_ = nullptr;
};

}  // namespace vlm
