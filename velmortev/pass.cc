// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/pass.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "lib/owners.h"
#include "lib/standard_streams.h"
#include "scan/scan.h"
#include "tevscan/tevscan_command.h"
#include "velmortev/json_text.h"
#include "velmortev/memory.h"

namespace vlm {

namespace {

// tevscan beside this program, where the package puts both; else PATH's.
std::string tevscan_path() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, static_cast<size_t>(n));
        path = path.substr(0, path.rfind('/') + 1) + "tevscan";
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return "tevscan";
}

std::vector<std::string> tevscan_arguments(const front_run& run, const std::string& manager) {
    std::vector<std::string> args = {"tevscan", "-l", manager};
    for (const std::string& pattern : run.config.scan_order.values)
        args.insert(args.end(), {"-s", pattern});
    for (const std::string& pattern : run.config.scan_exclude.values)
        args.insert(args.end(), {"-x", pattern});
    return args;
}

[[noreturn]] void exec_tevscan(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    if (program.find('/') != std::string::npos)
        execv(program.c_str(), argv.data());
    else
        execvp(program.c_str(), argv.data());
    int err = errno;
    error("Unable to run %s: %s\n", program.c_str(), std::strerror(err));
    _exit(finish_stdout(-err, progname) & 0xff);
}

// While it lives, what is printed on standard output goes to standard error:
// tevscan's queries report a device's odd answers ("Output on ...") on
// standard output, which the plan keeps for itself.
class stdout_to_stderr {
public:
    stdout_to_stderr() {
        std::fflush(stdout);
        saved_ = unique_fd(fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
        if (saved_)
            dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    ~stdout_to_stderr() {
        std::fflush(stdout);
        if (saved_)
            dup2(saved_.get(), STDOUT_FILENO);
    }
    stdout_to_stderr(const stdout_to_stderr&) = delete;
    stdout_to_stderr& operator=(const stdout_to_stderr&) = delete;

private:
    unique_fd saved_;
};

}  // namespace

// One pass per manager: the last one replaces this process, so that its
// output and status are tevscan's; earlier ones are waited for, and the
// first that fails ends the run with its status.
int scan_pass(const front_run& run) {
    std::string program = tevscan_path();
    flush_stdout();
    for (size_t i = 0; i + 1 < run.managers.size(); i++) {
        std::vector<std::string> arguments = tevscan_arguments(run, run.managers[i]);
        if (int rc = check_memory(); rc < 0)
            return rc;
        pid_t child = fork();
        if (child < 0)
            return -errno;
        if (child == 0)
            exec_tevscan(program, arguments);
        int status = 0;
        while (waitpid(child, &status, 0) < 0)
            if (errno != EINTR)
                return -errno;
        if (!WIFEXITED(status))
            return -EINTR;
        if (WEXITSTATUS(status) != 0)
            return static_cast<int8_t>(WEXITSTATUS(status));
    }
    std::vector<std::string> arguments = tevscan_arguments(run, run.managers.back());
    // A pass writes nodes: none once memory ran short.
    if (int rc = check_memory(); rc < 0)
        return rc;
    exec_tevscan(program, arguments);
}

namespace {

// A node the pass would remove (no device) or create.
struct planned_node {
    const char* action;
    std::string manager;
    std::string label;
    std::string device;
};

// The assumed labels by device number; a device that is not on this host
// has nothing to plan for.
std::map<dev_t, std::string> assumed_by_number(const front_run& run) {
    std::map<dev_t, std::string> out;
    for (const auto& [device, label] : run.assumed_labels) {
        struct stat st;
        if (stat(device.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            out[st.st_rdev] = label;
    }
    return out;
}

// A node is invalid once its device carries another label: for a device
// whose label is assumed, that is known without asking tevtool.
bool node_is_invalid(const std::string& manager, const std::string& name,
                     const std::map<dev_t, std::string>& assumed) {
    struct stat st;
    std::string path = manager + "/disks/" + name;
    if (lstat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        auto found = assumed.find(st.st_rdev);
        if (found != assumed.end())
            return found->second != name;
    }
    return disk_is_invalid(manager.c_str(), name.c_str());
}

// What the pass would remove and create, on each manager, asked of tevtool
// as the pass asks it: no reread, delete or create. A device whose label is
// assumed is planned with that label instead.
int plan_pass(const front_run& run, std::vector<planned_node>& out) {
    std::map<dev_t, std::string> assumed = assumed_by_number(run);
    pattern_rings rings;
    if (fill_patterns(rings, run.config.scan_order.values, run.config.scan_exclude.values) < 0)
        return -ENOMEM;
    for (const std::string& manager : run.managers) {
        std::string dir_path = manager + "/disks";
        unique_dir dir(opendir(dir_path.c_str()));
        while (dir) {
            dirent* entry = readdir(dir.get());
            if (!entry)
                break;
            std::string name = entry->d_name;
            if (name != "." && name != ".." && node_is_invalid(manager, name, assumed))
                out.push_back({"remove-node", manager, name, ""});
        }

        for (scan_pattern* pattern : ring_records<scan_pattern>(&rings.order))
            empty_bucket(pattern);
        for (scan_pattern* pattern : ring_records<scan_pattern>(&rings.exclude))
            empty_bucket(pattern);
        scan_setup setup{&rings.order, &rings.exclude, nullptr, error};
        int rc = scan_partitions(setup);
        if (rc < 0)
            return rc;
        for (scan_pattern* pattern : ring_records<scan_pattern>(&rings.order)) {
            for (scan_device* device : ring_records<scan_device>(&pattern->bucket)) {
                struct stat st;
                auto found = stat(device->path, &st) == 0 ? assumed.find(st.st_rdev) : assumed.end();
                if (found != assumed.end()) {
                    if (!found->second.empty())
                        out.push_back({"create-node", manager, found->second, device->path});
                    continue;
                }
                malloc_ptr<char> label;
                if (query_marked_label(manager.c_str(), device->path, &label) == 0)
                    out.push_back({"create-node", manager, label.get(), device->path});
            }
        }
    }
    return 0;
}

}  // namespace

// The plan is printed once the queries are done, so that their reports
// never mix with it.
int scan_plan(const front_run& run) {
    signal(SIGCHLD, SIG_DFL);
    std::vector<planned_node> planned;
    int rc;
    {
        stdout_to_stderr diverted;
        rc = plan_pass(run, planned);
    }
    if (rc < 0)
        return rc;
    nlohmann::json doc = versioned();
    doc["verb"] = "scan";
    doc["dry_run"] = true;
    doc["steps"] = nlohmann::json::array();
    for (const planned_node& node : planned) {
        bool remove = node.action[0] == 'r';
        std::string text = std::string("Would ") + (remove ? "remove" : "create") + " node " +
                           node.manager + "/disks/" + shown(node.label) +
                           (node.device.empty() ? "" : " for " + node.device);
        if (!run.json) {
            std::printf("%s\n", text.c_str());
            continue;
        }
        nlohmann::json step = {{"action", node.action}, {"manager", node.manager}, {"text", text}};
        put_label(step, node.label);
        if (!node.device.empty())
            step["device"] = node.device;
        doc["steps"].push_back(step);
    }
    if (run.json)
        put_json(doc);
    return 0;
}

}  // namespace vlm
