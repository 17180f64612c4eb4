// SPDX-License-Identifier: GPL-2.0-or-later
// Partition scanning, shared by velmortev-scan-partitions and tevscan.
//
// A scan reads the kernel's partition table, drops the lines that name no
// device, devices with major number 0 and IDE CD-ROM and tape drives, and
// puts every kept partition into the bucket of the first pattern that
// matches its name, exclude patterns first. Listing the buckets of the order
// patterns in ring order gives the scan order.
//
// Typical use (velmortev-scan-partitions; tevscan passes no scan_dirs):
//
//     ring_node order, exclude;
//     scan_dir_ring dirs;
//     ring_init(&order); ring_init(&exclude); scan_dir_ring_init(&dirs);
//     add_pattern(&order, "sd");          // texts are borrowed, never copied
//     add_pattern(&order, "");            // the default catches the rest
//     add_scan_dir(&dirs, "/dev/");       // sets dirs.dev_dir_given
//     scan_setup setup{&order, &exclude, &dirs, error};
//     int rc = scan_partitions(setup);    // 0, -ENOMEM or -errno of the open
//     for (scan_pattern* p : ring_records<scan_pattern>(&order))
//         for (scan_device* d : ring_records<scan_device>(&p->bucket))
//             printf("%s\n", d->path);
//     free_patterns(&order); free_patterns(&exclude); free_scan_dirs(&dirs);
//
// Every record is made with malloc/calloc or taken from a record_pool, so
// running out of memory is an ordinary result (a null record or -ENOMEM),
// never an abort.
#pragma once

#include <cstddef>
#include <string_view>

#include "lib/ring.h"
#include "scan/name_index.h"

namespace vlm {

// Memory for records that are released all together, with the ring that
// holds them. It comes in pieces: a new piece is as large as the record that
// asks for it or half of what the pool holds already, whichever is more. So
// the first few records get an allocation each, as they would from malloc,
// and each of them can fail on its own; 100,000 records take about thirty.
// A record that cannot be had leaves the pool as it was, and the next one
// asks for a piece again. All zero is an empty pool.
struct record_pool {
    struct pool_piece* pieces;  // the newest first
    size_t held;           // bytes of record space in all pieces
    char* free_space;      // the unused rest of the newest piece
    size_t room;           // its bytes
};

// Room for a record of `size` bytes, aligned for any record; null when a new
// piece is needed and cannot be had.
void* pool_alloc(record_pool* pool, size_t size);
// Releases every piece, and with them every record; the pool is empty again.
void pool_free(record_pool* pool);

// One device path of a kept partition, held in a pattern's bucket.
// Its texts live in the record's own memory and go with it.
struct scan_device : ring_node {
    char* name;          // the partition name as the table gives it: the tail of path
    char* path;          // the scan directory's text followed by the name
    size_t path_length;  // characters of path
};

// The scan_device records of one pattern: the ring, in the order placed,
// and the pool they live in. A bucket owns its records.
struct device_bucket : ring_node {
    record_pool pool;
};

// One name that a scan directory held when it was added.
struct scan_dir_entry : ring_node {
    char* name;  // in the record's own memory
};

// One scan directory of velmortev-scan-partitions.
struct scan_dir : ring_node {
    ring_node entries;     // scan_dir_entry records in directory order; empty for "/dev/"
    record_pool entry_pool;  // where the entries live
    name_index index;      // the same names, so that a lookup costs no walk
    const char* text;      // borrowed from the caller; never released here
    size_t text_length;
    bool every_name;       // text is exactly "/dev/": applies to every partition
};

// The scan directories of one run, in the order added.
struct scan_dir_ring {
    ring_node scan_dirs;
    // Set by add_scan_dir when a directory text is exactly "/dev/"; the
    // program then knows that the default scan directory is already there.
    bool dev_dir_given;
};

inline void scan_dir_ring_init(scan_dir_ring* dirs) {
    ring_init(&dirs->scan_dirs);
    dirs->dev_dir_given = false;
}

// An order or exclude pattern: a plain, case-sensitive name prefix.
struct scan_pattern : ring_node {
    device_bucket bucket;  // scan_device records placed under this pattern
    const char* text;      // borrowed from the caller; never released here
    size_t length;         // characters of text, counted up to pattern_length_limit
};

inline constexpr size_t pattern_length_limit = 4096;

// The scan directory that stands for every partition: it is not read, and
// gives every partition the path "/dev/" followed by its name.
inline constexpr const char* dev_scan_dir = "/dev/";

// Where the kernel tables are read. Tests point these at fixtures.
struct partition_tables {
    const char* partitions = "/proc/partitions";
    const char* ide = "/proc/ide";  // holds NAME/media for IDE drives
};

// Prints a placement message, printf style. velmortev-scan-partitions passes
// the frame's error printer; tevscan one that writes "tevscan: " first.
using scan_printer = void (*)(const char* fmt, ...);

// The longest partition name taken from a table line; longer names are cut.
inline constexpr size_t partition_name_limit = 99;

// Reads one table line the way the C library's sscanf reads it with the
// format "%d %d %*d %99[^ \t\n]": true when the major and minor number, the
// block count and a name of 1 to 99 characters were all found. The name
// buffer must hold 100 bytes.
bool parse_partition_line(const char* line, int* major, int* minor, char* name);

// The media test: true when the partition is to be dropped, because the
// first line of its media file under the IDE directory begins with "cdrom"
// or "tape", or because the path buffer cannot be made. A media file that
// cannot be opened or is empty keeps the partition.
bool is_cd_or_tape(const char* name);  // under /proc/ide
bool is_cd_or_tape(const char* ide_dir, const char* name);

// Makes a scan directory for the text, reads its names unless the text is
// exactly "/dev/" (which sets dev_dir_given), appends it to the ring and
// returns it. Returns null when the text is missing or memory runs out (also
// while the names are read: a partly read directory would list wrongly). A
// directory that cannot be opened is kept with no names.
scan_dir* add_scan_dir(scan_dir_ring* dirs, const char* text);

// Fills the directory's entries and index with the names its text names,
// skipping "." and "..". Returns 0 (also when the directory cannot be opened)
// or -ENOMEM, leaving the names read so far for free_scan_dirs.
int read_scan_dir(const char* text, scan_dir* dir);

// The partition names handed to add_device and place_device are views whose
// text is followed by a NUL, as every name of a table line and every C
// text is: the name index and the messages read them as C texts.
//
// Appends to the bucket one scan_device for every scan directory, in ring
// order, that applies to the name: "/dev/" always, any other when one of its
// names equals the name. Returns 0, or -ENOMEM at the first record that
// cannot be made; records appended before that stay in the bucket.
int add_device(device_bucket* bucket, const scan_dir_ring* dirs, std::string_view name);

// tevscan's form: appends one scan_device with the path "/dev/NAME" and
// returns it, or returns null when memory runs out.
scan_device* add_device(device_bucket* bucket, std::string_view name);

// Appends a pattern with an empty bucket and the borrowed text; returns it,
// or null when the text is missing or memory runs out.
scan_pattern* add_pattern(ring_node* patterns, const char* text);

// 1 when the name begins with the pattern's first `length` characters, 0
// when not, -EINVAL when the pattern, its text or the name is missing.
int match_pattern(const scan_pattern* pattern, const char* name);

// What one scan works on.
struct scan_setup {
    ring_node* order_patterns;
    ring_node* exclude_patterns;
    const scan_dir_ring* scan_dirs;  // null: every path is "/dev/NAME" (tevscan)
    scan_printer report;             // null: messages go to standard error bare
    partition_tables tables = {};
    int* records_not_made = nullptr;  // counts the "Error processing device" partitions
};

// The step that read_partitions calls for every kept partition. The name is
// valid only during the call.
using partition_step = void (*)(const scan_setup& setup, std::string_view name);

// Reads the partition table line by line (pieces of at most 4096 characters
// count as lines of their own), keeps the lines "MAJOR MINOR BLOCKS NAME"
// whose major is not 0 and whose media test passes, and calls the step with
// each name, at most 99 characters of it. Returns 0, -ENOMEM when its read or
// name buffer cannot be made, or the negated errno of opening the table.
// Prints nothing.
int read_partitions(const scan_setup& setup, partition_step step);

// Puts the partition into the bucket of the first matching exclude pattern,
// else of the first matching order pattern. Reports "Unable to order device
// \"NAME\"!\n" when none matches and "Error processing device \"NAME\"\n"
// when its records cannot all be made.
void place_device(const scan_setup& setup, std::string_view name);

// read_partitions with place_device as the step; its result.
int scan_partitions(const scan_setup& setup);

// Releases every scan_device of the pattern's bucket, leaving it empty.
void empty_bucket(scan_pattern* pattern);

// Empties every bucket, then unlinks and releases every pattern, in ring
// order. The texts are not released.
void free_patterns(ring_node* patterns);

// The order and exclude pattern rings of a run, with their buckets: both
// start empty and are released with the owner.
struct pattern_rings {
    ring_node order;
    ring_node exclude;
    pattern_rings() {
        ring_init(&order);
        ring_init(&exclude);
    }
    ~pattern_rings() { clear(); }
    pattern_rings(const pattern_rings&) = delete;
    pattern_rings& operator=(const pattern_rings&) = delete;

    // Releases every pattern of both rings, leaving them empty.
    void clear() {
        free_patterns(&order);
        free_patterns(&exclude);
    }
};

// Unlinks and releases every scan directory with its names. The texts are
// not released.
void free_scan_dirs(scan_dir_ring* dirs);

}  // namespace vlm
