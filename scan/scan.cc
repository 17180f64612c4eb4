// SPDX-License-Identifier: GPL-2.0-or-later
#include "scan/scan.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/owners.h"

namespace vlm {

struct pool_piece {
    pool_piece* next;
};

namespace {

// The longest piece of a line that counts as a line, as fgets hands it over
// with a buffer of 4097 bytes.
constexpr size_t line_piece_limit = 4096;
constexpr size_t table_block_size = 64 * 1024;

// Records hold pointers, sizes and texts.
constexpr size_t record_alignment = alignof(void*);
static_assert(alignof(scan_device) <= record_alignment && alignof(scan_dir_entry) <= record_alignment);
constexpr size_t piece_header = (sizeof(pool_piece) + record_alignment - 1) & ~(record_alignment - 1);

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

// Classes of the bytes of a table line: the blanks that the C library's
// white-space directive skips, and the bytes that end a name.
constexpr unsigned char c_space = 1;
constexpr unsigned char name_end = 2;

constexpr std::array<unsigned char, 256> byte_classes = [] {
    std::array<unsigned char, 256> classes{};
    for (char c : {' ', '\t', '\n', '\v', '\f', '\r'})
        classes[static_cast<unsigned char>(c)] |= c_space;
    for (char c : {'\0', ' ', '\t', '\n'})
        classes[static_cast<unsigned char>(c)] |= name_end;
    return classes;
}();

bool is(char c, unsigned char byte_class) {
    return byte_classes[static_cast<unsigned char>(c)] & byte_class;
}

// Runs of blanks are skipped at a byte compare each: nearly all white
// space in the table is blanks.
inline const char* skip_space(const char* p) {
    for (;; p++) {
        while (*p == ' ')
            p++;
        if (!is(*p, c_space))
            return p;
    }
}

bool is_digit(char c) {
    return static_cast<unsigned char>(c - '0') < 10;
}

constexpr uint64_t long_limit = uint64_t(1) << 63;  // magnitude of LONG_MIN

// The magnitude of a run of more than eighteen digits, held at long_limit
// once it gets there (below long_limit / 10 a further digit cannot wrap,
// above it the value is past the limit anyway).
[[gnu::noinline]] uint64_t long_magnitude(const char* digits, const char* end) {
    uint64_t magnitude = 0;
    for (; digits < end; digits++) {
        auto digit = static_cast<uint64_t>(*digits - '0');
        magnitude = magnitude > long_limit / 10 ? long_limit
                                                : std::min(magnitude * 10 + digit, long_limit);
    }
    return magnitude;
}

// A decimal integer as the C library's %d conversion reads it: an optional
// sign and at least one digit; the value is held to the range of long and
// then cut to int. Returns where the digits end, or null when there are
// none. The value is stored when `value` is not null.
inline const char* scan_decimal(const char* p, int* value) {
    bool negative = *p == '-';
    if (*p == '+' || *p == '-')
        p++;
    const char* digits = p;
    uint64_t magnitude = 0;  // may wrap on a long run, which is read again
    for (; is_digit(*p); p++)
        magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
    if (p == digits)
        return nullptr;
    if (!value)
        return p;
    constexpr long unchecked_digits = 18;  // stay below long_limit
    if (p - digits > unchecked_digits)
        magnitude = long_magnitude(digits, p);
    long held;
    if (negative)
        held = magnitude >= long_limit ? LONG_MIN : -static_cast<long>(magnitude);
    else
        held = magnitude >= long_limit ? LONG_MAX : static_cast<long>(magnitude);
    *value = static_cast<int>(held);
    return p;
}

// The table as fgets would hand it over with a line buffer of 4097 bytes:
// lines of at most 4096 characters, a longer line in pieces of that size.
// The bytes are read in large blocks into one buffer, and each piece is
// taken where it lies, cut off by a NUL for the time of its parse. Measured
// on 100k lines (bench/scan), fgets with its copy and call per line costs a
// quarter more instructions of the whole scan, and a parser that checks an
// end pointer at every byte a tenth more.
struct table_reader {
    FILE* stream;
    char* buffer;     // capacity bytes and one more for the NUL after a piece
    size_t capacity;  // at least one piece
    size_t start;     // the next piece begins here
    size_t end;       // bytes read so far end here
    bool at_end;      // the stream gives no more
};

// Moves what is left to the front and reads more behind it.
void refill(table_reader* reader) {
    size_t left = reader->end - reader->start;
    std::memmove(reader->buffer, reader->buffer + reader->start, left);
    reader->start = 0;
    reader->end = left;
    size_t got = std::fread(reader->buffer + left, 1, reader->capacity - left, reader->stream);
    reader->end += got;
    if (got == 0)
        reader->at_end = true;
}

// The next piece, NUL-terminated in place (the byte it covers is kept in
// *covered for put_back), or null at the end of the table.
char* next_piece(table_reader* reader, size_t* length, char* covered) {
    for (;;) {
        char* begin = reader->buffer + reader->start;
        size_t left = reader->end - reader->start;
        size_t window = std::min(left, line_piece_limit);
        auto newline = static_cast<char*>(std::memchr(begin, '\n', window));
        if (newline || window == line_piece_limit || (reader->at_end && left > 0)) {
            *length = newline ? size_t(newline - begin) + 1 : window;
            *covered = begin[*length];
            begin[*length] = '\0';
            reader->start += *length;
            return begin;
        }
        if (reader->at_end)
            return nullptr;
        refill(reader);
    }
}

void put_back(char* piece_text, size_t length, char covered) {
    piece_text[length] = covered;
}

}  // namespace

namespace {

// A new piece for a record of `size` bytes (already rounded), or false.
[[gnu::noinline]] bool grow_pool(record_pool* pool, size_t size) {
    size_t half = (pool->held / 2 + record_alignment - 1) & ~(record_alignment - 1);
    size_t space = std::max(size, half);
    auto fresh = static_cast<pool_piece*>(std::malloc(piece_header + space));
    if (!fresh)
        return false;
    fresh->next = pool->pieces;
    pool->pieces = fresh;
    pool->held += space;
    pool->free_space = reinterpret_cast<char*>(fresh) + piece_header;
    pool->room = space;
    return true;
}

inline void* take_from_pool(record_pool* pool, size_t size) {
    size = (size + record_alignment - 1) & ~(record_alignment - 1);
    if (size > pool->room && !grow_pool(pool, size))
        return nullptr;
    void* record = pool->free_space;
    pool->free_space += size;
    pool->room -= size;
    return record;
}

}  // namespace

void* pool_alloc(record_pool* pool, size_t size) {
    return take_from_pool(pool, size);
}

void pool_free(record_pool* pool) {
    for (pool_piece* p = pool->pieces; p;) {
        pool_piece* next = p->next;
        std::free(p);
        p = next;
    }
    *pool = {};
}

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

// parse_partition_line, returning the length of the name, 0 for a line
// that is not read.
size_t parse_line(const char* line, int* major, int* minor, char* name) {
    const char* p = scan_decimal(skip_space(line), major);
    if (p)
        p = scan_decimal(skip_space(p), minor);
    if (p)
        p = scan_decimal(skip_space(p), nullptr);  // the block count, discarded
    if (!p)
        return false;
    p = skip_space(p);
    // Copied while it is scanned: names are short, and a copy of unknown
    // length becomes a string instruction whose start-up costs more than
    // the whole name.
    size_t length = 0;
    for (; length < partition_name_limit && !is(p[length], name_end); length++)
        name[length] = p[length];
    name[length] = '\0';
    return length;
}

}  // namespace

bool parse_partition_line(const char* line, int* major, int* minor, char* name) {
    return parse_line(line, major, minor, name) > 0;
}

int read_partitions(const scan_setup& setup, partition_step step) {
    malloc_ptr<char> block(alloc_text(table_block_size + 1));
    if (!block)
        return -ENOMEM;
    malloc_ptr<char> name(alloc_text(partition_name_limit + 1));
    if (!name)
        return -ENOMEM;
    unique_file table(std::fopen(setup.tables.partitions, "r"));
    if (!table)
        return -errno;
    // The reader's buffer is the stream's: it needs none of its own.
    setvbuf(table.get(), nullptr, _IONBF, 0);
    table_reader reader{table.get(), block.get(), table_block_size, 0, 0, false};

    bool media_test = ide_dir_present(setup.tables.ide);
    size_t length;
    char covered;
    while (char* text = next_piece(&reader, &length, &covered)) {
        int major = 0;
        int minor = 0;
        name.get()[0] = '\0';
        size_t name_length = parse_line(text, &major, &minor, name.get());
        put_back(text, length, covered);
        if (name_length == 0 || major == 0)
            continue;
        if (media_test && is_cd_or_tape(setup.tables.ide, name.get()))
            continue;
        step(setup, {name.get(), name_length});
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
        // The record and its copy of the name lie together in the pool.
        size_t size = std::strlen(name) + 1;
        auto record = static_cast<scan_dir_entry*>(take_from_pool(&dir->entry_pool, sizeof(scan_dir_entry) + size));
        if (!record)
            return -ENOMEM;
        record->name = reinterpret_cast<char*>(record + 1);
        std::memcpy(record->name, name, size);
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

namespace {

void free_scan_dir(scan_dir* dir) {
    pool_free(&dir->entry_pool);  // the entries go with their pool
    name_index_free(&dir->index);
    std::free(dir);
}

}  // namespace

scan_dir* add_scan_dir(scan_dir_ring* dirs, const char* text) {
    if (!text)
        return nullptr;
    auto dir = new_record<scan_dir>();
    if (!dir)
        return nullptr;
    ring_init(&dir->entries);
    name_index_init(&dir->index);
    dir->text = text;
    dir->text_length = std::strlen(text);
    dir->every_name = std::strcmp(text, dev_scan_dir) == 0;
    if (dir->every_name) {
        dirs->dev_dir_given = true;
    } else if (read_scan_dir(text, dir) < 0) {
        free_scan_dir(dir);
        return nullptr;
    }
    ring_append(&dirs->scan_dirs, dir);
    return dir;
}

void free_scan_dirs(scan_dir_ring* dirs) {
    for (scan_dir* dir : ring_records<scan_dir>(&dirs->scan_dirs)) {
        ring_unlink(dir);
        free_scan_dir(dir);
    }
}

namespace {

// A device record in the bucket's pool with the path prefix followed
// directly by the name; the name is the path's tail, so it is not stored
// twice. Appended to the bucket.
inline scan_device* make_device(device_bucket* bucket, const char* prefix, size_t prefix_length,
                                std::string_view name) {
    size_t size = sizeof(scan_device) + prefix_length + name.size() + 1;
    auto device = static_cast<scan_device*>(take_from_pool(&bucket->pool, size));
    if (!device)
        return nullptr;
    device->path = reinterpret_cast<char*>(device + 1);
    device->name = device->path + prefix_length;
    device->path_length = prefix_length + name.size();
    std::memcpy(device->path, prefix, prefix_length);
    std::memcpy(device->name, name.data(), name.size());
    device->name[name.size()] = '\0';
    ring_append(bucket, device);
    return device;
}

inline bool scan_dir_applies(const scan_dir* dir, std::string_view name) {
    return dir->every_name || name_index_contains(&dir->index, name.data());
}

}  // namespace

int add_device(device_bucket* bucket, const scan_dir_ring* dirs, std::string_view name) {
    for (const scan_dir* dir : ring_records<const scan_dir>(&dirs->scan_dirs)) {
        if (scan_dir_applies(dir, name) && !make_device(bucket, dir->text, dir->text_length, name))
            return -ENOMEM;
    }
    return 0;
}

scan_device* add_device(device_bucket* bucket, std::string_view name) {
    return make_device(bucket, dev_scan_dir, std::strlen(dev_scan_dir), name);
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

namespace {

// The name begins with the pattern's first `length` characters.
inline bool has_prefix(const scan_pattern* pattern, std::string_view name) {
    size_t n = pattern->length;  // 0 for the default, which takes every name
    return n == 0 || (name.size() >= n && std::memcmp(name.data(), pattern->text, n) == 0);
}

}  // namespace

int match_pattern(const scan_pattern* pattern, const char* name) {
    if (!pattern || !pattern->text || !name)
        return -EINVAL;
    return has_prefix(pattern, {name, strnlen(name, pattern->length + 1)}) ? 1 : 0;
}

namespace {

// Pattern texts are never missing (add_pattern refuses them), nor is the
// name: the test needs no checks here.
inline scan_pattern* first_match(ring_node* patterns, std::string_view name) {
    if (!patterns)
        return nullptr;
    for (scan_pattern* pattern : ring_records<scan_pattern>(patterns)) {
        if (has_prefix(pattern, name))
            return pattern;
    }
    return nullptr;
}

void report(const scan_setup& setup, const char* fmt, std::string_view name) {
    if (setup.report) {
        setup.report(fmt, name.data());
        return;
    }
    std::fprintf(stderr, fmt, name.data());
}

}  // namespace

void place_device(const scan_setup& setup, std::string_view name) {
    scan_pattern* pattern = first_match(setup.exclude_patterns, name);
    if (!pattern)
        pattern = first_match(setup.order_patterns, name);
    if (!pattern) {
        report(setup, "Unable to order device \"%s\"!\n", name);
        return;
    }
    bool made = setup.scan_dirs ? add_device(&pattern->bucket, setup.scan_dirs, name) == 0
                                : add_device(&pattern->bucket, name) != nullptr;
    if (made)
        return;
    report(setup, "Error processing device \"%s\"\n", name);
    if (setup.records_not_made)
        ++*setup.records_not_made;
}

int scan_partitions(const scan_setup& setup) {
    return read_partitions(setup, place_device);
}

void empty_bucket(scan_pattern* pattern) {
    // The records go with the pool's pieces; their links need no undoing.
    pool_free(&pattern->bucket.pool);
    ring_init(&pattern->bucket);
}

void free_patterns(ring_node* patterns) {
    for (scan_pattern* pattern : ring_records<scan_pattern>(patterns)) {
        empty_bucket(pattern);
        ring_unlink(pattern);
        std::free(pattern);
    }
}

}  // namespace vlm
