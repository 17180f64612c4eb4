// SPDX-License-Identifier: GPL-2.0-or-later
// The intrusive ring that holds every list of the kit: a doubly linked ring
// with a sentinel head.
//
// A record takes part in a ring by deriving from ring_node, so its first two
// fields are the links (next, previous). A ring is named by its head, a bare
// ring_node that holds no record: an empty ring's head points to itself both
// ways. Appending inserts before the head, so a ring keeps its records in the
// order they were appended. A record is in at most one ring through its links.
//
//     struct item : ring_node { char* name; };
//     ring_node items;
//     ring_init(&items);
//     ring_append(&items, some_item);
//     for (item* it : ring_records<item>(&items)) {
//         ring_unlink(it);   // allowed: the walk has already moved on
//         free(it);
//     }
#pragma once

#include <type_traits>

namespace vlm {

struct ring_node {
    ring_node* next;
    ring_node* prev;
};

inline void ring_init(ring_node* head) {
    head->next = head;
    head->prev = head;
}

inline bool ring_empty(const ring_node* head) {
    return head->next == head;
}

// Inserts the record just before the head, i.e. at the end of the ring.
inline void ring_append(ring_node* head, ring_node* node) {
    node->next = head;
    node->prev = head->prev;
    head->prev->next = node;
    head->prev = node;
}

// Takes the record out of its ring and clears its links.
inline void ring_unlink(ring_node* node) {
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->next = nullptr;
    node->prev = nullptr;
}

// The first record of the ring, or null when it is empty.
template <typename T>
T* ring_first(std::conditional_t<std::is_const_v<T>, const ring_node*, ring_node*> head) {
    static_assert(std::is_base_of_v<ring_node, std::remove_const_t<T>>);
    return ring_empty(head) ? nullptr : static_cast<T*>(head->next);
}

// A walk over the records of a ring in ring order, for range-for. The walk
// fetches the following record before it hands out the current one, so the
// body may unlink and release the current record (but no other).
template <typename T>
class ring_walk {
    static_assert(std::is_base_of_v<ring_node, std::remove_const_t<T>>,
                  "ring records derive from ring_node");
    using node = std::conditional_t<std::is_const_v<T>, const ring_node, ring_node>;

public:
    class iterator {
    public:
        iterator(node* at, node* head) : at_(at), following_(at == head ? at : at->next) {}
        T* operator*() const { return static_cast<T*>(at_); }
        iterator& operator++() {
            at_ = following_;
            following_ = following_->next;
            return *this;
        }
        bool operator!=(const iterator& other) const { return at_ != other.at_; }

    private:
        node* at_;
        node* following_;
    };

    explicit ring_walk(node* head) : head_(head) {}
    iterator begin() const { return iterator(head_->next, head_); }
    iterator end() const { return iterator(head_, head_); }

private:
    node* head_;
};

template <typename T>
ring_walk<T> ring_records(std::conditional_t<std::is_const_v<T>, const ring_node*, ring_node*> head) {
    return ring_walk<T>(head);
}

}  // namespace vlm
