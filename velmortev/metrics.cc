// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "frame/frame.h"
#include "label/label.h"
#include "lib/owners.h"
#include "lib/shown_text.h"
#include "velmortev/plan.h"

namespace vlm {

namespace {

// A label value as the text format wants it: backslash, quote and line end
// escaped; bytes that are not plain text in the kit's \xNN form.
std::string label_value(const std::string& text) {
    char buffer[shown_size(label_max * 4)];
    std::string shown = show_into(buffer, text);
    std::string out;
    for (char c : shown) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

struct family {
    std::string text;
    void head(const char* name, const char* type, const char* help) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const char* name, const std::string& labels, double value) {
        char number[64];
        std::snprintf(number, sizeof number, "%.17g", value);
        text += name + (labels.empty() ? "" : "{" + labels + "}") + " " + number + "\n";
    }
};

std::string manager_label(const std::string& manager) {
    return "manager=\"" + label_value(manager) + "\"";
}

void inventory_metrics(family& f, const inventory& inv, const std::vector<finding>& findings,
                       const std::vector<pass_facts>& passes) {
    f.head("velmortev_labelled_disks", "gauge",
           "Labelled devices the scan patterns keep, a multipath map counted once.");
    f.sample("velmortev_labelled_disks", "", static_cast<double>(labelled_disks(inv)));

    f.head("velmortev_disk_info", "gauge", "One series per label of a kept labelled device.");
    std::map<std::string, int> labels;
    for (const device_row& row : inv.rows)
        if (row.labelled && !row.excluded)
            labels[row.label] = 1;
    for (const auto& [label, one] : labels)
        f.sample("velmortev_disk_info", "label=\"" + label_value(label) + "\"", one);

    f.head("velmortev_nodes", "gauge", "Entries of a manager's disks directory.");
    std::map<std::string, size_t> nodes;
    for (const pass_facts& pass : passes)
        nodes[pass.manager] = 0;
    std::map<std::pair<std::string, std::string>, int> seen;
    for (const device_row& row : inv.rows)
        for (const node_state& node : row.nodes)
            if (row.labelled && node.present && !seen[{node.manager, row.label}]++)
                nodes[node.manager]++;
    for (const stray_node& stray : inv.strays)
        if (!seen[{stray.manager, stray.name}]++)
            nodes[stray.manager]++;
    for (const auto& [manager, count] : nodes)
        f.sample("velmortev_nodes", manager_label(manager), static_cast<double>(count));

    f.head("velmortev_findings", "gauge", "Findings of velmortev check, by id and severity.");
    for (const finding_kind& kind : finding_kinds) {
        size_t count = 0;
        for (const finding& found : findings)
            count += std::strcmp(found.id, kind.id) == 0;
        std::string severity_label = severity_name(kind.level);
        for (char& c : severity_label)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        f.sample("velmortev_findings",
                 std::string("id=\"") + kind.id + "\",severity=\"" + severity_label + "\"",
                 static_cast<double>(count));
    }
}

void pass_metrics(family& f, const std::vector<pass_facts>& passes) {
    struct series {
        const char* name;
        const char* help;
        double pass_facts::*field;
    };
    const series all[] = {
        {"velmortev_last_pass_end_timestamp_seconds", "When the last tevscan pass ended.",
         &pass_facts::end},
        {"velmortev_last_pass_success_timestamp_seconds",
         "When the last tevscan pass that succeeded ended.", &pass_facts::last_success},
        {"velmortev_last_pass_duration_seconds", "How long the last tevscan pass took.",
         &pass_facts::duration},
    };
    for (const series& s : all) {
        f.head(s.name, "gauge", s.help);
        for (const pass_facts& pass : passes)
            if (pass.known)
                f.sample(s.name, manager_label(pass.manager), pass.*s.field);
    }
    f.head("velmortev_last_pass_status", "gauge",
           "Exit status of the last tevscan pass: 0 success, else 256 minus the errno.");
    for (const pass_facts& pass : passes)
        if (pass.known)
            f.sample("velmortev_last_pass_status", manager_label(pass.manager), pass.status);
}

}  // namespace

std::string metrics_text(severity status, const inventory* inv,
                         const std::vector<finding>* findings,
                         const std::vector<pass_facts>& passes) {
    family f;
    f.head("velmortev_check_status", "gauge",
           "What velmortev check exits with: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.");
    f.sample("velmortev_check_status", "", static_cast<int>(status));
    if (inv && findings)
        inventory_metrics(f, *inv, *findings, passes);
    pass_metrics(f, passes);
    return f.text;
}

int write_textfile(const std::string& dir, const std::string& text) {
    std::string temporary = dir + "/.velmortev.prom.XXXXXX";
    unique_fd fd(mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd)
        return -errno;
    int rc = 0;
    size_t done = 0;
    while (rc == 0 && done < text.size()) {
        ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR)
            rc = -errno;
        if (n > 0)
            done += static_cast<size_t>(n);
    }
    if (rc == 0 && fchmod(fd.get(), 0644) < 0)
        rc = -errno;
    if (rc == 0 && fsync(fd.get()) < 0)
        rc = -errno;
    if (rc == 0 && rename(temporary.c_str(), (dir + "/velmortev.prom").c_str()) < 0)
        rc = -errno;
    if (rc < 0)
        unlink(temporary.c_str());
    return rc;
}

int metrics_verb(front_run& run, const char* dir) {
    inventory inv;
    health_facts facts;
    std::string why;
    bool taken = take_health(run, inv, facts, why) == 0;
    std::vector<finding> findings;
    if (taken)
        findings = find_problems(inv, facts);
    std::vector<pass_facts> passes;
    for (const std::string& manager : run.managers)
        passes.push_back(read_pass_facts(manager));
    std::string text = metrics_text(taken ? worst(findings) : severity::unknown,
                                    taken ? &inv : nullptr, taken ? &findings : nullptr, passes);
    if (!dir) {
        std::fputs(text.c_str(), stdout);
        return 0;
    }
    int rc = write_textfile(dir, text);
    if (rc < 0)
        error("Unable to write the metrics to \"%s\": %s\n", dir, std::strerror(-rc));
    return rc;
}

}  // namespace vlm
