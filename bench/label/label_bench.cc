// SPDX-License-Identifier: GPL-2.0-or-later
// Times velmortev-read-label on a labelled loop device against the cost of
// starting the smallest C program, against a C program that makes the same
// system calls to read the block (the floor: the read itself waits for the
// loop device's worker), and against blkid -p on the same device. Runs are
// interleaved so that all four see the same machine; medians.
//
// Usage: label_bench [RUNS]   (300 by default)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support.h"

extern char** environ;

namespace {

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// One run of the command with its output thrown away; seconds taken.
double time_run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    double start = now();
    pid_t pid;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        std::perror(args[0]);
        std::exit(1);
    }
    int status;
    waitpid(pid, &status, 0);
    double took = now() - start;
    posix_spawn_file_actions_destroy(&actions);
    return took;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 300;
    std::string why;
    if (!vlm::test::loop_devices_usable(&why)) {
        std::fprintf(stderr, "label_bench: needs root and loop devices (%s)\n", why.c_str());
        return 1;
    }
    vlm::test::scratch_dir dir;
    vlm::test::loop_device loop;
    std::string failure = loop.attach(dir.file("disk.img"), 8 << 20);
    if (!failure.empty()) {
        std::fprintf(stderr, "label_bench: %s\n", failure.c_str());
        return 1;
    }
    std::string sbin = vlm::test::sbin("");
    time_run({sbin + "velmortev-write-label", loop.path(), "BENCH"});

    const std::vector<std::string> reader = {sbin + "velmortev-read-label", loop.path()};
    const std::vector<std::string> noop = {NOOP_PATH};
    const std::vector<std::string> read_block = {READ_BLOCK_PATH, loop.path()};
    const std::vector<std::string> blkid = {"/usr/sbin/blkid", "-p", loop.path()};
    std::vector<double> t_reader, t_noop, t_floor, t_blkid;
    // blkid reads through the page cache, and the next direct read of the
    // device first drops what it left there: the reader and the floor take
    // turns at coming right after it.
    for (int i = 0; i < runs; i++) {
        t_blkid.push_back(time_run(blkid));
        bool reader_first = i % 2 == 0;
        (reader_first ? t_reader : t_floor).push_back(time_run(reader_first ? reader : read_block));
        t_noop.push_back(time_run(noop));
        (reader_first ? t_floor : t_reader).push_back(time_run(reader_first ? read_block : reader));
    }
    double r = median(t_reader), n = median(t_noop), f = median(t_floor), b = median(t_blkid);
    std::printf("runs: %d each, interleaved; medians\n", runs);
    std::printf("velmortev-read-label: %8.1f us\n", r * 1e6);
    std::printf("minimal C program:    %8.1f us\n", n * 1e6);
    std::printf("C block read:         %8.1f us\n", f * 1e6);
    std::printf("blkid -p:             %8.1f us\n", b * 1e6);
    std::printf("read-label / minimal program: %.2fx\n", r / n);
    std::printf("C block read / minimal program: %.2fx (the floor)\n", f / n);
    std::printf("read-label / C block read:    %.2fx\n", r / f);
    std::printf("read-label / blkid -p:        %.2fx\n", r / b);
    return 0;
}
