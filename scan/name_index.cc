// SPDX-License-Identifier: GPL-2.0-or-later
#include "scan/name_index.h"

#include <sys/mman.h>

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

name_key key_of(const char* name) {
    name_key key{};
    std::memcpy(key.bytes, name, strnlen(name, sizeof key.bytes));
    return key;
}

// Whether the slot holds the name with this hash and key. A name that fills
// its key has more bytes than the key holds, which only the texts can tell.
bool holds(const name_slot& slot, const char* name, uint64_t hash, const name_key& key) {
    if (slot.hash != hash || std::memcmp(slot.key.bytes, key.bytes, sizeof key.bytes) != 0)
        return false;
    return key.bytes[sizeof key.bytes - 1] == '\0' || std::strcmp(slot.name, name) == 0;
}

// The slot that holds the name, or the empty slot where it belongs.
name_slot* find_slot(name_slot* slots, size_t capacity, const char* name, uint64_t hash,
                     const name_key& key) {
    size_t mask = capacity - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        name_slot* slot = &slots[i];
        if (!slot->name || holds(*slot, name, hash, key))
            return slot;
    }
}

// Zeroed slots. A large table is looked up at random, a page here and a
// page there: on huge pages it costs a few page faults and TLB entries
// instead of one per 4 KiB. With a directory of 100k names (bench/scan)
// that takes a fifth off the scan's time, for the 7% more instructions of
// the memset.
name_slot* make_slots(size_t capacity) {
    constexpr size_t huge_page = size_t(2) << 20;
    size_t size = capacity * sizeof(name_slot);
    if (size < huge_page)
        return static_cast<name_slot*>(std::calloc(capacity, sizeof(name_slot)));
    void* p = nullptr;
    if (posix_memalign(&p, huge_page, size) != 0)
        return nullptr;
    madvise(p, size, MADV_HUGEPAGE);  // only advice: without it the table is as good
    std::memset(p, 0, size);
    return static_cast<name_slot*>(p);
}

int rehash(name_index* index, size_t capacity) {
    name_slot* slots = make_slots(capacity);
    if (!slots)
        return -ENOMEM;
    for (size_t i = 0; i < index->capacity; i++) {
        const name_slot& old = index->slots[i];
        if (old.name)
            *find_slot(slots, capacity, old.name, old.hash, old.key) = old;
    }
    std::free(index->slots);
    index->slots = slots;
    index->capacity = capacity;
    return 0;
}

// The smallest capacity that holds `count` names at most half full.
size_t capacity_for(size_t count) {
    size_t capacity = first_capacity;
    while (capacity / 2 < count)
        capacity *= 2;
    return capacity;
}

}  // namespace

void name_index_init(name_index* index) {
    index->slots = nullptr;
    index->capacity = 0;
    index->count = 0;
}

int name_index_reserve(name_index* index, size_t count) {
    size_t capacity = capacity_for(count);
    return capacity > index->capacity ? rehash(index, capacity) : 0;
}

int name_index_add(name_index* index, const char* name) {
    if ((index->count + 1) * 2 > index->capacity) {
        int rc = rehash(index, index->capacity ? index->capacity * 2 : first_capacity);
        if (rc < 0)
            return rc;
    }
    uint64_t hash = hash_name(name);
    name_key key = key_of(name);
    name_slot* slot = find_slot(index->slots, index->capacity, name, hash, key);
    if (!slot->name) {
        *slot = {name, hash, key};
        index->count++;
    }
    return 0;
}

bool name_index_contains(const name_index* index, const char* name) {
    if (index->count == 0)
        return false;
    return find_slot(index->slots, index->capacity, name, hash_name(name), key_of(name))->name !=
           nullptr;
}

void name_index_free(name_index* index) {
    std::free(index->slots);
    name_index_init(index);
}

}  // namespace vlm
