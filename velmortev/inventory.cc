// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/inventory.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "frame/frame.h"
#include "label/label.h"
#include "lib/owners.h"
#include "velmortev/memory.h"

namespace vlm {

namespace {

// The probe reuses the label's descriptor: one open per device instead of
// two, since opening a block device costs more than any read that follows.
// Direct I/O is switched off for it, as libblkid's reads are unaligned.
int probe_after_label(int fd, const char* path, std::vector<found_signature>& out) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_DIRECT) < 0)
        return probe_signatures(path, out);
    return probe_open_device(fd, out);
}

// Reads the label and the geometry of one device, and with PROBE the
// signatures of a labelled one. 0, or the negated errno that leaves the
// device out (one that went away, a drive without a medium); -ENOMEM, from
// the read or the probe, is the run's shortage instead.
int read_device(const char* path, bool probe, device_row& row) {
    unique_fd fd(open_label_device(path, false));
    if (!fd)
        return fd.get();
    struct stat st;
    if (fstat(fd.get(), &st) < 0)
        return -errno;
    label_info info;
    if (int rc = read_label_block(fd.get(), &info); rc < 0)
        return rc;
    row.rdev = st.st_rdev;
    row.size = device_size(fd.get());
    row.labelled = check_label_magic(&info, false) == 0;
    if (row.labelled)
        row.label.assign(info.label, strnlen(info.label, label_max));
    if (row.labelled && probe)
        row.probe_status = probe_after_label(fd.get(), path, row.signatures);
    return row.probe_status == -ENOMEM ? -ENOMEM : 0;
}

// A device met by the scan, read by whichever reader takes it.
struct queued_device {
    const scan_device* device;
    bool excluded;
    int status = 0;  // of read_device
    device_row row;
};

// Readers take the next device from one counter, so each device is read
// once and the rows keep the scan's order.
struct device_queue {
    std::vector<queued_device> devices;
    bool probe = true;
    std::atomic<size_t> next{0};
};

void* read_queued(void* queue_pointer) {
    auto& queue = *static_cast<device_queue*>(queue_pointer);
    for (size_t i; (i = queue.next.fetch_add(1)) < queue.devices.size();) {
        queued_device& each = queue.devices[i];
        each.status = read_device(each.device->path, queue.probe, each.row);
    }
    return nullptr;
}

// Each device's reads wait on its driver, one small read after another, so
// a few readers at once keep both the processors and the devices busy. A
// reader that cannot be started leaves its share to the others; the calling
// thread is always one of them.
constexpr unsigned device_readers = 8;

void read_queue(device_queue& queue) {
    pthread_t helpers[device_readers - 1];
    unsigned started = 0;
    while (started < device_readers - 1 && started + 1 < queue.devices.size() &&
           pthread_create(&helpers[started], nullptr, read_queued, &queue) == 0)
        started++;
    read_queued(&queue);
    for (unsigned i = 0; i < started; i++)
        pthread_join(helpers[i], nullptr);
}

void queue_devices(ring_node* patterns, bool excluded, device_queue& queue) {
    for (scan_pattern* pattern : ring_records<scan_pattern>(patterns))
        for (scan_device* device : ring_records<scan_device>(&pattern->bucket))
            queue.devices.push_back({device, excluded, 0, {}});
}

node_state look_at_node(const std::string& manager, const device_row& row) {
    node_state node;
    node.manager = manager;
    struct stat st;
    std::string path = manager + "/disks/" + row.label;
    if (!usable_node_name(row.label) || lstat(path.c_str(), &st) < 0)
        return node;
    node.present = true;
    node.rdev = S_ISBLK(st.st_mode) ? st.st_rdev : 0;
    node.this_device = S_ISBLK(st.st_mode) && st.st_rdev == row.rdev;
    return node;
}

void find_strays(const std::string& manager, const std::set<std::pair<std::string, dev_t>>& known,
                 inventory& out) {
    std::string dir_path = manager + "/disks";
    unique_dir dir(opendir(dir_path.c_str()));
    if (!dir)
        return;
    while (dirent* entry = readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        if (lstat((dir_path + "/" + name).c_str(), &st) < 0)
            continue;
        bool block = S_ISBLK(st.st_mode);
        if (block && known.count({name, st.st_rdev}))
            continue;
        out.strays.push_back({manager, name, block, block ? st.st_rdev : 0});
    }
}

}  // namespace

uint64_t device_size(int fd) {
    uint64_t size = 0;
    return ioctl(fd, BLKGETSIZE64, &size) == 0 ? size : 0;
}

bool usable_node_name(const std::string& label) {
    if (label.empty() || label == "." || label == ".." || label.size() > label_max)
        return false;
    for (char c : label) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || byte == '/')
            return false;
    }
    return true;
}

bool same_device(const device_row& a, const device_row& b) {
    if (a.rdev == b.rdev)
        return true;
    return !a.facts.map.empty() && a.facts.map == b.facts.map;
}

int fill_patterns(pattern_rings& rings, const std::vector<std::string>& order,
                  const std::vector<std::string>& exclude) {
    for (const std::string& text : order)
        if (!add_pattern(&rings.order, text.c_str()))
            return -ENOMEM;
    if (!add_pattern(&rings.order, ""))
        return -ENOMEM;
    for (const std::string& text : exclude)
        if (!add_pattern(&rings.exclude, text.c_str()))
            return -ENOMEM;
    return 0;
}

int take_inventory(const inventory_setup& setup, inventory& out) {
    pattern_rings rings;
    if (fill_patterns(rings, setup.order, setup.exclude) < 0)
        return -ENOMEM;
    // Without scan directories the one partition the scan leaves out with a
    // message is one whose record could not be allocated: a listing without
    // it would be wrong, so that counts as memory run short.
    int records_not_made = 0;
    scan_setup scan{&rings.order, &rings.exclude, nullptr, error, setup.tables, &records_not_made};
    int rc = scan_partitions(scan);
    if (rc < 0)
        return rc;
    if (records_not_made > 0)
        record_memory_shortage();
    if (int memory_rc = check_memory(); memory_rc < 0)
        return memory_rc;

    device_queue queue;
    queue.probe = setup.probe;
    queue_devices(&rings.order, false, queue);
    queue_devices(&rings.exclude, true, queue);
    read_queue(queue);

    // sysfs answers from memory: one thread, and the view's caches unshared.
    sysfs_view sysfs;
    sysfs.root = setup.sysfs_root;
    for (queued_device& each : queue.devices) {
        // A device left out for want of memory would be a wrong listing.
        if (each.status == -ENOMEM) {
            record_memory_shortage();
            return -ENOMEM;
        }
        if (each.status < 0)
            continue;
        device_row& row = each.row;
        row.path = each.device->path;
        row.name = each.device->name;
        row.excluded = each.excluded;
        row.facts = sysfs.facts(row.name);
        out.rows.push_back(std::move(row));
    }

    std::set<std::pair<std::string, dev_t>> known;
    for (device_row& row : out.rows) {
        if (!row.labelled)
            continue;
        known.insert({row.label, row.rdev});
        for (const std::string& manager : setup.managers)
            row.nodes.push_back(look_at_node(manager, row));
    }
    for (const std::string& manager : setup.managers)
        find_strays(manager, known, out);
    return 0;
}

}  // namespace vlm
