/*
 * session_tree.cpp - the reference-counted registry of in-flight chunks and the ordered
 * trees of reader/writer nodes and cached pages.
 */
#include "backupdriver/cow.h"
#include "backupdriver/session.h"

namespace kern {

if_chunk *get_and_inc_if(cow_session *cs, u64 chunk)
{
	unsigned long flags;
	spin_lock_irqsave(&cs->if_lock, flags);
	if_chunk *ic = get_if_chunk(&cs->if_table, chunk);
	if (ic)
		atomic_inc(&ic->count);
	spin_unlock_irqrestore(&cs->if_lock, flags);
	return ic;
}

void add_and_inc_if(cow_session *cs, if_chunk *ic)
{
	unsigned long flags;
	spin_lock_irqsave(&cs->if_lock, flags);
	atomic_inc(&ic->count);
	add_if_chunk(&cs->if_table, ic);
	spin_unlock_irqrestore(&cs->if_lock, flags);
}

void put_and_dec_if(cow_session *cs, if_chunk *ic)
{
	unsigned long flags;
	bool free_it = false;
	/* Decrement and test under the lock, so that a lookup can never find a record
	 * that is about to be freed. */
	spin_lock_irqsave(&cs->if_lock, flags);
	if (atomic_dec_and_test(&ic->count)) {
		if (!ic->anon)
			list_del(&ic->list);
		free_it = true;
	}
	spin_unlock_irqrestore(&cs->if_lock, flags);
	if (free_it)
		free_if_chunk(ic);
}

void inc_if(cow_session *cs, if_chunk *ic)
{
	unsigned long flags;
	spin_lock_irqsave(&cs->if_lock, flags);
	atomic_inc(&ic->count);
	spin_unlock_irqrestore(&cs->if_lock, flags);
}

void dec_if(cow_session *cs, if_chunk *ic)
{
	unsigned long flags;
	spin_lock_irqsave(&cs->if_lock, flags);
	atomic_dec(&ic->count);
	spin_unlock_irqrestore(&cs->if_lock, flags);
}

rb_wl *rb_serach_wl(rb_root *root, u64 value)
{
	rb_node *n = root->rb_node;
	while (n) {
		rb_wl *wl = rb_entry(n, rb_wl, node);
		if (wl->n > value)
			n = n->rb_left;
		else if (wl->n < value)
			n = n->rb_right;
		else
			return wl;
	}
	return nullptr;
}

void rb_instert_wl(rb_root *root, rb_wl *node)
{
	rb_node **p = &root->rb_node, *parent = nullptr;
	while (*p) {
		parent = *p;
		/* Equal keys go right: a new one lands after those already there. */
		if (rb_entry(parent, rb_wl, node)->n <= node->n)
			p = &parent->rb_right;
		else
			p = &parent->rb_left;
	}
	rb_link_node(&node->node, parent, p);
	rb_insert_color(&node->node, root);
}

struct page *rb_search(rb_root *root, u64 value)
{
	rb_node *n = root->rb_node;
	while (n) {
		struct rb_cache *c = rb_entry(n, struct rb_cache, node);
		if (c->n > value)
			n = n->rb_left;
		else if (c->n < value)
			n = n->rb_right;
		else
			return c->p;
	}
	return nullptr;
}

void rb_insert(rb_root *root, struct rb_cache *node)
{
	rb_node **p = &root->rb_node, *parent = nullptr;
	while (*p) {
		parent = *p;
		if (rb_entry(parent, struct rb_cache, node)->n <= node->n)
			p = &parent->rb_right;
		else
			p = &parent->rb_left;
	}
	rb_link_node(&node->node, parent, p);
	rb_insert_color(&node->node, root);
}

static void empty_cache_tree(rb_root *root, bool pages)
{
	rb_node *n;
	while ((n = rb_first(root))) {
		struct rb_cache *c = rb_entry(n, struct rb_cache, node);
		rb_erase(n, root);
		if (pages && c->p) {
			__free_page(c->p);
			c->p = nullptr;
		}
		put_rb_cache(c);
	}
}

void rb_free_node(rb_root *root) { empty_cache_tree(root, false); }
void rb_free_node_and_page(rb_root *root) { empty_cache_tree(root, true); }

} // namespace kern
