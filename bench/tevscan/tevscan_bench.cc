// SPDX-License-Identifier: GPL-2.0-or-later
// Times one tevscan pass over 1,000 disk nodes and 1,000 devices, with a
// trivial static tevtool, against a plain C loop that starts the same tool
// the same 2,000 times: the ratio is what tevscan adds to the process starts
// its design needs. Runs alternate; medians.
//
// Safety: tevscan's first phase opens every device of the partition table.
// The bench moves itself into a private mount namespace, binds a fake table
// over /proc/partitions there, and checks that the table it now reads is
// the fake one before anything runs. The fake table names devices without
// a /dev node (checked one by one), so no device is opened at all.
//
// Honesty: the tool counts its runs; every round checks that both sides ran
// it 2,000 times, that tevscan ended with status 0 and printed nothing, and
// that all 1,000 nodes are still there.
//
// Usage: tevscan_bench [ROUNDS [TEVSCAN...]]   (5 rounds; this build's tevscan)
// Several tevscans (e.g. one of an earlier build beside this one) run in the
// same rounds, one after the other, so that their figures compare on equal
// terms.
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support.h"

namespace {

constexpr int count = 1000;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "tevscan_bench: %s\n", what.c_str());
    std::exit(1);
}

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::vector<char*> c_strings(std::vector<std::string>& texts) {
    std::vector<char*> v;
    for (std::string& t : texts)
        v.push_back(t.data());
    v.push_back(nullptr);
    return v;
}

struct timing {
    double wall;  // seconds
    double cpu;   // user and system seconds of the run and the tools it waited for
};

// One run with both output streams in the file.
timing time_run(std::vector<std::string> argv, std::vector<std::string> env,
                const std::string& output, int* status) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args = c_strings(argv), envp = c_strings(env);
    double start = now();
    pid_t pid;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
        die("cannot start " + argv[0]);
    rusage usage;
    wait4(pid, status, 0, &usage);
    double took = now() - start;
    posix_spawn_file_actions_destroy(&actions);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return {took, seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

double median_of(const std::vector<timing>& runs, double timing::*field) {
    std::vector<double> v;
    for (const timing& t : runs)
        v.push_back(t.*field);
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string numbered(const char* format, int i) {
    char text[64];
    std::snprintf(text, sizeof text, format, i);
    return text;
}

// Enters a private mount namespace whose /proc/partitions is the fake table.
void hide_the_real_table(const std::string& table) {
    if (unshare(CLONE_NEWNS) < 0)
        die(std::string("unshare: ") + strerror(errno));
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
        die(std::string("private mounts: ") + strerror(errno));
    if (mount(table.c_str(), "/proc/partitions", nullptr, MS_BIND, nullptr) < 0)
        die(std::string("bind mount: ") + strerror(errno));
    if (vlm::test::read_file("/proc/partitions") != vlm::test::read_file(table))
        die("/proc/partitions is not the fake table");
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    std::vector<std::string> tevscans(argv + std::min(argc, 2), argv + argc);
    if (tevscans.empty())
        tevscans.push_back(TEVSCAN_PATH);
    if (geteuid() != 0)
        die("needs root for its private mount namespace");
    vlm::test::scratch_dir dir;
    std::string manager = dir.file("manager");
    std::filesystem::create_directories(manager + "/disks");
    std::string table = "major minor  #blocks  name\n\n";
    for (int i = 0; i < count; i++) {
        vlm::test::write_file(manager + "/disks/" + numbered("D%04d", i), "");
        std::string name = numbered("vtbench%04d", i);
        struct stat st;
        if (lstat(("/dev/" + name).c_str(), &st) == 0)
            die("/dev/" + name + " exists");
        table += "  240 " + std::to_string(i) + " 4096 " + name + "\n";
    }
    vlm::test::write_file(dir.file("partitions"), table);
    hide_the_real_table(dir.file("partitions"));

    std::string counter = dir.file("runs"), output = dir.file("output");
    std::vector<std::string> env = {std::string("PATH=") + TOOL_DIR + ":/usr/bin:/bin",
                                    "TEVBENCH_COUNTER=" + counter};
    std::vector<std::string> scan_env = env;
    scan_env.push_back(std::string("LD_PRELOAD=") + PRELOAD_PATH);
    scan_env.push_back("VLM_TESTBED_MANAGERS=" + manager);
    auto check = [&](const char* who, int status, bool quiet) {
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            die(std::string(who) + " failed with status " + std::to_string(status));
        if (vlm::test::read_file(counter).size() != 2 * count)
            die(std::string(who) + " did not run the tool 2000 times");
        if (quiet && !vlm::test::read_file(output).empty())
            die(std::string(who) + " said: " + vlm::test::read_file(output));
        size_t nodes = 0;
        for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(manager + "/disks"))
            nodes++;
        if (nodes != count)
            die(std::string(who) + " changed the manager");
    };

    // The driver runs twice per round: bare, and carrying the testbed layer
    // that tevscan needs for its manager check, so that the layer's own cost
    // can be told apart from tevscan's.
    std::vector<std::string> rigged_env = env;
    rigged_env.push_back(std::string("LD_PRELOAD=") + PRELOAD_PATH);
    std::vector<std::vector<timing>> t_scans(tevscans.size());
    std::vector<timing> t_driver, t_rigged;
    for (int i = 0; i < rounds; i++) {
        int status;
        for (size_t k = 0; k < tevscans.size(); k++) {
            vlm::test::write_file(counter, "");
            t_scans[k].push_back(time_run({tevscans[k], "-l", manager}, scan_env, output, &status));
            check("tevscan", status, true);
        }
        for (auto [times, environment] :
             {std::pair{&t_driver, &env}, std::pair{&t_rigged, &rigged_env}}) {
            vlm::test::write_file(counter, "");
            times->push_back(time_run({DRIVER_PATH, manager, std::to_string(count)},
                                      *environment, output, &status));
            check("driver", status, false);
        }
    }
    auto wall = [](const std::vector<timing>& t) { return median_of(t, &timing::wall); };
    auto cpu = [](const std::vector<timing>& t) { return median_of(t, &timing::cpu); };
    std::printf("%d disk nodes, %d devices, %d tool runs per pass; %d rounds, medians\n", count,
                count, 2 * count, rounds);
    std::printf("%-32s %9s %9s\n", "", "wall ms", "cpu ms");
    // Each tevscan is named by its place on the command line: tevscan 1, 2...
    auto name = [&](size_t k) {
        return tevscans.size() == 1 ? std::string("tevscan") : "tevscan " + std::to_string(k + 1);
    };
    for (size_t k = 0; k < tevscans.size(); k++)
        std::printf("%-32s %9.1f %9.1f\n", name(k).c_str(), wall(t_scans[k]) * 1e3,
                    cpu(t_scans[k]) * 1e3);
    std::printf("%-32s %9.1f %9.1f\n", "fork-exec driver", wall(t_driver) * 1e3,
                cpu(t_driver) * 1e3);
    std::printf("%-32s %9.1f %9.1f\n", "fork-exec driver, testbed layer", wall(t_rigged) * 1e3,
                cpu(t_rigged) * 1e3);
    for (size_t k = 0; k < tevscans.size(); k++) {
        const std::vector<timing>& t = t_scans[k];
        std::printf("%s / driver:%*s%.2fx wall, %.2fx cpu\n", name(k).c_str(),
                    int(24 - name(k).size()), "", wall(t) / wall(t_driver),
                    cpu(t) / cpu(t_driver));
        std::printf("%s / driver, testbed layer: %.2fx wall, %.2fx cpu\n", name(k).c_str(),
                    wall(t) / wall(t_rigged), cpu(t) / cpu(t_rigged));
    }
    for (size_t k = 1; k < tevscans.size(); k++)
        std::printf("%s / tevscan 1:%*s%.2fx wall, %.2fx cpu\n", name(k).c_str(), 21 - int(name(k).size()),
                    "", wall(t_scans[k]) / wall(t_scans[0]), cpu(t_scans[k]) / cpu(t_scans[0]));
    return 0;
}
