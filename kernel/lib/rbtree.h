// Red-black trees, with the Linux 2.6.9 layout and interface.
//
// The tree only balances: callers embed an rb_node in their record, search the tree
// themselves, link the new node where the search ended (rb_link_node) and then call
// rb_insert_color to restore the balance.
//
//	struct rb_node **p = &root->rb_node, *parent = nullptr;
//	while (*p) {
//		parent = *p;
//		if (key < rb_entry(parent, thing, node)->key)
//			p = &(*p)->rb_left;
//		else
//			p = &(*p)->rb_right;
//	}
//	rb_link_node(&new->node, parent, p);
//	rb_insert_color(&new->node, root);
#pragma once

#include <cstddef>

#include "kernel/lib/types.h"

namespace kern {

enum : int { RB_RED = 0, RB_BLACK = 1 };

struct rb_node {
	rb_node *rb_parent;
	int rb_color;
	rb_node *rb_right;
	rb_node *rb_left;
};

struct rb_root {
	::kern::rb_node *rb_node;	// qualified: the member shares the type's name
};

#define RB_ROOT ::kern::rb_root{nullptr}
#define rb_entry(ptr, type, member) container_of(ptr, type, member)

inline bool RB_EMPTY_ROOT(const rb_root *root) { return root->rb_node == nullptr; }

void rb_insert_color(rb_node *node, rb_root *root);
void rb_erase(rb_node *node, rb_root *root);

// In-order walk; null past either end.
rb_node *rb_first(const rb_root *root);
rb_node *rb_last(const rb_root *root);
rb_node *rb_next(const rb_node *node);
rb_node *rb_prev(const rb_node *node);

// Puts `victim`'s replacement in its place without rebalancing: the caller keeps the
// order (the new node must sort where the old one did).
void rb_replace_node(rb_node *victim, rb_node *new_node, rb_root *root);

// Makes `node` a red leaf under `parent` at `*rb_link` (a child slot of parent, or the
// root slot when parent is null).
inline void rb_link_node(rb_node *node, rb_node *parent, rb_node **rb_link)
{
	node->rb_parent = parent;
	node->rb_color = RB_RED;
	node->rb_left = node->rb_right = nullptr;
	*rb_link = node;
}

} // namespace kern
