// SPDX-License-Identifier: GPL-2.0-or-later
// The testbed's access library: a libtev.so with the twelve entry points,
// for running velmortev-discover on a machine without the storage driver.
// Its discovery is real: it reads the label of each block device node in
// the disks/ directory of a stand-in manager and hands back those whose
// label is the node's name and matches the discovery string ("VLMR:" and a
// shell pattern on the label). Environment variables steer it:
//
//   VLM_TESTBED_MANAGER=DIR
//       the manager's mount point (default /mnt/velmor).
//   VLM_TESTBED_LIBTEV_FAIL=CALL:CODE[:AFTER][,...]
//       CALL (tev_version, tev_init, tev_discover or tev_fetch) returns CODE
//       from its AFTER+1st call on (AFTER defaults to 0).
//   VLM_TESTBED_LIBTEV_RECORDS=NAME:BLOCK_SIZE:BLOCK_COUNT:MAXIO:KIND[,...]
//       tev_discover takes these disks instead of the manager's, still
//       filtered by the discovery string (an empty list: the manager's).
//   VLM_TESTBED_LIBTEV_UNTERMINATED=FIELD[,...]
//       the texts "name" (tev_version), "error" (tev_error) and "disk_name"
//       (tev_fetch) are repeated over their whole field with no NUL.
//   VLM_TESTBED_LIBTEV_LOG=FILE
//       every call appends one line with its name and arguments to FILE.
//
// Codes are errno values; tev_error explains the last failure.
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "discover/tevlib.h"
#include "label/label.h"
#include "lib/blockdev.h"
#include "lib/owners.h"

namespace {

constexpr const char* library_name = "TEVLib testbed 1.0";
constexpr uint64_t library_version = 0x5445560000010000;  // "TEV", 1.0
constexpr std::string_view discovery_prefix = "VLMR:";
constexpr uint32_t fallback_maxio = 128 * 1024;
constexpr unsigned char library_filler = 0xa5;  // record bytes the caller must not read

struct found_disk {
    std::string name;
    uint32_t block_size;
    uint64_t block_count;
    uint32_t maxio;
    uint8_t integrity;
};

struct tev_context {
    std::vector<found_disk> disks;
    size_t next = 0;
};

tev_context* live_context = nullptr;
int32_t last_code = 0;
std::string last_text;

void log_call(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_call(const char* fmt, ...) {
    const char* path = getenv("VLM_TESTBED_LIBTEV_LOG");
    if (!path || !*path)
        return;
    vlm::unique_fd fd(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd)
        return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    n = std::clamp(n, 0, int(sizeof line - 2));
    line[n++] = '\n';
    ssize_t ignored = write(fd.get(), line, size_t(n));
    (void)ignored;
}

// Remembers the text of a failure for tev_error and returns its code.
int32_t fail(int32_t code, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int32_t fail(int32_t code, const char* fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    last_code = code;
    last_text = text;
    return code;
}

// Calls fn on each non-empty item of a list separated by sep.
template <typename Fn>
void for_each_item(const char* list, char sep, Fn fn) {
    std::string_view rest(list ? list : "");
    while (!rest.empty()) {
        size_t end = rest.find(sep);
        if (end != 0)
            fn(std::string(rest.substr(0, end)));
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
}

std::vector<std::string> split(const std::string& item, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t end; (end = item.find(sep, start)) != std::string::npos; start = end + 1)
        parts.push_back(item.substr(start, end - start));
    parts.push_back(item.substr(start));
    return parts;
}

uint64_t number(const std::string& text) { return strtoull(text.c_str(), nullptr, 0); }

bool unterminated(std::string_view field) {
    bool found = false;
    for_each_item(getenv("VLM_TESTBED_LIBTEV_UNTERMINATED"), ',',
                  [&](const std::string& item) { found = found || item == field; });
    return found;
}

// Writes the text into a field: NUL-terminated and cut to fit, or, when the
// field is switched to unterminated, repeated over all of it with no NUL.
void put_text(char* field, size_t size, std::string_view text, std::string_view switch_name) {
    if (size == 0)
        return;
    if (unterminated(switch_name) && !text.empty()) {
        for (size_t i = 0; i < size; i++)
            field[i] = text[i % text.size()];
        return;
    }
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

// The injected failure for this call, if its switch says so; every call is
// counted.
int32_t injected_failure(const char* call) {
    static std::vector<std::pair<std::string, unsigned long>> calls_made;
    unsigned long made = 0;
    auto it = std::find_if(calls_made.begin(), calls_made.end(),
                           [&](auto& entry) { return entry.first == call; });
    if (it == calls_made.end())
        calls_made.emplace_back(call, 1);
    else
        made = it->second++;
    int32_t code = 0;
    for_each_item(getenv("VLM_TESTBED_LIBTEV_FAIL"), ',', [&](const std::string& item) {
        std::vector<std::string> parts = split(item, ':');
        if (parts[0] == call && parts.size() >= 2 && code == 0) {
            unsigned long after = parts.size() >= 3 ? number(parts[2]) : 0;
            if (made >= after)
                code = int32_t(strtol(parts[1].c_str(), nullptr, 0));
        }
    });
    if (code != 0)
        fail(code, "injected failure %d of %s", int(code), call);
    return code;
}

tev_context* context_of(uint64_t word) {
    auto* context = reinterpret_cast<tev_context*>(uintptr_t(word));
    return context && context == live_context ? context : nullptr;
}

uint32_t max_transfer(dev_t rdev) {
    char path[128];
    snprintf(path, sizeof path, "/sys/dev/block/%u:%u/queue/max_sectors_kb", major(rdev),
             minor(rdev));
    vlm::unique_file file(fopen(path, "re"));
    unsigned long kib = 0;
    if (!file || fscanf(file.get(), "%lu", &kib) != 1 || kib == 0 || kib > UINT32_MAX / 1024)
        return fallback_maxio;
    return uint32_t(kib * 1024);
}

// Reads the node's device: its label and its geometry. False for anything
// that is not a labelled block device whose label is the node's name.
bool probe_node(const std::string& path, const std::string& node_name, found_disk* disk) {
    vlm::unique_fd fd(vlm::open_label_device(path.c_str(), false));
    if (!fd)
        return false;
    vlm::label_info info;
    if (vlm::read_label_block(fd.get(), &info) < 0 || vlm::check_label_magic(&info, false) != 0)
        return false;
    disk->name.assign(info.label, strnlen(info.label, vlm::label_max));
    if (disk->name != node_name)
        return false;  // a node left behind by an earlier label
    uint64_t bytes = 0;
    struct stat st;
    if (ioctl(fd.get(), BLKGETSIZE64, &bytes) < 0 || fstat(fd.get(), &st) < 0)
        return false;
    disk->block_size = uint32_t(vlm::logical_block_size(fd.get()));
    disk->block_count = bytes / disk->block_size;
    disk->maxio = max_transfer(st.st_rdev);
    disk->integrity = 0;
    return true;
}

int32_t discover_manager_disks(const char* pattern, std::vector<found_disk>* disks) {
    const char* manager = getenv("VLM_TESTBED_MANAGER");
    std::string dir = std::string(manager && *manager ? manager : "/mnt/velmor") + "/disks";
    vlm::unique_dir listing(opendir(dir.c_str()));
    if (!listing)
        return fail(errno, "Unable to read %s: %s", dir.c_str(), strerror(errno));
    std::vector<std::string> names;
    while (dirent* entry = readdir(listing.get()))
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        found_disk disk;
        if (probe_node(dir + "/" + name, name, &disk) && fnmatch(pattern, name.c_str(), 0) == 0)
            disks->push_back(disk);
    }
    return 0;
}

void take_listed_records(const char* list, const char* pattern, std::vector<found_disk>* disks) {
    for_each_item(list, ',', [&](const std::string& item) {
        std::vector<std::string> f = split(item, ':');
        f.resize(5);
        found_disk disk{f[0], uint32_t(number(f[1])), number(f[2]), uint32_t(number(f[3])),
                        uint8_t(number(f[4]))};
        if (fnmatch(pattern, disk.name.c_str(), 0) == 0)
            disks->push_back(disk);
    });
}

void store_le(unsigned char* p, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; i++)
        p[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The record as a caller sees it: the listed fields in place, every other
// byte the library's own.
void fill_record(unsigned char* record, const found_disk* disk) {
    std::memset(record, library_filler, vlm::fetched_disk_size);
    store_le(record + vlm::fetched_block_size, disk ? disk->block_size : 0, 4);
    if (!disk)
        return;
    record[vlm::fetched_integrity_kind] = disk->integrity;
    put_text(reinterpret_cast<char*>(record + vlm::fetched_disk_name),
             vlm::fetched_disk_name_size, disk->name, "disk_name");
    store_le(record + vlm::fetched_block_count, disk->block_count, 8);
    store_le(record + vlm::fetched_maxio, disk->maxio, 4);
}

}  // namespace

extern "C" {

int32_t tev_version(uint32_t* request, uint64_t* version, char* name, uint32_t name_size,
                    uint32_t* reserved) {
    log_call("tev_version %" PRIu32 " %" PRIu32, request ? *request : 0, name_size);
    if (int32_t code = injected_failure("tev_version"))
        return code;
    if (!request || *request != 1 || !version || !name || !reserved)
        return fail(EINVAL, "tev_version: bad arguments");
    *version = library_version;
    *reserved = 0;
    put_text(name, name_size, library_name, "name");
    return 0;
}

int32_t tev_init(uint64_t version, uint64_t* context) {
    log_call("tev_init %#" PRIx64, version);
    if (int32_t code = injected_failure("tev_init"))
        return code;
    if (version != library_version)
        return fail(EPROTO, "tev_init: unknown version %#" PRIx64, version);
    if (live_context)
        return fail(EBUSY, "tev_init: a context is already open");
    live_context = new tev_context;
    *context = reinterpret_cast<uintptr_t>(live_context);
    return 0;
}

void tev_fini(uint64_t context) {
    tev_context* open = context_of(context);
    log_call("tev_fini%s", open ? "" : " (not a context)");
    delete open;
    if (open)
        live_context = nullptr;
}

int32_t tev_discover(uint64_t context, const char* discovery) {
    log_call("tev_discover %s", discovery ? discovery : "(null)");
    if (int32_t code = injected_failure("tev_discover"))
        return code;
    tev_context* open = context_of(context);
    if (!open)
        return fail(EBADF, "tev_discover: not a context of this library");
    std::string_view text(discovery ? discovery : "");
    if (text.substr(0, discovery_prefix.size()) != discovery_prefix)
        return fail(EINVAL, "Discovery string \"%s\" does not start with VLMR:",
                    std::string(text).c_str());
    const char* pattern = discovery + discovery_prefix.size();
    open->disks.clear();
    open->next = 0;
    const char* records = getenv("VLM_TESTBED_LIBTEV_RECORDS");
    if (records && *records) {
        take_listed_records(records, pattern, &open->disks);
        return 0;
    }
    return discover_manager_disks(pattern, &open->disks);
}

int32_t tev_fetch(uint64_t context, unsigned char* record) {
    log_call("tev_fetch");
    if (int32_t code = injected_failure("tev_fetch"))
        return code;
    tev_context* open = context_of(context);
    if (!open)
        return fail(EBADF, "tev_fetch: not a context of this library");
    bool more = open->next < open->disks.size();
    fill_record(record, more ? &open->disks[open->next++] : nullptr);
    return 0;
}

void tev_error(uint64_t context, int32_t code, char* text, uint32_t text_size) {
    log_call("tev_error %d %" PRIu32 "%s", int(code), text_size,
             context_of(context) ? "" : " (not a context)");
    std::string message = code == last_code ? last_text
                                             : "unknown error " + std::to_string(code);
    put_text(text, text_size, message, "error");
}

const char* tev_integrity_string(int32_t kind) {
    log_call("tev_integrity_string %d", int(kind));
    switch (kind) {
    case 0:
        return "none";
    case 1:
        return "checksum";
    case 2:
        return "checksum+reftag";
    }
    return "unknown";
}

// Disk I/O is not part of the testbed: these exist so that the library
// binds, and refuse every request.
int32_t tev_open(uint64_t, const char*, uint64_t*) {
    return fail(ENOSYS, "tev_open: not provided by the testbed");
}

int32_t tev_close(uint64_t) { return fail(ENOSYS, "tev_close: not provided by the testbed"); }

void tev_ioerror(uint64_t, int32_t code, char* text, uint32_t text_size) {
    put_text(text, text_size, "I/O error " + std::to_string(code), "error");
}

int32_t tev_io(uint64_t, uint32_t, uint64_t, void*, uint32_t) {
    return fail(ENOSYS, "tev_io: not provided by the testbed");
}

int32_t tev_cancel(uint64_t) { return fail(ENOSYS, "tev_cancel: not provided by the testbed"); }

}  // extern "C"

// The entry points keep the types the kit binds them with.
static_assert(std::is_same_v<decltype(tev_version), vlm::tev_version_fn>);
static_assert(std::is_same_v<decltype(tev_init), vlm::tev_init_fn>);
static_assert(std::is_same_v<decltype(tev_fini), vlm::tev_fini_fn>);
static_assert(std::is_same_v<decltype(tev_discover), vlm::tev_discover_fn>);
static_assert(std::is_same_v<decltype(tev_fetch), vlm::tev_fetch_fn>);
static_assert(std::is_same_v<decltype(tev_open), vlm::tev_open_fn>);
static_assert(std::is_same_v<decltype(tev_close), vlm::tev_close_fn>);
static_assert(std::is_same_v<decltype(tev_error), vlm::tev_error_fn>);
static_assert(std::is_same_v<decltype(tev_ioerror), vlm::tev_ioerror_fn>);
static_assert(std::is_same_v<decltype(tev_io), vlm::tev_io_fn>);
static_assert(std::is_same_v<decltype(tev_cancel), vlm::tev_cancel_fn>);
static_assert(std::is_same_v<decltype(tev_integrity_string), vlm::tev_integrity_string_fn>);
