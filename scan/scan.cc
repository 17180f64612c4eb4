// SPDX-License-Identifier: GPL-2.0-or-later
#include "scan/scan.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/owners.h"

namespace vlm {

bool dev_dir_given = false;

namespace {

// 4096 characters of a line and its terminating NUL.
constexpr size_t line_buffer_size = 4097;
constexpr size_t table_buffer_size = 64 * 1024;

template <typename T>
T* new_record() {
    return static_cast<T*>(std::calloc(1, sizeof(T)));
}

char* alloc_text(size_t size) {
    return static_cast<char*>(std::malloc(size));
}

// Whether the media test can find anything at all. Without an IDE directory
// no media file can be opened, and every partition would be kept after a
// failing open; asking once spares that open per partition. On any doubt
// (the directory exists or cannot be looked at) the test runs per partition.
bool ide_dir_present(const char* ide_dir) {
    struct stat st;
    if (stat(ide_dir, &st) == 0)
        return S_ISDIR(st.st_mode);
    return errno != ENOENT && errno != ENOTDIR;
}

}  // namespace

bool is_cd_or_tape(const char* ide_dir, const char* name) {
    // The directory, "/", the name, "/media" and a NUL fit in one byte less;
    // the spare byte keeps the size the kernel path has always been given.
    size_t size = std::strlen(ide_dir) + std::strlen(name) + 9;
    malloc_ptr<char> buffer(alloc_text(size));
    if (!buffer)
        return true;
    std::snprintf(buffer.get(), size, "%s/%s/media", ide_dir, name);
    unique_file media(std::fopen(buffer.get(), "r"));
    if (!media)
        return false;
    if (!std::fgets(buffer.get(), static_cast<int>(size), media.get()))
        return false;
    return std::strncmp(buffer.get(), "cdrom", 5) == 0 || std::strncmp(buffer.get(), "tape", 4) == 0;
}

bool is_cd_or_tape(const char* name) {
    return is_cd_or_tape(partition_tables{}.ide, name);
}

namespace {

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char* skip_space(const char* p) {
    while (is_c_space(*p))
        p++;
    return p;
}

// A decimal integer as the C library's %d conversion reads it: an optional
// sign and at least one digit; the value is held to the range of long and
// then cut to int.
bool scan_decimal(const char** text, int* value) {
    constexpr uint64_t long_limit = uint64_t(1) << 63;  // magnitude of LONG_MIN
    const char* p = *text;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-')
        p++;
    if (*p < '0' || *p > '9')
        return false;
    uint64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        unsigned digit = unsigned(*p - '0');
        magnitude = magnitude > (long_limit - digit) / 10 ? long_limit : magnitude * 10 + digit;
    }
    long held;
    if (negative)
        held = magnitude >= long_limit ? LONG_MIN : -static_cast<long>(magnitude);
    else
        held = magnitude >= long_limit ? LONG_MAX : static_cast<long>(magnitude);
    *value = static_cast<int>(held);
    *text = p;
    return true;
}

}  // namespace

bool parse_partition_line(const char* line, int* major, int* minor, char* name) {
    const char* p = skip_space(line);
    if (!scan_decimal(&p, major))
        return false;
    p = skip_space(p);
    if (!scan_decimal(&p, minor))
        return false;
    p = skip_space(p);
    int blocks;
    if (!scan_decimal(&p, &blocks))
        return false;
    p = skip_space(p);
    size_t length = 0;
    while (length < partition_name_limit && p[length] && p[length] != ' ' && p[length] != '\t' &&
           p[length] != '\n')
        length++;
    if (length == 0)
        return false;
    std::memcpy(name, p, length);
    name[length] = '\0';
    return true;
}

int read_partitions(const partition_tables& tables, partition_step step, void* context) {
    malloc_ptr<char> line(alloc_text(line_buffer_size));
    if (!line)
        return -ENOMEM;
    malloc_ptr<char> name(alloc_text(line_buffer_size));
    if (!name)
        return -ENOMEM;
    // A table of many partitions is read in large pieces rather than in the
    // stream's default of one block per read. Only a matter of speed: without
    // the buffer the stream reads with its own. Declared before the stream,
    // so that it outlives it.
    malloc_ptr<char> stream_buffer(alloc_text(table_buffer_size));
    unique_file table(std::fopen(tables.partitions, "r"));
    if (!table)
        return -errno;
    if (stream_buffer)
        setvbuf(table.get(), stream_buffer.get(), _IOFBF, table_buffer_size);

    bool media_test = ide_dir_present(tables.ide);
    while (std::fgets(line.get(), static_cast<int>(line_buffer_size), table.get())) {
        int major = 0;
        int minor = 0;
        name.get()[0] = '\0';
        if (!parse_partition_line(line.get(), &major, &minor, name.get()))
            continue;
        if (name.get()[0] == '\0' || major == 0)
            continue;
        if (media_test && is_cd_or_tape(tables.ide, name.get()))
            continue;
        step(context, name.get());
    }
    return 0;
}

int read_scan_dir(const char* text, scan_dir* dir) {
    unique_dir stream(opendir(text));
    if (!stream)
        return 0;
    size_t count = 0;
    while (const dirent* entry = readdir(stream.get())) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        // The record and its copy of the name are one allocation.
        size_t size = std::strlen(name) + 1;
        auto record = static_cast<scan_dir_entry*>(std::malloc(sizeof(scan_dir_entry) + size));
        if (!record)
            return -ENOMEM;
        record->name = reinterpret_cast<char*>(record + 1);
        std::memcpy(record->name, name, size);
        // Appended first, so that free_scan_dirs releases it whatever follows.
        ring_append(&dir->entries, record);
        count++;
    }
    // The index is made once the names are known, at its final size: growing
    // it name by name would move every slot several times over.
    if (count == 0)
        return 0;
    if (name_index_reserve(&dir->index, count) < 0)
        return -ENOMEM;
    for (const scan_dir_entry* entry : ring_records<const scan_dir_entry>(&dir->entries)) {
        if (name_index_add(&dir->index, entry->name) < 0)
            return -ENOMEM;
    }
    return 0;
}

static void free_scan_dir(scan_dir* dir) {
    for (scan_dir_entry* entry : ring_records<scan_dir_entry>(&dir->entries)) {
        ring_unlink(entry);
        std::free(entry);
    }
    name_index_free(&dir->index);
    std::free(dir);
}

scan_dir* add_scan_dir(ring_node* scan_dirs, const char* text) {
    if (!text)
        return nullptr;
    auto dir = new_record<scan_dir>();
    if (!dir)
        return nullptr;
    ring_init(&dir->entries);
    name_index_init(&dir->index);
    dir->text = text;
    if (std::strcmp(text, dev_scan_dir) == 0) {
        dev_dir_given = true;
    } else if (read_scan_dir(text, dir) < 0) {
        free_scan_dir(dir);
        return nullptr;
    }
    ring_append(scan_dirs, dir);
    return dir;
}

void free_scan_dirs(ring_node* scan_dirs) {
    for (scan_dir* dir : ring_records<scan_dir>(scan_dirs)) {
        ring_unlink(dir);
        free_scan_dir(dir);
    }
}

void free_device(scan_device* device) {
    std::free(device);
}

// A device record with the path prefix followed directly by the name. The
// record and its path are one allocation, released together; the name is
// the path's tail, so it is not stored twice.
static scan_device* make_device(const char* prefix, const char* name) {
    size_t prefix_length = std::strlen(prefix);
    size_t name_length = std::strlen(name);
    size_t size = sizeof(scan_device) + prefix_length + name_length + 1;
    auto device = static_cast<scan_device*>(std::malloc(size));
    if (!device)
        return nullptr;
    device->next = device->prev = nullptr;
    device->path = reinterpret_cast<char*>(device + 1);
    device->name = device->path + prefix_length;
    std::memcpy(device->path, prefix, prefix_length);
    std::memcpy(device->name, name, name_length + 1);
    return device;
}

static bool scan_dir_applies(const scan_dir* dir, const char* name) {
    return std::strcmp(dir->text, dev_scan_dir) == 0 || name_index_contains(&dir->index, name);
}

int add_device(ring_node* bucket, const ring_node* scan_dirs, const char* name) {
    for (const scan_dir* dir : ring_records<const scan_dir>(scan_dirs)) {
        if (!scan_dir_applies(dir, name))
            continue;
        scan_device* device = make_device(dir->text, name);
        if (!device)
            return -ENOMEM;
        ring_append(bucket, device);
    }
    return 0;
}

scan_device* add_device(ring_node* bucket, const char* name) {
    scan_device* device = make_device(dev_scan_dir, name);
    if (device)
        ring_append(bucket, device);
    return device;
}

scan_pattern* add_pattern(ring_node* patterns, const char* text) {
    if (!text)
        return nullptr;
    auto pattern = new_record<scan_pattern>();
    if (!pattern)
        return nullptr;
    ring_init(&pattern->bucket);
    pattern->text = text;
    pattern->length = strnlen(text, pattern_length_limit);
    ring_append(patterns, pattern);
    return pattern;
}

int match_pattern(const scan_pattern* pattern, const char* name) {
    if (!pattern || !pattern->text || !name)
        return -EINVAL;
    size_t n = pattern->length;
    if (strnlen(name, n + 1) < n)
        return 0;
    return std::memcmp(name, pattern->text, n) == 0 ? 1 : 0;
}

static scan_pattern* first_match(ring_node* patterns, const char* name) {
    if (!patterns)
        return nullptr;
    for (scan_pattern* pattern : ring_records<scan_pattern>(patterns)) {
        if (match_pattern(pattern, name) == 1)
            return pattern;
    }
    return nullptr;
}

static void report(const scan_setup& setup, const char* fmt, const char* name) {
    if (setup.report) {
        setup.report(fmt, name);
        return;
    }
    std::fprintf(stderr, fmt, name);
}

void place_device(const scan_setup& setup, const char* name) {
    scan_pattern* pattern = first_match(setup.exclude_patterns, name);
    if (!pattern)
        pattern = first_match(setup.order_patterns, name);
    if (!pattern) {
        report(setup, "Unable to order device \"%s\"!\n", name);
        return;
    }
    bool made = setup.scan_dirs ? add_device(&pattern->bucket, setup.scan_dirs, name) == 0
                                : add_device(&pattern->bucket, name) != nullptr;
    if (!made)
        report(setup, "Error processing device \"%s\"\n", name);
}

int scan_partitions(const scan_setup& setup) {
    auto step = [](void* context, const char* name) {
        place_device(*static_cast<const scan_setup*>(context), name);
    };
    return read_partitions(setup.tables, step, const_cast<scan_setup*>(&setup));
}

void empty_bucket(scan_pattern* pattern) {
    for (scan_device* device : ring_records<scan_device>(&pattern->bucket)) {
        ring_unlink(device);
        free_device(device);
    }
}

void free_patterns(ring_node* patterns) {
    for (scan_pattern* pattern : ring_records<scan_pattern>(patterns)) {
        empty_bucket(pattern);
        ring_unlink(pattern);
        std::free(pattern);
    }
}

}  // namespace vlm
