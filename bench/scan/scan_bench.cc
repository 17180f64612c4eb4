// SPDX-License-Identifier: GPL-2.0-or-later
// Times velmortev-scan-partitions on fake partition tables of 10k, 50k and
// 100k lines, alone and with a scan directory holding every partition's
// name, against the awk one-liner
//     awk 'NR>2 && $1!=0 {print "/dev/"$4}' /proc/partitions
// measured in the same run. After the two header lines, line i of a table is
// printf("  65 %6d    1000 sd%07d\n", i % 256, i). The tables are shown to both
// programs as /proc/partitions through bind mounts in this process's own
// mount namespace, so the machine's real table is never involved.
//
// Usage: scan_bench SCANNER [RUNS]
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const char awk_program[] = "NR>2 && $1!=0 {print \"/dev/\"$4}";
const char kernel_table[] = "/proc/partitions";

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::string partition_name(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "sd%07d", i);
    return name;
}

bool write_table(const std::string& path, int lines) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    std::fprintf(f, "major minor  #blocks  name\n\n");
    for (int i = 0; i < lines; i++)
        std::fprintf(f, "  65 %6d    1000 %s\n", i % 256, partition_name(i).c_str());
    return std::fclose(f) == 0;
}

bool fill_directory(const std::string& dir, int entries) {
    if (mkdir(dir.c_str(), 0755) < 0)
        return false;
    for (int i = 0; i < entries; i++) {
        int fd = open((dir + "/" + partition_name(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        close(fd);
    }
    return true;
}

struct timing {
    double wall;  // seconds from fork to the end of the wait
    double cpu;   // user and system time of the child
};

// Runs the command with its output into `out` (or /dev/null) and returns
// its times; negative ones when it did not end with status 0.
timing time_run(const std::vector<std::string>& command, const char* out = "/dev/null") {
    double start = now();
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0)
            _exit(127);
        std::vector<char*> argv;
        for (const std::string& a : command)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0)
        return {-1, -1};
    double elapsed = now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {-1, -1};
    auto seconds = [](const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; };
    return {elapsed, seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs the commands in turn, round after round, so that all of them see the
// same machine; medians of wall and CPU time per command. Empty when a run
// failed.
std::vector<timing> median_times(const std::vector<std::vector<std::string>>& commands, int runs) {
    std::vector<std::vector<double>> wall(commands.size()), cpu(commands.size());
    for (int i = 0; i < runs; i++) {
        for (size_t c = 0; c < commands.size(); c++) {
            timing t = time_run(commands[c]);
            if (t.wall < 0)
                return {};
            wall[c].push_back(t.wall);
            cpu[c].push_back(t.cpu);
        }
    }
    std::vector<timing> medians;
    for (size_t c = 0; c < commands.size(); c++)
        medians.push_back({median(wall[c]), median(cpu[c])});
    return medians;
}

long count_lines(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        return -1;
    long lines = 0;
    for (int c; (c = std::fgetc(f)) != EOF;)
        lines += c == '\n';
    std::fclose(f);
    return lines;
}

struct row {
    int lines;
    timing awk, scan, scan_dir;
};

// Shows the table as /proc/partitions, checks both programs' line counts once,
// then times them.
bool measure(const std::string& scanner, const std::string& work, int lines, int runs, row* r) {
    std::string table = work + "/table-" + std::to_string(lines);
    std::string dir = work + "/dir-" + std::to_string(lines);
    if (!write_table(table, lines) || !fill_directory(dir, lines)) {
        std::perror("scan_bench: making the fixtures");
        return false;
    }
    if (mount(table.c_str(), kernel_table, nullptr, MS_BIND, nullptr) < 0) {
        std::perror("scan_bench: bind mount");
        return false;
    }
    std::vector<std::string> awk = {"awk", awk_program, kernel_table};
    std::vector<std::string> scan = {scanner};
    std::vector<std::string> scan_dir = {scanner, "-D", dir + "/"};
    std::string out = work + "/out";
    bool counts_ok = time_run(awk, out.c_str()).wall >= 0 && count_lines(out) == lines &&
                     time_run(scan, out.c_str()).wall >= 0 && count_lines(out) == lines &&
                     time_run(scan_dir, out.c_str()).wall >= 0 && count_lines(out) == 2L * lines;
    std::vector<timing> medians;
    if (counts_ok) {
        medians = median_times({awk, scan, scan_dir}, runs);
        if (!medians.empty()) {
            r->lines = lines;
            r->awk = medians[0];
            r->scan = medians[1];
            r->scan_dir = medians[2];
        }
    } else {
        std::fprintf(stderr, "scan_bench: unexpected output for %d lines\n", lines);
    }
    umount2(kernel_table, MNT_DETACH);
    return counts_ok && !medians.empty();
}

double per_doubling(double t_small, double t_large, double size_ratio) {
    return std::pow(t_large / t_small, 1.0 / std::log2(size_ratio));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: scan_bench SCANNER [RUNS]\n");
        return 2;
    }
    std::string scanner = argv[1];
    int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;

    if (unshare(CLONE_NEWNS) < 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0) {
        std::perror("scan_bench: private mount namespace (run as root)");
        return 1;
    }
    char work_template[] = "/tmp/scan_bench.XXXXXX";
    if (!mkdtemp(work_template)) {
        std::perror("scan_bench: mkdtemp");
        return 1;
    }
    std::string work = work_template;

    std::vector<row> rows;
    bool ok = true;
    for (int lines : {10000, 50000, 100000}) {
        row r;
        ok = measure(scanner, work, lines, runs, &r);
        if (!ok)
            break;
        rows.push_back(r);
    }
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    if (!ok)
        return 1;

    std::printf("median of %d interleaved runs; ratio = scanner time / awk time, wall clock (CPU time)\n",
                runs);
    std::printf("%8s %16s %16s %13s %16s %13s\n", "lines", "awk ms", "scan ms", "ratio",
                "scan -D ms", "ratio");
    for (const row& r : rows)
        std::printf("%8d %7.1f (%6.1f) %7.1f (%6.1f) %5.2f (%5.2f) %7.1f (%6.1f) %5.2f (%5.2f)\n",
                    r.lines, r.awk.wall * 1e3, r.awk.cpu * 1e3, r.scan.wall * 1e3,
                    r.scan.cpu * 1e3, r.scan.wall / r.awk.wall, r.scan.cpu / r.awk.cpu,
                    r.scan_dir.wall * 1e3, r.scan_dir.cpu * 1e3, r.scan_dir.wall / r.awk.wall,
                    r.scan_dir.cpu / r.awk.cpu);
    const row& a = rows[0];
    const row& b = rows[1];
    const row& c = rows[2];
    auto factors = [](const char* span, const row& small, const row& large, double ratio) {
        auto f = [&](const timing row::*which, double timing::*field) {
            return per_doubling(small.*which.*field, large.*which.*field, ratio);
        };
        std::printf("  %s: scan %.2f (%.2f), scan -D %.2f (%.2f), awk %.2f (%.2f)\n", span,
                    f(&row::scan, &timing::wall), f(&row::scan, &timing::cpu),
                    f(&row::scan_dir, &timing::wall), f(&row::scan_dir, &timing::cpu),
                    f(&row::awk, &timing::wall), f(&row::awk, &timing::cpu));
    };
    std::printf("time factor per doubling of the input, wall clock (CPU time):\n");
    factors("10k->100k", a, c, 10);
    factors("50k->100k", b, c, 2);
    return 0;
}
