// SPDX-License-Identifier: GPL-2.0-or-later
// Times "velmortev list -o json" and "velmortev check" over 250, 500 and
// 1,000 labelled loop
// devices against the floor (a C program that opens each device for direct
// reading and reads its first block) and against the plumbing pipeline
// "velmortev-scan-partitions | xargs -n1 velmortev-read-label" (check also
// against list, which takes the same inventory), and prints
// the cost per device of each beyond the start of one process, so that a
// cost that grows with the number of devices shows. Every command sees a fake /proc/partitions that lists this
// bench's loop devices alone, in a private mount namespace, so nothing opens
// another device of the machine; the front end finds its manager, a scratch
// directory, through the testbed layer. Rounds are interleaved; medians.
// The loop devices go when the bench ends, however it ends (autoclear).
//
// Usage: velmortev_bench [ROUNDS [OTHER_VELMORTEV...]]   (5 rounds by default;
// run as root). Each other build of velmortev given is timed as one more
// contender, "list-2", "list-3"..., in the same rounds, so that a change is
// judged against the build without it under the same load.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support.h"

namespace {

using vlm::test::run_spec;

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// What the loop driver lets this kernel have, for the message when
// attaching runs out.
std::string loop_limits() {
    std::string max_loop = vlm::test::read_file("/sys/module/loop/parameters/max_loop");
    while (!max_loop.empty() && max_loop.back() == '\n')
        max_loop.pop_back();
    return "max_loop=" + (max_loop.empty() ? std::string("?") : max_loop) +
           (access("/dev/loop-control", W_OK) == 0 ? ", /dev/loop-control there"
                                                   : ", no /dev/loop-control");
}

struct world {
    vlm::test::scratch_dir dir;
    std::vector<std::unique_ptr<vlm::test::loop_device>> loops;
    std::string manager = dir.file("manager");
    std::string partitions = dir.file("partitions");
    std::string settings = dir.file("settings");
};

// Attaches and labels loop devices until there are count of them; an empty
// string, or what went wrong.
std::string grow(world& w, size_t count) {
    while (w.loops.size() < count) {
        size_t i = w.loops.size();
        auto loop = std::make_unique<vlm::test::loop_device>();
        std::string failure = loop->attach(w.dir.file("disk" + std::to_string(i)), 1 << 20);
        if (!failure.empty())
            return "loop device " + std::to_string(i + 1) + ": " + failure + " (" + loop_limits() + ")";
        std::string label = "BENCH" + std::to_string(i);
        auto written = vlm::test::run_program("velmortev-write-label",
                                              {loop->path(), label});
        if (written.status != 0)
            return "velmortev-write-label " + loop->path() + ": " + written.err;
        // Each with its node, as after a pass: check then matches them all.
        mknod((w.manager + "/disks/" + label).c_str(), S_IFBLK | 0600, loop->rdev());
        w.loops.push_back(std::move(loop));
    }
    std::string table = "major minor  #blocks  name\n\n";
    for (auto& loop : w.loops) {
        char line[96];
        std::snprintf(line, sizeof line, "%4u %7u %10u %s\n", major(loop->rdev()),
                      minor(loop->rdev()), 1024u, loop->path().substr(5).c_str());
        table += line;
    }
    vlm::test::write_file(w.partitions, table);
    return "";
}

// One run in the fake world; seconds taken, or a negative value when the
// command failed (its error is printed). A status up to ACCEPTED is no
// failure: check reports its findings so.
double time_run(const world& w, run_spec spec, int accepted) {
    spec.binds.push_back({w.partitions, "/proc/partitions"});
    // The machine's own settings would change what is listed.
    if (access("/etc/velmortev", F_OK) == 0)
        spec.binds.push_back({w.settings, "/etc/velmortev"});
    spec.timeout_seconds = 600;
    double start = now();
    vlm::test::run_result r = vlm::test::run(spec);
    double took = now() - start;
    if (r.status < 0 || r.status > accepted) {
        std::fprintf(stderr, "%s ended with %d: %.300s\n", spec.program.c_str(), r.status,
                     r.err.c_str());
        return -1;
    }
    return took;
}

struct contender {
    const char* name;
    run_spec spec;
    std::vector<double> times;
    int accepted = 0;
};

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    std::vector<std::string> others(argv + std::min(argc, 2), argv + argc);
    std::vector<std::string> other_names;
    for (size_t i = 0; i < others.size(); i++)
        other_names.push_back("list-" + std::to_string(i + 2));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    setenv("VELMORTEV_SBIN", SBIN_DIR, 0);
    setenv("VELMORTEV_TESTBED", TESTBED_DIR, 0);
    std::string why;
    if (!vlm::test::loop_devices_usable(&why)) {
        std::fprintf(stderr, "velmortev_bench: needs root and loop devices (%s)\n", why.c_str());
        return 1;
    }
    // One descriptor holds each loop device.
    rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    world w;
    mkdir(w.manager.c_str(), 0755);
    mkdir((w.manager + "/disks").c_str(), 0755);
    mkdir(w.settings.c_str(), 0755);
    std::string sbin = vlm::test::sbin("");
    bool front_end = access((sbin + "velmortev").c_str(), X_OK) == 0;
    if (!front_end)
        std::printf("%svelmortev is not built: the front end is left out\n", sbin.c_str());
    std::printf("%s; %d rounds per size, interleaved; medians\n", loop_limits().c_str(), rounds);
    std::printf("%7s %-10s %10s %12s   (us/device: beyond the start)\n", "devices", "command", "ms",
                "us/device");

    for (size_t count : {250, 500, 1000}) {
        std::string failure = grow(w, count);
        if (!failure.empty()) {
            std::fprintf(stderr, "velmortev_bench: %s\n", failure.c_str());
            return 1;
        }
        run_spec floor;
        floor.program = FLOOR_PATH;
        for (auto& loop : w.loops)
            floor.args.push_back(loop->path());
        run_spec pipeline;
        pipeline.program = "/bin/sh";
        pipeline.args = {"-c", "\"$0\"velmortev-scan-partitions | xargs -n1 \"$0\"velmortev-read-label",
                         sbin};
        run_spec list;
        list.program = sbin + "velmortev";
        list.args = {"-m", w.manager, "-o", "json", "list"};
        list.env = {{"VLM_TESTBED_MANAGERS", w.manager}};
        list.preload = true;
        // WARNING (1) for what this machine lacks (tevtool, TEVLib) is fine.
        run_spec check = list;
        check.args = {"-m", w.manager, "check"};
        // The floor without a device: what starting a process in the fake
        // world costs, taken off the cost per device.
        run_spec start;
        start.program = FLOOR_PATH;
        std::vector<contender> contenders = {
            {"start", start, {}}, {"floor", floor, {}}, {"pipeline", pipeline, {}}};
        if (front_end) {
            contenders.push_back({"list", list, {}});
            contenders.push_back({"check", check, {}, 1});
        }
        for (size_t i = 0; i < others.size(); i++) {
            run_spec other = list;
            other.program = others[i];
            contenders.push_back({other_names[i].c_str(), other, {}});
        }
        for (int round = 0; round < rounds; round++)
            for (auto& c : contenders) {
                double took = time_run(w, c.spec, c.accepted);
                if (took < 0)
                    return 1;
                c.times.push_back(took);
            }
        double start_time = median(contenders[0].times);
        double floor_time = median(contenders[1].times);
        for (auto& c : contenders) {
            double t = median(c.times);
            std::printf("%7zu %-10s %10.1f", count, c.name, t * 1e3);
            if (&c != &contenders[0])
                std::printf(" %12.1f", (t - start_time) * 1e6 / double(count));
            if (&c != &contenders[0] && &c != &contenders[1])
                std::printf("   %6.2fx the floor", t / floor_time);
            if (front_end && &c > &contenders[4])
                std::printf(", %.2fx list", t / median(contenders[3].times));
            if (front_end && &c == &contenders[3])
                std::printf(", %.2fx the pipeline", t / median(contenders[2].times));
            if (front_end && &c == &contenders[4])
                std::printf(", %.2fx list", t / median(contenders[3].times));
            std::printf("\n");
        }
    }
    return 0;
}
