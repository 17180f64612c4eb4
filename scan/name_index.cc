#include "scan/name_index.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vlm {

namespace {

constexpr size_t first_capacity = 64;

// FNV-1a over the bytes, then a final mix: names such as sdx1, sdx2, ...
// differ in few bits, and the slot is taken from the low bits.
uint64_t hash_name(const char* name) {
    uint64_t h = 14695981039346656037ull;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++) {
        h ^= *p;
        h *= 1099511628211ull;
    }
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return h;
}

// The slot that holds the name, or the empty slot where it belongs.
name_slot* find_slot(name_slot* slots, size_t capacity, const char* name, uint64_t hash) {
    size_t mask = capacity - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        name_slot* slot = &slots[i];
        if (!slot->name || (slot->hash == hash && std::strcmp(slot->name, name) == 0))
            return slot;
    }
}

int grow(name_index* index) {
    size_t capacity = index->capacity ? index->capacity * 2 : first_capacity;
    auto slots = static_cast<name_slot*>(std::calloc(capacity, sizeof(name_slot)));
    if (!slots)
        return -ENOMEM;
    for (size_t i = 0; i < index->capacity; i++) {
        const name_slot& old = index->slots[i];
        if (old.name)
            *find_slot(slots, capacity, old.name, old.hash) = old;
    }
    std::free(index->slots);
    index->slots = slots;
    index->capacity = capacity;
    return 0;
}

}  // namespace

void name_index_init(name_index* index) {
    index->slots = nullptr;
    index->capacity = 0;
    index->count = 0;
}

int name_index_add(name_index* index, const char* name) {
    if ((index->count + 1) * 2 > index->capacity) {
        int rc = grow(index);
        if (rc < 0)
            return rc;
    }
    uint64_t hash = hash_name(name);
    name_slot* slot = find_slot(index->slots, index->capacity, name, hash);
    if (!slot->name) {
        *slot = {name, hash};
        index->count++;
    }
    return 0;
}

bool name_index_contains(const name_index* index, const char* name) {
    if (index->count == 0)
        return false;
    return find_slot(index->slots, index->capacity, name, hash_name(name))->name != nullptr;
}

void name_index_free(name_index* index) {
    std::free(index->slots);
    name_index_init(index);
}

}  // namespace vlm
