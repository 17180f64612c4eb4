// SPDX-License-Identifier: GPL-2.0-or-later
// Times velmortev-scan-partitions on fake partition tables of 10k, 50k and
// 100k lines, alone and with a scan directory holding every partition's
// name, against the floor program scan_floor (the least a program can do for
// the same output), measured in the same run: wall time (medians of
// interleaved runs, and the CPU time of those runs, steadier on a shared
// machine) and instructions (one run each under callgrind). A second scanner
// (OTHER: say a build without one of the scanner's speed measures) may be
// timed in the same rounds. Every output is compared with the floor's byte
// for byte first. After the two header
// lines, line i of a table is printf("  65 %6d    1000 sd%07d\n", i % 256, i).
// The tables are shown to both programs as /proc/partitions through bind
// mounts in this process's own mount namespace, so the machine's real table
// is never involved.
//
// Usage: scan_bench SCANNER FLOOR [RUNS [OTHER]]
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

std::string file_text(const std::string& path) {
    std::string text;
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        return text;
    char block[65536];
    for (size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;)
        text.append(block, n);
    std::fclose(f);
    return text;
}

// The instructions of one run of the command under callgrind, or -1.
double instructions(const std::vector<std::string>& command, const std::string& work) {
    std::string out = work + "/callgrind.out";
    std::vector<std::string> run = {"valgrind", "-q", "--tool=callgrind", "--callgrind-out-file=" + out};
    run.insert(run.end(), command.begin(), command.end());
    if (time_run(run).wall < 0)
        return -1;
    std::string text = file_text(out);
    size_t at = text.find("\nsummary: ");
    return at == std::string::npos ? -1 : std::atof(text.c_str() + at + 10);
}

struct measurement {
    timing wall;
    double instructions;
};

struct row {
    int lines;
    measurement floor, scan, floor_dir, scan_dir, other, other_dir;
};

// Shows the table as /proc/partitions, checks once that the scanner writes
// what the floor writes, then measures both, plain and with the directory.
bool measure(const std::string& scanner, const std::string& floor, const std::string& other,
             const std::string& work, int lines, int runs, row* r) {
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
    std::vector<std::vector<std::string>> commands = {
        {floor}, {scanner}, {floor, dir + "/"}, {scanner, "-D", dir + "/"}};
    if (!other.empty()) {
        commands.push_back({other});
        commands.push_back({other, "-D", dir + "/"});
    }
    // The floor's runs, plain (0) and with the directory (2), are the reference.
    std::string a = work + "/out-a", b = work + "/out-b";
    bool same = true;
    for (size_t c = 1; c < commands.size(); c++) {
        size_t reference = commands[c].size() == 1 ? 0 : 2;
        if (c == reference)
            continue;
        same = same && time_run(commands[reference], a.c_str()).wall >= 0 &&
               time_run(commands[c], b.c_str()).wall >= 0 && file_text(a) == file_text(b) &&
               !file_text(a).empty();
    }
    std::vector<timing> medians;
    std::vector<double> counts;
    if (same) {
        medians = median_times(commands, runs);
        for (const auto& command : commands)
            counts.push_back(instructions(command, work));
    } else {
        std::fprintf(stderr, "scan_bench: the scanner's output differs from the floor's at %d lines\n",
                     lines);
    }
    umount2(kernel_table, MNT_DETACH);
    if (!same || medians.empty())
        return false;
    r->lines = lines;
    r->floor = {medians[0], counts[0]};
    r->scan = {medians[1], counts[1]};
    r->floor_dir = {medians[2], counts[2]};
    r->scan_dir = {medians[3], counts[3]};
    if (!other.empty()) {
        r->other = {medians[4], counts[4]};
        r->other_dir = {medians[5], counts[5]};
    }
    return true;
}

double per_doubling(double t_small, double t_large, double size_ratio) {
    return std::pow(t_large / t_small, 1.0 / std::log2(size_ratio));
}

void print_pair(const char* what, const char* name, const measurement& floor, const measurement& scan) {
    std::printf("  %-7s floor %7.2f ms %8.1f M   %-5s %7.2f ms %8.1f M   %s/floor %5.2f wall %5.2f cpu %5.2f instr\n",
                what, floor.wall.wall * 1e3, floor.instructions / 1e6, name, scan.wall.wall * 1e3,
                scan.instructions / 1e6, name, scan.wall.wall / floor.wall.wall,
                scan.wall.cpu / floor.wall.cpu, scan.instructions / floor.instructions);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "Usage: scan_bench SCANNER FLOOR [RUNS [OTHER]]\n");
        return 2;
    }
    std::string scanner = argv[1];
    std::string floor = argv[2];
    int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 15;
    std::string other = argc > 4 ? argv[4] : "";

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
        ok = measure(scanner, floor, other, work, lines, runs, &r);
        if (!ok)
            break;
        rows.push_back(r);
    }
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    if (!ok)
        return 1;

    std::printf("wall and cpu (user and system): medians of %d interleaved runs; instructions: one run "
                "under callgrind\n",
                runs);
    for (const row& r : rows) {
        std::printf("%d lines\n", r.lines);
        print_pair("plain", "scan", r.floor, r.scan);
        if (!other.empty())
            print_pair("", "other", r.floor, r.other);
        print_pair("-D dir", "scan", r.floor_dir, r.scan_dir);
        if (!other.empty())
            print_pair("", "other", r.floor_dir, r.other_dir);
    }
    const row& a = rows[0];
    const row& c = rows[2];
    std::printf("wall time factor per doubling of the input, 10k->100k: scan %.2f, scan -D %.2f, "
                "floor %.2f, floor with dir %.2f\n",
                per_doubling(a.scan.wall.wall, c.scan.wall.wall, 10),
                per_doubling(a.scan_dir.wall.wall, c.scan_dir.wall.wall, 10),
                per_doubling(a.floor.wall.wall, c.floor.wall.wall, 10),
                per_doubling(a.floor_dir.wall.wall, c.floor_dir.wall.wall, 10));
    return 0;
}
