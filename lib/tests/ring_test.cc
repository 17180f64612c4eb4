// SPDX-License-Identifier: GPL-2.0-or-later
// The intrusive ring: append order, walks that unlink as they go, and the
// links an unlinked record is left with.
#include <gtest/gtest.h>

#include <vector>

#include "lib/ring.h"

using namespace vlm;

namespace {

struct node_item : ring_node {
    int value;
};

TEST(Ring, KeepsAppendOrderAndAllowsUnlinkingWhileWalking) {
    ring_node head;
    ring_init(&head);
    EXPECT_TRUE(ring_empty(&head));
    EXPECT_EQ(ring_first<node_item>(&head), nullptr);
    node_item items[4];
    for (int i = 0; i < 4; i++) {
        items[i].value = i;
        ring_append(&head, &items[i]);
    }
    std::vector<int> seen;
    for (node_item* it : ring_records<node_item>(&head)) {
        seen.push_back(it->value);
        if (it->value % 2 == 0)
            ring_unlink(it);
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(items[0].next, nullptr);
    EXPECT_EQ(items[0].prev, nullptr);
    seen.clear();
    for (const node_item* it : ring_records<const node_item>(&head))
        seen.push_back(it->value);
    EXPECT_EQ(seen, (std::vector<int>{1, 3}));
    EXPECT_EQ(head.prev, &items[3]);
    EXPECT_EQ(items[3].next, &head);
    ring_unlink(&items[1]);
    ring_unlink(&items[3]);
    EXPECT_TRUE(ring_empty(&head));
    EXPECT_EQ(head.prev, &head);
}

}  // namespace
