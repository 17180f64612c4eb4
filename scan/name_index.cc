#include "name_index.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace vlm {

namespace {

constexpr size_t first_capacity = 64;

uint64_t hash_name(const char* name) {
    uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++) {
        h ^= *p;
        h *= 1099511628211ull;
    }
    return h;
}

// The slot that holds the name, or the empty slot where it belongs.
const char** find_slot(const char** slots, size_t capacity, const char* name) {
    size_t mask = capacity - 1;
    for (size_t i = hash_name(name) & mask;; i = (i + 1) & mask) {
        if (!slots[i] || std::strcmp(slots[i], name) == 0)
            return &slots[i];
    }
}

int grow(name_index* index) {
    size_t capacity = index->capacity ? index->capacity * 2 : first_capacity;
    auto slots = static_cast<const char**>(std::calloc(capacity, sizeof(const char*)));
    if (!slots)
        return -ENOMEM;
    for (size_t i = 0; i < index->capacity; i++) {
        if (index->slots[i])
            *find_slot(slots, capacity, index->slots[i]) = index->slots[i];
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
    const char** slot = find_slot(index->slots, index->capacity, name);
    if (!*slot) {
        *slot = name;
        index->count++;
    }
    return 0;
}

bool name_index_contains(const name_index* index, const char* name) {
    if (index->count == 0)
        return false;
    return *find_slot(index->slots, index->capacity, name) != nullptr;
}

void name_index_free(name_index* index) {
    std::free(index->slots);
    name_index_init(index);
}

}  // namespace vlm
