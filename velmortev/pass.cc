// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/pass.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "lib/owners.h"
#include "lib/standard_streams.h"
#include "scan/scan.h"
#include "tevscan/tevscan_command.h"
#include "velmortev/json_text.h"

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

}  // namespace

// One pass per manager: the last one replaces this process, so that its
// output and status are tevscan's; earlier ones are waited for, and the
// first that fails ends the run with its status.
int scan_pass(const front_run& run) {
    std::string program = tevscan_path();
    flush_stdout();
    for (size_t i = 0; i + 1 < run.managers.size(); i++) {
        pid_t child = fork();
        if (child < 0)
            return -errno;
        if (child == 0)
            exec_tevscan(program, tevscan_arguments(run, run.managers[i]));
        int status = 0;
        while (waitpid(child, &status, 0) < 0)
            if (errno != EINTR)
                return -errno;
        if (!WIFEXITED(status))
            return -EINTR;
        if (WEXITSTATUS(status) != 0)
            return static_cast<int8_t>(WEXITSTATUS(status));
    }
    exec_tevscan(program, tevscan_arguments(run, run.managers.back()));
}

// What the pass would do, asked of tevtool as the pass asks it, with no
// reread, delete or create.
int scan_plan(const front_run& run) {
    signal(SIGCHLD, SIG_DFL);
    nlohmann::json doc = versioned();
    doc["verb"] = "scan";
    doc["dry_run"] = true;
    doc["steps"] = nlohmann::json::array();
    auto say = [&](const char* action, const std::string& manager, const std::string& label,
                   const std::string& device) {
        std::string text = std::string("Would ") + (action[0] == 'r' ? "remove" : "create") +
                           " node " + manager + "/disks/" + shown(label) +
                           (device.empty() ? "" : " for " + device);
        if (!run.json) {
            std::printf("%s\n", text.c_str());
            return;
        }
        nlohmann::json step = {{"action", action}, {"manager", manager}, {"text", text}};
        put_label(step, label);
        if (!device.empty())
            step["device"] = device;
        doc["steps"].push_back(step);
    };
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
            if (name != "." && name != ".." && disk_is_invalid(manager.c_str(), name.c_str()))
                say("remove-node", manager, name, "");
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
                malloc_ptr<char> label;
                if (query_marked_label(manager.c_str(), device->path, &label) == 0)
                    say("create-node", manager, label.get(), device->path);
            }
        }
    }
    if (run.json)
        put_json(doc);
    return 0;
}

}  // namespace vlm
