// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "candidate/candidate_command.h"
#include "disk/disk.h"
#include "frame/frame.h"
#include "label/label.h"
#include "lib/blockdev.h"
#include "lib/shown_text.h"
#include "lib/standard_streams.h"
#include "velmortev/json_text.h"
#include "velmortev/memory.h"

namespace vlm {

namespace {

std::string node_path(const step& s) { return s.manager + "/disks/" + shown(s.label); }

std::string region_text(const step& s) {
    return "bytes " + std::to_string(s.region.offset) + "-" +
           std::to_string(s.region.offset + s.region.length - 1) + " of " + s.device;
}

// One line per step: what will be done (the plan) or what was done.
std::string describe(const step& s, bool done) {
    switch (s.kind) {
    case step_kind::save_region:
        return (done ? "Saved " : "Would save ") + region_text(s) + " to " + s.file;
    case step_kind::wipe_signatures:
        return (done ? "Erased" : "Would erase") + std::string(" the signatures on ") + s.device;
    case step_kind::write_label:
        return (done ? "Labelled " : "Would label ") + s.device + " " + shown(s.label);
    case step_kind::clear_label:
        return (done ? "Cleared" : "Would clear") + std::string(" the label of ") + s.device;
    case step_kind::create_node:
        return (done ? "Created node " : "Would create node ") + node_path(s) + " for " + s.device;
    case step_kind::remove_node:
        return (done ? "Removed node " : "Would remove node ") + node_path(s);
    case step_kind::keep_node:
        return (done ? "Left node " : "Would leave node ") + node_path(s) +
               " alone: it stands for another device (" + device_number(s.other) + ")";
    case step_kind::restore_region:
        return (done ? "Restored " : "Would restore ") + region_text(s) + " from " + s.file;
    }
    return {};
}

const char* action_name(step_kind kind) {
    switch (kind) {
    case step_kind::save_region: return "save";
    case step_kind::wipe_signatures: return "wipe-signatures";
    case step_kind::write_label: return "write-label";
    case step_kind::clear_label: return "clear-label";
    case step_kind::create_node: return "create-node";
    case step_kind::remove_node: return "remove-node";
    case step_kind::keep_node: return "keep-node";
    case step_kind::restore_region: return "restore";
    }
    return "";
}

nlohmann::json step_json(const step& s, bool done) {
    nlohmann::json j = {{"action", action_name(s.kind)}, {"device", s.device},
                        {"done", done}, {"text", describe(s, done)}};
    if (!s.manager.empty())
        j["manager"] = s.manager;
    if (!s.label.empty())
        put_label(j, s.label);
    if (s.kind == step_kind::save_region || s.kind == step_kind::restore_region) {
        j["offset"] = s.region.offset;
        j["length"] = s.region.length;
        if (!s.file.empty())
            j["file"] = s.file;
    }
    if (s.kind == step_kind::keep_node)
        j["stands_for"] = device_number(s.other);
    return j;
}

// The JSON document of a writing verb, or the text lines as they happen.
struct step_report {
    const front_run& run;
    nlohmann::json steps = nlohmann::json::array();

    void add(const step& s, bool done) {
        if (run.json)
            steps.push_back(step_json(s, done));
        else
            std::printf("%s\n", describe(s, done).c_str());
    }
    void finish(int status) {
        if (!run.json)
            return;
        nlohmann::json doc = versioned();
        doc["verb"] = run.verb;
        doc["dry_run"] = run.dry_run;
        doc["steps"] = steps;
        doc["status"] = status;
        put_json(doc);
    }
};

// Asks before a write that cannot be taken back. Without a terminal to ask
// on, only --yes lets it go ahead.
int confirm(const front_run& run, const std::string& question) {
    switch (ask_consent(question, run.yes, STDIN_FILENO, stderr)) {
    case consent::given:
        return 0;
    case consent::needs_yes:
        error("Standard input is not a terminal: %s needs --yes\n", run.verb);
        return -EPERM;
    case consent::declined:
        break;
    }
    error("Nothing done\n");
    return -ECANCELED;
}

std::string base_name(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The kernel name behind a device path (links such as /dev/mapper/X lead to
// it).
std::string kernel_name(const char* device) {
    char* real = realpath(device, nullptr);
    std::string name = base_name(real ? real : device);
    std::free(real);
    return name;
}

// The identity recorded with a saved region and checked before a restore.
int identify(const front_run& run, const char* device, device_identity& out) {
    unique_fd fd(open_checked_block(device, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return fd.get();
    sysfs_view sysfs;
    sysfs.root = run.sysfs_root;
    device_facts facts = sysfs.facts(kernel_name(device));
    out = {device, device_size(fd.get()), facts.wwid, facts.serial};
    return 0;
}

int write_label_fields(const step& s) {
    unique_fd fd(open_label_device(s.device.c_str(), true));
    if (!fd)
        return fd.get();
    label_info info;
    int rc = read_label_block(fd.get(), &info);
    if (rc < 0)
        return rc;
    if (s.kind == step_kind::write_label)
        set_label_fields(&info, s.label.c_str());
    else
        clear_label_fields(&info);
    rc = write_label_block(fd.get(), &info);
    return rc < 0 ? rc : flush_device(fd.get());
}

int node_status(const disk_result& result) {
    if (result.status == -1)
        return -result.error;
    return result.status;
}

int run_step(step& s, plan& p, const front_run& run) {
    switch (s.kind) {
    case step_kind::save_region: {
        // Each region is recorded with the identity of its own device.
        device_identity identity;
        int rc = identify(run, s.device.c_str(), identity);
        return rc < 0 ? rc : save_region(run.config.backup_dir.values[0], identity, s.region, s.file);
    }
    case step_kind::wipe_signatures:
        return wipe_signatures(s.device.c_str(), p.signatures);
    case step_kind::write_label:
    case step_kind::clear_label:
        return write_label_fields(s);
    case step_kind::create_node:
        return node_status(instantiate_disk(s.manager.c_str(), s.device.c_str(), s.label.c_str()));
    case step_kind::remove_node:
        return node_status(clean_disk(s.manager.c_str(), s.label.c_str()));
    case step_kind::keep_node:
        return 0;
    case step_kind::restore_region:
        return restore_region(p.restore, s.device.c_str(), p.identity);
    }
    return -EINVAL;
}

// Shows the plan (--dry-run), or asks when the verb must, then runs it,
// reporting each step as it is done. The first failure ends the run.
int carry_out(plan& p, const front_run& run, bool ask, const std::string& question) {
    step_report report{run};
    if (run.dry_run) {
        for (const step& s : p.steps)
            report.add(s, false);
        report.finish(0);
        return 0;
    }
    if (ask) {
        int rc = confirm(run, question);
        if (rc < 0)
            return rc;
    }
    for (step& s : p.steps) {
        // Nothing is written once memory ran short, whatever was allocated.
        int rc = check_memory();
        if (rc == 0)
            rc = run_step(s, p, run);
        if (rc == -ENOMEM) {
            report.finish(rc);
            return rc;
        }
        if (rc < 0) {
            // The plan's line without its "Would": what could not be done.
            error("Unable to %s: %s\n", describe(s, false).substr(6).c_str(), std::strerror(-rc));
            report.finish(rc);
            return rc;
        }
        report.add(s, true);
        // A step done stays on record even when a later one kills the run.
        if (!run.json)
            flush_stdout();
    }
    report.finish(0);
    return 0;
}

// What a write checks first: the device is a block device that nobody else
// holds (not mounted, not in a map or a RAID set) and that may carry a
// label. The exclusive open is a read-only one, so that --dry-run opens
// nothing for writing.
int check_writable(const front_run& run, const char* device, bool candidate, int& block_size) {
    unique_fd fd(open_checked_block(device, O_RDONLY | O_EXCL | O_CLOEXEC));
    if (!fd) {
        error("Unable to open device \"%s\" exclusively: %s\n", device, std::strerror(-fd.get()));
        return fd.get();
    }
    if (candidate && !may_carry_label(fd.get())) {
        error("Device \"%s\" is neither a partition nor a whole device that may carry a label\n",
              device);
        return -EINVAL;
    }
    sysfs_view sysfs;
    sysfs.root = run.sysfs_root;
    std::vector<std::string> holders = sysfs.holders(kernel_name(device));
    if (!holders.empty()) {
        error("Device \"%s\" is held by %s\n", device, holders[0].c_str());
        return -EBUSY;
    }
    block_size = logical_block_size(fd.get());
    return 0;
}

// The row of the device in the inventory, found by device number.
const device_row* row_of(const inventory& inv, const char* device) {
    struct stat st;
    if (stat(device, &st) < 0)
        return nullptr;
    for (const device_row& row : inv.rows)
        if (row.rdev == st.st_rdev)
            return &row;
    return nullptr;
}

// A label carried by a device other than the one to be written.
const device_row* carried_elsewhere(const inventory& inv, const std::string& label,
                                    const device_row& target) {
    for (const device_row& row : inv.rows)
        if (row.labelled && row.label == label && !same_device(row, target))
            return &row;
    return nullptr;
}

int refuse_carried(const inventory& inv, const std::string& label, const device_row& target) {
    if (const device_row* other = carried_elsewhere(inv, label, target)) {
        error("Label \"%s\" is already carried by \"%s\"\n", shown(label).c_str(),
              other->path.c_str());
        return -EEXIST;
    }
    return 0;
}

// The nodes of the label on every manager, for the target: made where
// missing; one that stands for another device refuses the write.
int plan_new_nodes(const front_run& run, const device_row& target, const std::string& label,
                   plan& p) {
    for (const std::string& manager : run.managers) {
        std::string path = manager + "/disks/" + label;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0) {
            if (S_ISBLK(st.st_mode) && st.st_rdev == target.rdev)
                continue;
            error("Node \"%s\" already stands for another device (%s)\n", path.c_str(),
                  device_number(S_ISBLK(st.st_mode) ? st.st_rdev : 0).c_str());
            return -EEXIST;
        }
        p.steps.push_back({step_kind::create_node, target.path, manager, label, {}, {}, 0});
    }
    return 0;
}

// The nodes of an old label: those that stand for one of the targets go,
// the others are left alone (said in the plan) unless every carrier of the
// label is a target.
void plan_old_nodes(const front_run& run, const std::vector<const device_row*>& targets,
                    const std::string& label, bool all_carriers, plan& p) {
    if (!usable_node_name(label))
        return;
    for (const std::string& manager : run.managers) {
        struct stat st;
        if (lstat((manager + "/disks/" + label).c_str(), &st) < 0)
            continue;
        const device_row* owner = nullptr;
        for (const device_row* t : targets)
            if (S_ISBLK(st.st_mode) && st.st_rdev == t->rdev)
                owner = t;
        const std::string& device = owner ? owner->path : targets[0]->path;
        if (owner || all_carriers)
            p.steps.push_back({step_kind::remove_node, device, manager, label, {}, {}, 0});
        else
            p.steps.push_back({step_kind::keep_node, device, manager, label, {}, {},
                               S_ISBLK(st.st_mode) ? st.st_rdev : 0});
    }
}

void plan_save(const std::string& device, device_region region, plan& p) {
    p.steps.push_back({step_kind::save_region, device, {}, {}, region,
                       std::string(), 0});
}

// The rows that carry the label, one per device (a multipath map stands
// for its paths).
std::vector<const device_row*> carriers(const inventory& inv, const std::string& label) {
    std::vector<const device_row*> out;
    for (const device_row& row : inv.rows) {
        if (!row.labelled || row.label != label)
            continue;
        bool seen = false;
        for (const device_row*& kept : out) {
            if (!same_device(*kept, row))
                continue;
            seen = true;
            if (row.name == row.facts.map)
                kept = &row;
        }
        if (!seen)
            out.push_back(&row);
    }
    return out;
}

std::string signature_list(const std::vector<found_signature>& found) {
    std::string text;
    for (const found_signature& each : found)
        text += (text.empty() ? "" : ", ") + each.type + " at offset " + std::to_string(each.offset);
    return text;
}

// The save steps name the backup directory until the file is made there.
void name_backup_dir(plan& p, const front_run& run) {
    for (step& s : p.steps)
        if (s.kind == step_kind::save_region && s.file.empty())
            s.file = run.config.backup_dir.values[0] + "/";
}

int label_checks(const front_run& run, const char* device, const inventory& inv,
                 device_row& target, int& block_size, bool candidate) {
    int rc = check_writable(run, device, candidate, block_size);
    if (rc < 0)
        return rc;
    if (const device_row* row = row_of(inv, device)) {
        target = *row;
        target.path = device;
        return 0;
    }
    // A device outside the partition table (a path by another name): read
    // it by itself.
    struct stat st;
    if (stat(device, &st) < 0)
        return -errno;
    target.path = device;
    target.rdev = st.st_rdev;
    sysfs_view sysfs;
    sysfs.root = run.sysfs_root;
    target.facts = sysfs.facts(kernel_name(device));
    unique_fd fd(open_label_device(device, false));
    label_info info;
    if (!fd || read_label_block(fd.get(), &info) < 0)
        return fd ? -EIO : fd.get();
    target.labelled = check_label_magic(&info, false) == 0;
    if (target.labelled)
        target.label.assign(info.label, strnlen(info.label, label_max));
    return 0;
}

}  // namespace

std::string device_number(dev_t rdev) {
    return std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
}

int run_inventory(const front_run& run, bool probe, inventory& out) {
    inventory_setup setup;
    setup.order = run.config.scan_order.values;
    setup.exclude = run.config.scan_exclude.values;
    setup.managers = run.managers;
    setup.sysfs_root = run.sysfs_root;
    setup.probe = probe;
    int rc = take_inventory(setup, out);
    if (rc < 0)
        error("Unable to read the partition table: %s\n", std::strerror(-rc));
    return rc;
}

int create_verb(front_run& run, const char* device, char* label) {
    inventory inv;
    int rc = run_inventory(run, false, inv);
    if (rc < 0)
        return rc;
    device_row target;
    int block_size = 512;
    rc = label_checks(run, device, inv, target, block_size, true);
    if (rc < 0)
        return rc;
    plan p;
    rc = probe_signatures(device, p.signatures);
    if (rc < 0) {
        error("Unable to probe device \"%s\": %s\n", device, std::strerror(-rc));
        return rc;
    }
    if (!p.signatures.empty() && !run.wipe) {
        error("Device \"%s\" holds signatures of other owners: %s (--wipe-signatures erases them)\n",
              device, signature_list(p.signatures).c_str());
        return -EEXIST;
    }
    if (target.labelled && !run.replace) {
        error("Device \"%s\" already carries the label \"%s\" (--replace replaces it)\n", device,
              shown(target.label).c_str());
        return -EEXIST;
    }
    if ((rc = refuse_carried(inv, label, target)) < 0)
        return rc;

    plan_save(device, {0, static_cast<uint64_t>(block_size)}, p);
    for (device_region region : signature_regions(p.signatures))
        plan_save(device, region, p);
    if (!p.signatures.empty())
        p.steps.push_back({step_kind::wipe_signatures, device, {}, {}, {}, {}, 0});
    if (target.labelled && target.label != label)
        plan_old_nodes(run, {&target}, target.label, false, p);
    p.steps.push_back({step_kind::write_label, device, {}, label, {}, {}, 0});
    if ((rc = plan_new_nodes(run, target, label, p)) < 0)
        return rc;
    name_backup_dir(p, run);
    return carry_out(p, run, !p.signatures.empty(),
                     "Erase the signatures (" + signature_list(p.signatures) + ") on " + device + "?");
}

int delete_verb(front_run& run, char* label) {
    inventory inv;
    int rc = run_inventory(run, false, inv);
    if (rc < 0)
        return rc;
    std::vector<const device_row*> targets = carriers(inv, label);
    if (targets.empty()) {
        error("No device carries the label \"%s\"\n", label);
        return -ENOENT;
    }
    bool all = true;
    if (run.device) {
        const device_row* chosen = row_of(inv, run.device);
        if (!chosen || !chosen->labelled || chosen->label != label) {
            error("Device \"%s\" does not carry the label \"%s\"\n", run.device, label);
            return -ENOENT;
        }
        all = targets.size() == 1;
        targets = {chosen};
    }
    // Every block is saved before the first node goes, so that a failed
    // backup leaves everything as it was.
    plan p;
    for (const device_row* t : targets) {
        int block_size = 512;
        if ((rc = check_writable(run, t->path.c_str(), false, block_size)) < 0)
            return rc;
        plan_save(t->path, {0, static_cast<uint64_t>(block_size)}, p);
    }
    plan_old_nodes(run, targets, label, all, p);
    for (const device_row* t : targets)
        p.steps.push_back({step_kind::clear_label, t->path, {}, label, {}, {}, 0});
    name_backup_dir(p, run);
    return carry_out(p, run, true, std::string("Delete the label \"") + label + "\"?");
}

int rename_verb(front_run& run, char* old_label, char* new_label) {
    if (std::strcmp(old_label, new_label) == 0) {
        error("The old and the new label are the same: \"%s\"\n", old_label);
        return -EINVAL;
    }
    inventory inv;
    int rc = run_inventory(run, false, inv);
    if (rc < 0)
        return rc;
    std::vector<const device_row*> targets = carriers(inv, old_label);
    if (targets.empty()) {
        error("No device carries the label \"%s\"\n", old_label);
        return -ENOENT;
    }
    if (targets.size() > 1) {
        error("Label \"%s\" is carried by %s and %s: delete one with --device first\n",
              old_label, targets[0]->path.c_str(), targets[1]->path.c_str());
        return -EEXIST;
    }
    const device_row& target = *targets[0];
    if ((rc = refuse_carried(inv, new_label, target)) < 0)
        return rc;
    int block_size = 512;
    if ((rc = check_writable(run, target.path.c_str(), false, block_size)) < 0)
        return rc;
    plan p;
    plan_save(target.path, {0, static_cast<uint64_t>(block_size)}, p);
    plan_old_nodes(run, targets, old_label, false, p);
    p.steps.push_back({step_kind::write_label, target.path, {}, new_label, {}, {}, 0});
    if ((rc = plan_new_nodes(run, target, new_label, p)) < 0)
        return rc;
    name_backup_dir(p, run);
    return carry_out(p, run, true,
                     std::string("Rename \"") + old_label + "\" to \"" + new_label + "\"?");
}

int restore_verb(front_run& run, const char* backup, const char* device) {
    plan p;
    int rc = read_saved_region(backup, p.restore);
    if (rc < 0) {
        error("Unable to read backup \"%s\": %s\n", backup, std::strerror(-rc));
        return rc;
    }
    std::string target = device ? device : p.restore.origin.path;
    int block_size = 512;
    if ((rc = check_writable(run, target.c_str(), false, block_size)) < 0)
        return rc;
    if ((rc = identify(run, target.c_str(), p.identity)) < 0)
        return rc;
    const device_identity& origin = p.restore.origin;
    bool wwid_differs = !origin.wwid.empty() && !p.identity.wwid.empty() &&
                        origin.wwid != p.identity.wwid;
    if (origin.size != p.identity.size || wwid_differs) {
        error("Device \"%s\" is not the one the backup was taken from (%s)\n", target.c_str(),
              wwid_differs ? "another WWID" : "another size");
        return -ENODEV;
    }
    device_region region{p.restore.offset, p.restore.bytes.size()};
    plan_save(target, region, p);
    p.steps.push_back({step_kind::restore_region, target, {}, {}, region, backup, 0});
    name_backup_dir(p, run);
    return carry_out(p, run, true, "Write the backup \"" + std::string(backup) + "\" onto " + target + "?");
}

}  // namespace vlm
