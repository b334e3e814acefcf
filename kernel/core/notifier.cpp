#include "kernel/core/notifier.h"

#include "kernel/lib/types.h"

namespace kern {

int notifier_chain_register(notifier_block **list, notifier_block *n)
{
	// Linking a block in twice would make the chain a loop, and its call never end.
	for (notifier_block *nb = *list; nb; nb = nb->next)
		if (nb == n)
			return -EEXIST;
	while (*list && n->priority <= (*list)->priority)
		list = &(*list)->next;
	n->next = *list;
	*list = n;
	return 0;
}

int notifier_chain_unregister(notifier_block **list, notifier_block *n)
{
	for (; *list; list = &(*list)->next) {
		if (*list == n) {
			*list = n->next;
			return 0;
		}
	}
	return -ENOENT;
}

int notifier_call_chain(notifier_block **list, unsigned long val, void *v)
{
	int ret = NOTIFY_DONE;
	for (notifier_block *nb = *list; nb;) {
		notifier_block *next = nb->next;	// nb may take itself off the chain
		ret = nb->notifier_call(nb, val, v);
		if (ret & NOTIFY_STOP_MASK)
			break;
		nb = next;
	}
	return ret;
}

} // namespace kern
