// SPDX-License-Identifier: GPL-2.0-or-later
// A set of borrowed names for lookups by whole name: open addressing over
// pointers to texts that someone else owns and keeps alive while the set is
// in use. Memory comes from calloc, so running out of it is an ordinary
// -ENOMEM result.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vlm {

// The first bytes of a name, zero-padded: a name shorter than the key is
// held whole, so comparing keys compares the names without reading them.
struct name_key {
    char bytes[16];
};

struct name_slot {
    const char* name;  // null for an empty slot
    uint64_t hash;     // of the name; spares most comparisons of texts
    name_key key;
};

struct name_index {
    name_slot* slots;  // at most half of them hold a name
    size_t capacity;   // 0 or a power of two
    size_t count;
};

// An empty set that holds no memory yet.
void name_index_init(name_index* index);
// Makes room for `count` names in all, so that adding them grows the set no
// more. Returns 0 or -ENOMEM; on -ENOMEM the set is unchanged.
int name_index_reserve(name_index* index, size_t count);
// Adds the name (borrowed, not copied). Returns 0 or -ENOMEM; on -ENOMEM the
// set is unchanged.
int name_index_add(name_index* index, const char* name);
// True when the set holds a name equal to this one, byte for byte.
bool name_index_contains(const name_index* index, const char* name);
// Releases the slots; the names are not touched.
void name_index_free(name_index* index);

}  // namespace vlm
