// SPDX-License-Identifier: GPL-2.0-or-later
#include "support.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace vlm::test {

static std::string env_or(const char* name, const char* fallback) {
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}

std::string sbin(const std::string& program) {
    return env_or("VELMORTEV_SBIN", "sbin") + "/" + program;
}

std::string testbed(const std::string& file) {
    return env_or("VELMORTEV_TESTBED", "testbed") + "/" + file;
}

bool sanitized_build() {
#ifdef VELMORTEV_SANITIZE
    return true;
#else
    return false;
#endif
}

static void child_fail(const char* what) {
    dprintf(2, "test runner: %s: %s\n", what, strerror(errno));
    _exit(127);
}

static std::vector<std::string> child_environment(const run_spec& spec) {
    std::vector<std::string> env;
    auto overridden = [&](const std::string& entry) {
        for (auto& [k, v] : spec.env)
            if (entry.compare(0, k.size() + 1, k + "=") == 0)
                return true;
        return spec.preload && entry.compare(0, 11, "LD_PRELOAD=") == 0;
    };
    for (char** e = environ; *e; e++)
        if (!overridden(*e))
            env.emplace_back(*e);
    for (auto& [k, v] : spec.env)
        env.push_back(k + "=" + v);
    if (spec.preload)
        env.push_back("LD_PRELOAD=" + testbed("libvlm_testbed.so"));
    return env;
}

[[noreturn]] static void exec_child(const run_spec& spec, int out_fd, int err_fd,
                                    int in_fd, std::vector<std::string>& env) {
    if (!spec.output_path.empty()) {
        out_fd = open(spec.output_path.c_str(), O_WRONLY | O_CLOEXEC);
        if (out_fd < 0)
            child_fail("open output");
    }
    if (spec.error_to_output)
        err_fd = out_fd;
    if (dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0)
        child_fail("dup2");
    for (int sig : spec.ignored_signals)
        signal(sig, SIG_IGN);
    if (!spec.binds.empty()) {
        if (unshare(CLONE_NEWNS) < 0)
            child_fail("unshare");
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
            child_fail("mount private");
        for (auto& [src, dst] : spec.binds)
            if (mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) < 0)
                child_fail(("bind " + src + " " + dst).c_str());
    }
    std::vector<char*> argv;
    std::string argv0 = spec.argv0.empty() ? spec.program : spec.argv0;
    argv.push_back(argv0.data());
    std::vector<std::string> args = spec.args;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    if (spec.closed_fd >= 0)
        close(spec.closed_fd);
    execve(spec.program.c_str(), argv.data(), envp.data());
    child_fail(("exec " + spec.program).c_str());
    _exit(127);
}

static int make_input(const run_spec& spec) {
    if (!spec.input_path.empty())
        return open(spec.input_path.c_str(), O_RDONLY | O_CLOEXEC);
    int fd = memfd_create("stdin", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t done = 0;
    while (done < spec.input.size()) {
        ssize_t n = write(fd, spec.input.data() + done, spec.input.size() - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

static double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

run_result run(const run_spec& spec) {
    run_result result;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe");
    int in_fd = make_input(spec);
    if (in_fd < 0)
        throw std::runtime_error("stdin for " + spec.program);
    std::vector<std::string> env = child_environment(spec);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0)
        exec_child(spec, out[1], err[1], in_fd, env);
    close(out[1]);
    close(err[1]);
    close(in_fd);

    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_streams = 2;
    double deadline = now_seconds() + spec.timeout_seconds;
    while (open_streams > 0) {
        int wait_ms = int((deadline - now_seconds()) * 1000);
        if (wait_ms <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, wait_ms) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_streams--;
            }
        }
    }
    for (auto& p : fds)
        if (p.fd >= 0)
            close(p.fd);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(wstatus)) {
        result.signalled = true;
        result.status = 128 + WTERMSIG(wstatus);
    } else {
        result.status = WEXITSTATUS(wstatus);
    }
    return result;
}

run_result run_program(const std::string& program, const std::vector<std::string>& args) {
    run_spec spec;
    spec.program = sbin(program);
    spec.args = args;
    return run(spec);
}

scratch_dir::scratch_dir() {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/vlmtest.XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp");
    path_ = tmpl;
}

scratch_dir::~scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool loop_devices_usable(std::string* why) {
    if (geteuid() != 0) {
        *why = "not running as root";
        return false;
    }
    if (access("/dev/loop-control", R_OK | W_OK) != 0) {
        *why = std::string("/dev/loop-control: ") + strerror(errno);
        return false;
    }
    return true;
}

// Attaches with LOOP_CONFIGURE and the autoclear flag: the device goes away
// when its last descriptor closes, so holding one descriptor keeps it for the
// test's lifetime and a crashed test leaves nothing attached.
std::string loop_device::attach(const std::string& backing_file, off_t size,
                                unsigned sector_size) {
    backing_ = backing_file;
    int file = open(backing_file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (file < 0 || ftruncate(file, size) < 0)
        return "backing file: " + std::string(strerror(errno));
    int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
        close(file);
        return "/dev/loop-control: " + std::string(strerror(errno));
    }
    std::string failure;
    for (int attempt = 0; attempt < 50; attempt++) {
        int n = ioctl(control, LOOP_CTL_GET_FREE);
        if (n < 0) {
            failure = "LOOP_CTL_GET_FREE: " + std::string(strerror(errno));
            break;
        }
        std::string dev = "/dev/loop" + std::to_string(n);
        int fd = open(dev.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            failure = dev + ": " + strerror(errno);
            continue;
        }
        loop_config config = {};
        config.fd = unsigned(file);
        config.block_size = sector_size;
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        if (ioctl(fd, LOOP_CONFIGURE, &config) < 0) {
            failure = "LOOP_CONFIGURE " + dev + ": " + strerror(errno);
            close(fd);
            if (errno == EBUSY)
                continue;  // another test took it first
            break;
        }
        struct stat st;
        fstat(fd, &st);
        rdev_ = st.st_rdev;
        path_ = dev;
        hold_fd_ = fd;
        failure.clear();
        break;
    }
    close(control);
    close(file);
    return path_.empty() && failure.empty() ? "no free loop device" : failure;
}

loop_device::~loop_device() {
    if (hold_fd_ >= 0) {
        ioctl(hold_fd_, LOOP_CLR_FD);
        close(hold_fd_);
    }
}

std::string read_bytes(const std::string& path, off_t offset, size_t length) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("open " + path);
    std::string data(length, '\0');
    ssize_t n = pread(fd, data.data(), length, offset);
    close(fd);
    if (n < 0)
        throw std::runtime_error("pread " + path);
    data.resize(size_t(n));
    return data;
}

void write_bytes(const std::string& path, off_t offset, const std::string& data) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("open " + path);
    ssize_t n = pwrite(fd, data.data(), data.size(), offset);
    fsync(fd);
    close(fd);
    if (n != ssize_t(data.size()))
        throw std::runtime_error("pwrite " + path);
}

void write_file(const std::string& path, const std::string& content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("create " + path);
    if (write(fd, content.data(), content.size()) != ssize_t(content.size()))
        throw std::runtime_error("write " + path);
    close(fd);
}

std::string read_file(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("open " + path);
    std::string data;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        data.append(buf, size_t(n));
    close(fd);
    return data;
}

}  // namespace vlm::test
