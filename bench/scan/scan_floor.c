// SPDX-License-Identifier: GPL-2.0-or-later
/* The floor under the partition scanner: reads /proc/partitions in one
   piece, parses every line by hand and writes "/dev/NAME\n" per device with
   one buffered write. With a directory operand (ending in a slash) it first
   reads that directory once into a hash set and writes "DIRNAME\n" before
   the /dev/ path of every name the directory holds.
     scan_floor [DIRECTORY/] */
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char* names;                      /* the directory's names, NUL-separated */
static size_t names_used, names_size, *slots, mask;  /* slots: offset + 1, 0 is empty */

static size_t hash(const char* s, size_t n) {
    size_t h = 14695981039346656037u;
    while (n--)
        h = (h ^ (unsigned char)*s++) * 1099511628211u;
    return h ^ (h >> 29);
}

static size_t* slot_of(const char* s, size_t n) {
    size_t i = hash(s, n) & mask;
    while (slots[i] && (strncmp(names + slots[i] - 1, s, n) || names[slots[i] - 1 + n]))
        i = (i + 1) & mask;
    return &slots[i];
}

static void read_dir(const char* path) {
    DIR* d = opendir(path);
    size_t count = 0;
    for (struct dirent* e; d && (e = readdir(d));) {
        size_t n = strlen(e->d_name) + 1;
        if (names_used + n > names_size)
            names = realloc(names, names_size = 2 * names_size + n + 65536);
        memcpy(names + names_used, e->d_name, n);
        names_used += n, count++;
    }
    for (mask = 63; mask / 2 < count; mask = mask * 2 + 1) {
    }
    slots = calloc(mask + 1, sizeof *slots);
    for (size_t at = 0; at < names_used; at += strlen(names + at) + 1)
        *slot_of(names + at, strlen(names + at)) = at + 1;
}

int main(int argc, char** argv) {
    const char* dir = argc > 1 ? argv[1] : NULL;
    size_t dir_length = dir ? strlen(dir) : 0, size = 1 << 20, used = 0, out_used = 0;
    if (dir)
        read_dir(dir);
    char* in = malloc(size);
    int fd = open("/proc/partitions", O_RDONLY);
    for (ssize_t got; fd >= 0 && (got = read(fd, in + used, size - used)) > 0;)
        if ((used += (size_t)got) == size)
            in = realloc(in, size *= 2);
    char* out = malloc(2 * used + (dir_length + 1) * used / 2 + 64);
    for (char *p = in, *end = in + used, *line_end; p < end; p = line_end + 1) {
        if (!(line_end = memchr(p, '\n', (size_t)(end - p))))
            line_end = end;
        int field = 0, major = 0;
        while (field < 3 && p < line_end) {
            while (p < line_end && *p == ' ')
                p++;
            if (p == line_end || *p < '0' || *p > '9')
                break;
            for (; p < line_end && *p >= '0' && *p <= '9'; p++)
                major = field ? major : major * 10 + (*p - '0');
            field++;
        }
        while (p < line_end && *p == ' ')
            p++;
        if (field < 3 || p == line_end || major == 0)
            continue;
        size_t n = (size_t)(line_end - p);
        if (dir && *slot_of(p, n)) {
            memcpy(out + out_used, dir, dir_length);
            memcpy(out + out_used + dir_length, p, n);
            out[out_used += dir_length + n] = '\n', out_used++;
        }
        memcpy(out + out_used, "/dev/", 5);
        memcpy(out + out_used + 5, p, n);
        out[out_used += 5 + n] = '\n', out_used++;
    }
    return write(1, out, out_used) == (ssize_t)out_used ? 0 : 1;
}
