#include "kernel/lib/rbtree.h"

#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <vector>

using namespace kern;

namespace {

struct item {
	int key;
	rb_node node;
};

struct by_key {
	bool operator()(const item *a, const item *b) const { return a->key < b->key; }
};

// Links `it` the way callers do: descend right on equal keys so that duplicates go after
// the ones already there.
void insert(rb_root *root, item *it)
{
	rb_node **p = &root->rb_node, *parent = nullptr;
	while (*p) {
		parent = *p;
		if (it->key < rb_entry(parent, item, node)->key)
			p = &(*p)->rb_left;
		else
			p = &(*p)->rb_right;
	}
	rb_link_node(&it->node, parent, p);
	rb_insert_color(&it->node, root);
}

// Checks the red-black rules below n; returns its black height (nulls count 1).
int check_subtree(rb_node *n, const rb_node *parent, int *count)
{
	if (!n)
		return 1;
	EXPECT_EQ(n->rb_parent, parent) << "parent link of key " << rb_entry(n, item, node)->key;
	EXPECT_TRUE(n->rb_color == RB_RED || n->rb_color == RB_BLACK);
	if (n->rb_color == RB_RED) {
		EXPECT_TRUE(!n->rb_left || n->rb_left->rb_color == RB_BLACK) << "red-red";
		EXPECT_TRUE(!n->rb_right || n->rb_right->rb_color == RB_BLACK) << "red-red";
	}
	int l = check_subtree(n->rb_left, n, count);
	int r = check_subtree(n->rb_right, n, count);
	EXPECT_EQ(l, r) << "black heights differ under key " << rb_entry(n, item, node)->key;
	++*count;
	return l + (n->rb_color == RB_BLACK ? 1 : 0);
}

void check_tree(const rb_root *root, const std::multiset<item *, by_key> &model)
{
	if (root->rb_node) {
		ASSERT_EQ(root->rb_node->rb_color, RB_BLACK) << "root must be black";
	}
	int count = 0;
	check_subtree(root->rb_node, nullptr, &count);
	ASSERT_EQ(static_cast<size_t>(count), model.size());

	// Forward walk: the very same records in the same order as the model (which keeps
	// equal keys in insertion order).
	auto it = model.begin();
	for (rb_node *n = rb_first(root); n; n = rb_next(n), ++it) {
		ASSERT_NE(it, model.end());
		ASSERT_EQ(rb_entry(n, item, node), *it);
	}
	ASSERT_EQ(it, model.end());
	// Backward walk.
	auto rit = model.rbegin();
	for (rb_node *n = rb_last(root); n; n = rb_prev(n), ++rit) {
		ASSERT_NE(rit, model.rend());
		ASSERT_EQ(rb_entry(n, item, node), *rit);
	}
	ASSERT_EQ(rit, model.rend());
}

} // namespace

TEST(RbTree, EmptyTree)
{
	rb_root root = RB_ROOT;
	EXPECT_TRUE(RB_EMPTY_ROOT(&root));
	EXPECT_EQ(rb_first(&root), nullptr);
	EXPECT_EQ(rb_last(&root), nullptr);
}

TEST(RbTree, AscendingAndDescendingInsertsStayBalanced)
{
	// Sorted input is the worst case for an unbalanced tree: height must stay logarithmic.
	for (bool ascending : {true, false}) {
		rb_root root = RB_ROOT;
		std::vector<item> items(4096);
		std::multiset<item *, by_key> model;
		for (int i = 0; i < 4096; i++) {
			items[i].key = ascending ? i : 4096 - i;
			insert(&root, &items[i]);
			model.insert(&items[i]);
		}
		check_tree(&root, model);
		int depth = 0;
		for (rb_node *n = rb_first(&root); n; n = n->rb_parent)
			depth++;
		EXPECT_LE(depth, 2 * 13);	// 2 * log2(n + 1)
	}
}

TEST(RbTree, RandomInsertsAndErasesMatchAMultiset)
{
	for (unsigned seed : {1u, 7u, 2024u}) {
		SCOPED_TRACE(seed);
		std::mt19937 rng(seed);
		rb_root root = RB_ROOT;
		std::vector<std::unique_ptr<item>> store;
		std::multiset<item *, by_key> model;
		// Small key range: plenty of duplicates.
		std::uniform_int_distribution<int> key(0, 200);
		for (int op = 0; op < 4000; op++) {
			bool add = model.empty() || rng() % 100 < 60;
			if (add) {
				store.push_back(std::make_unique<item>());
				item *it = store.back().get();
				it->key = key(rng);
				insert(&root, it);
				model.insert(it);	// after equal keys, as the tree does
			} else {
				auto pos = model.begin();
				std::advance(pos, rng() % model.size());
				rb_erase(&(*pos)->node, &root);
				model.erase(pos);
			}
			check_tree(&root, model);
			if (HasFatalFailure() || HasNonfatalFailure())
				FAIL() << "after operation " << op;
		}
		// Drain it completely.
		while (!model.empty()) {
			auto pos = model.begin();
			std::advance(pos, rng() % model.size());
			rb_erase(&(*pos)->node, &root);
			model.erase(pos);
			check_tree(&root, model);
			if (HasFatalFailure())
				return;
		}
		EXPECT_TRUE(RB_EMPTY_ROOT(&root));
	}
}

TEST(RbTree, DuplicatesKeepInsertionOrder)
{
	rb_root root = RB_ROOT;
	std::vector<item> items(300);
	for (int i = 0; i < 300; i++) {
		items[i].key = i % 3;
		insert(&root, &items[i]);
	}
	// Within each key, records come in the order they were inserted.
	const item *prev = nullptr;
	for (rb_node *n = rb_first(&root); n; n = rb_next(n)) {
		const item *it = rb_entry(n, item, node);
		if (prev) {
			EXPECT_LE(prev->key, it->key);
			if (prev->key == it->key) {
				EXPECT_LT(prev, it);	// items[] addresses follow insertion order
			}
		}
		prev = it;
	}
}

TEST(RbTree, ReplaceNodeTakesItsPlace)
{
	rb_root root = RB_ROOT;
	std::vector<item> items(64);
	std::multiset<item *, by_key> model;
	for (int i = 0; i < 64; i++) {
		items[i].key = i * 2;
		insert(&root, &items[i]);
		model.insert(&items[i]);
	}
	// Replace the root and an inner leaf by records of the same key.
	std::vector<std::unique_ptr<item>> repls;
	for (item *victim : {rb_entry(root.rb_node, item, node), &items[63], &items[0]}) {
		repls.push_back(std::make_unique<item>(item{victim->key, {}}));
		rb_replace_node(&victim->node, &repls.back()->node, &root);
		model.erase(victim);	// keys are unique here
		model.insert(repls.back().get());
		check_tree(&root, model);
	}
}
