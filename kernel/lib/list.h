// Intrusive doubly linked lists, as in the kernel.
#pragma once

#include "kernel/lib/types.h"

namespace kern {

struct list_head {
	list_head *next, *prev;
};

#define LIST_HEAD_INIT(name) {&(name), &(name)}
// The same, for the head inside a bigger struct's initializer: taken by reference, since clang
// reads "&(x).member" in x's own initializer as a use of x before it is initialized.
constexpr list_head list_head_init(list_head &head) { return {&head, &head}; }
#define LIST_HEAD(name) ::kern::list_head name = LIST_HEAD_INIT(name)

inline void INIT_LIST_HEAD(list_head *l) { l->next = l->prev = l; }

inline void __list_add(list_head *n, list_head *prev, list_head *next)
{
	next->prev = n;
	n->next = next;
	n->prev = prev;
	prev->next = n;
}
inline void list_add(list_head *n, list_head *head) { __list_add(n, head, head->next); }
inline void list_add_tail(list_head *n, list_head *head) { __list_add(n, head->prev, head); }
inline void __list_del(list_head *prev, list_head *next)
{
	next->prev = prev;
	prev->next = next;
}
// Leaves the entry pointing at itself so that a second del or list_empty on it is harmless.
inline void list_del(list_head *e)
{
	__list_del(e->prev, e->next);
	e->next = e->prev = e;
}
inline void list_del_init(list_head *e) { list_del(e); }
inline void list_move(list_head *e, list_head *head)
{
	__list_del(e->prev, e->next);
	list_add(e, head);
}
inline void list_move_tail(list_head *e, list_head *head)
{
	__list_del(e->prev, e->next);
	list_add_tail(e, head);
}
inline bool list_empty(const list_head *head) { return head->next == head; }
inline void __list_splice(list_head *list, list_head *head)
{
	list_head *first = list->next, *last = list->prev, *at = head->next;
	first->prev = head;
	head->next = first;
	last->next = at;
	at->prev = last;
}
inline void list_splice(list_head *list, list_head *head)
{
	if (!list_empty(list))
		__list_splice(list, head);
}
inline void list_splice_init(list_head *list, list_head *head)
{
	if (!list_empty(list)) {
		__list_splice(list, head);
		INIT_LIST_HEAD(list);
	}
}

#define list_entry(ptr, type, member) container_of(ptr, type, member)

#define list_for_each(pos, head) for (pos = (head)->next; pos != (head); pos = pos->next)
#define list_for_each_safe(pos, n, head)                                                           \
	for (pos = (head)->next, n = pos->next; pos != (head); pos = n, n = pos->next)
#define list_for_each_entry(pos, head, member)                                                     \
	for (pos = list_entry((head)->next, __typeof__(*pos), member); &pos->member != (head);         \
	     pos = list_entry(pos->member.next, __typeof__(*pos), member))
#define list_for_each_entry_safe(pos, n, head, member)                                             \
	for (pos = list_entry((head)->next, __typeof__(*pos), member),                                 \
	    n = list_entry(pos->member.next, __typeof__(*pos), member);                                \
	     &pos->member != (head); pos = n, n = list_entry(n->member.next, __typeof__(*n), member))

} // namespace kern
