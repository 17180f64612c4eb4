// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/pass_record.h"

#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "frame/frame.h"
#include "lib/owners.h"
#include "velmortev/check.h"
#include "velmortev/metrics.h"
#include "velmortev/plan.h"

namespace vlm {

namespace {

std::string from_variable(const char* variable, const char* fallback) {
    const char* given = std::getenv(variable);
    return given && *given ? given : fallback;
}

double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::vector<std::string> listing(const std::string& manager) {
    std::vector<std::string> names;
    unique_dir dir(opendir((manager + "/disks").c_str()));
    while (dir) {
        dirent* entry = readdir(dir.get());
        if (!entry)
            break;
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    return names;
}

std::string state_file(const std::string& manager) {
    return state_dir() + "/" + systemd_escape_path(manager);
}

// The state file: KEY=VALUE lines, the findings as "finding=ID TEXT".
int write_state(const pass_facts& pass, const std::set<std::string>& findings) {
    // The package makes neither this directory nor its parent.
    std::string dir = state_dir();
    for (size_t slash = dir.find('/', 1); slash != std::string::npos;
         slash = dir.find('/', slash + 1))
        mkdir(dir.substr(0, slash).c_str(), 0755);
    if (mkdir(dir.c_str(), 0755) < 0 && errno != EEXIST)
        return -errno;
    std::string path = state_file(pass.manager), temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        char text[256];
        std::snprintf(text, sizeof text, "end=%.6f\nduration=%.6f\nstatus=%d\nlast_success=%.6f\n",
                      pass.end, pass.duration, pass.status, pass.last_success);
        out << text;
        for (const std::string& f : findings)
            out << "finding=" << f << "\n";
        if (!out.flush())
            return -EIO;
    }
    return rename(temporary.c_str(), path.c_str()) < 0 ? -errno : 0;
}

pass_facts read_state(const std::string& manager, std::set<std::string>* findings) {
    pass_facts pass;
    pass.manager = manager;
    std::ifstream in(state_file(manager));
    std::string line;
    while (std::getline(in, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        pass.known = true;
        if (key == "end")
            pass.end = std::atof(value.c_str());
        else if (key == "duration")
            pass.duration = std::atof(value.c_str());
        else if (key == "status")
            pass.status = std::atoi(value.c_str());
        else if (key == "last_success")
            pass.last_success = std::atof(value.c_str());
        else if (key == "finding" && findings)
            findings->insert(value);
    }
    return pass;
}

using fields = std::vector<std::pair<std::string, std::string>>;

void record_findings(const std::string& manager, const std::vector<finding>& found,
                     const std::set<std::string>& before, std::set<std::string>& now) {
    for (const finding& f : found) {
        std::string key = std::string(f.id) + " " + f.text;
        now.insert(key);
        if (before.count(key))
            continue;
        send_journal({{"MESSAGE_ID", finding_raised_id},
                      {"PRIORITY", f.level == severity::critical ? "3" : "4"},
                      {"MESSAGE", std::string(severity_name(f.level)) + " " + f.id + ": " + f.text},
                      {"VELMORTEV_MANAGER", manager},
                      {"VELMORTEV_FINDING", f.id},
                      {"VELMORTEV_SEVERITY", severity_name(f.level)}});
    }
}

}  // namespace

std::string state_dir() { return from_variable(state_dir_variable, state_dir_default); }

pass_facts read_pass_facts(const std::string& manager) { return read_state(manager, nullptr); }

node_changes compare_listings(std::vector<std::string> before, std::vector<std::string> after) {
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    node_changes changes;
    std::vector<std::string> only;
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                        std::back_inserter(only));
    changes.removed = only.size();
    only.clear();
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(only));
    changes.created = only.size();
    return changes;
}

std::string systemd_unescape_path(const std::string& instance) {
    std::string out = "/";
    for (size_t i = 0; i < instance.size(); i++) {
        char c = instance[i];
        if (c == '-') {
            out += instance.size() == 1 ? "" : "/";
        } else if (c == '\\' && i + 3 < instance.size() && instance[i + 1] == 'x') {
            out += static_cast<char>(std::strtol(instance.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            out += c;
        }
    }
    return out;
}

int send_journal(const fields& entry) {
    std::string message;
    for (const auto& [key, value] : entry)
        message += key + "=" + value + "\n";
    message += "SYSLOG_IDENTIFIER=velmortev\n";
    unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return -errno;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::string path = from_variable(journal_socket_variable, journal_socket_default);
    if (path.size() >= sizeof address.sun_path)
        return -ENAMETOOLONG;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    if (sendto(fd.get(), message.data(), message.size(), MSG_NOSIGNAL,
               reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
        return -errno;
    return 0;
}

int record_pass_verb(front_run& run, const char* instance, const char* begin_file) {
    std::string manager = systemd_unescape_path(instance);
    double end = now_seconds();
    std::ifstream begun(begin_file);
    std::string line;
    double start = std::getline(begun, line) ? std::atof(line.c_str()) : end;
    std::vector<std::string> before, after = listing(manager);
    while (std::getline(begun, line))
        if (!line.empty())
            before.push_back(line);
    // Without what begin kept (it failed, or never ran), no change is known.
    if (!begun.is_open())
        before = after;
    node_changes changes = compare_listings(before, after);

    const char* result = std::getenv("SERVICE_RESULT");
    const char* code = std::getenv("EXIT_CODE");
    const char* exit_status = std::getenv("EXIT_STATUS");
    bool success = !result || std::strcmp(result, "success") == 0;
    int status = code && std::strcmp(code, "exited") == 0 && exit_status ? std::atoi(exit_status)
                                                                          : 0;
    std::set<std::string> findings_before, findings_now;
    pass_facts pass = read_state(manager, &findings_before);
    pass.manager = manager;
    pass.end = end;
    pass.duration = end > start ? end - start : 0;
    pass.status = status;
    if (success)
        pass.last_success = end;

    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f", pass.duration);
    std::string counts = std::to_string(changes.removed) + " nodes removed, " +
                         std::to_string(changes.created) + " created, in " + duration + " s";
    fields entry = {{"MESSAGE_ID", success ? pass_succeeded_id : pass_failed_id},
                    {"PRIORITY", success ? "6" : "3"},
                    {"VELMORTEV_MANAGER", manager},
                    {"VELMORTEV_NODES_REMOVED", std::to_string(changes.removed)},
                    {"VELMORTEV_NODES_CREATED", std::to_string(changes.created)},
                    {"VELMORTEV_DURATION_SECONDS", duration},
                    {"VELMORTEV_SERVICE_RESULT", result ? result : "success"},
                    {"VELMORTEV_STATUS", std::to_string(status)}};
    if (success) {
        entry.push_back({"MESSAGE", "Pass on " + manager + " succeeded: " + counts});
    } else {
        std::string decoded = status_text(status);
        entry.push_back({"MESSAGE", "Pass on " + manager + " failed (" +
                                        (result ? result : "") + "), status " +
                                        std::to_string(status) + " " + decoded + ": " + counts});
        if (status > 0 && strerrorname_np(256 - status)) {
            entry.push_back({"ERRNO", std::to_string(256 - status)});
            entry.push_back({"VELMORTEV_ERRNO", strerrorname_np(256 - status)});
            entry.push_back({"VELMORTEV_ERRNO_TEXT", std::strerror(256 - status)});
        }
    }
    int rc = send_journal(entry);
    if (rc < 0)
        std::printf("%s\n", entry.back().second.c_str());

    // The findings after the pass: each one that is new gets its own record.
    run.given_managers = {manager};
    inventory inv;
    health_facts facts;
    std::string why;
    if (take_health(run, inv, facts, why) == 0)
        record_findings(manager, find_problems(inv, facts), findings_before, findings_now);
    rc = write_state(pass, findings_now);
    if (rc < 0)
        error("Unable to write the state of \"%s\": %s\n", manager.c_str(), std::strerror(-rc));

    const std::string& metrics_dir = run.config.metrics_dir.values.empty()
                                         ? std::string()
                                         : run.config.metrics_dir.values[0];
    struct stat st;
    if (!metrics_dir.empty() && stat(metrics_dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        run.given_managers.clear();
        run.managers.clear();
        int written = metrics_verb(run, metrics_dir.c_str());
        if (written < 0)
            rc = written;
    }
    return rc;
}

}  // namespace vlm
