#include "kernel/locking/lockdep.h"

#include <string>
#include <string_view>

#include "kernel/host/hostops.h"

namespace kern {

namespace {

constexpr int MAX_CLASSES = 512;

struct lockdep_state {
	host::host_lock *lock;
	std::string names[MAX_CLASSES];
	int nr = 0;
	std::atomic<unsigned char> after[MAX_CLASSES][MAX_CLASSES];	// after[a][b]: b taken inside a
};

lockdep_state &ld()
{
	static lockdep_state *s = [] {
		auto *st = new lockdep_state;
		st->lock = host::ops().lock_create();
		return st;
	}();
	return *s;
}

// "&cs->users_lock" and "q->queue_lock" name the classes "users_lock" and "queue_lock".
std::string_view class_key(const char *name)
{
	std::string_view s = name ? name : "?";
	size_t cut = 0;
	for (size_t i = 0; i < s.size(); i++) {
		if (s[i] == '.' || s[i] == '&' || s[i] == '(' || s[i] == ')' || s[i] == '*' ||
		    s[i] == ' ')
			cut = i + 1;
		else if (s[i] == '>' && i > 0 && s[i - 1] == '-')
			cut = i + 1;
	}
	return s.substr(cut);
}

} // namespace

int lock_class(const char *name, std::atomic<int> *cls)
{
	if (int c = cls->load())
		return c;
	auto &s = ld();
	std::string_view key = class_key(name);
	host::ops().lock_acquire(s.lock);
	int found = 0;
	for (int i = 1; i <= s.nr; i++)
		if (s.names[i] == key) {
			found = i;
			break;
		}
	if (!found && s.nr + 1 < MAX_CLASSES) {
		found = ++s.nr;
		s.names[found] = std::string(key);
	}
	host::ops().lock_release(s.lock);
	cls->store(found);
	return found;
}

void lockdep_check_order(task_struct *t, int b, const kern::source_location &loc)
{
	if (!b)
		return;
	auto &s = ld();
	for (int i = 0; i < min_t(t->nr_held, MAX_HELD_LOCKS); i++) {
		int a = t->held[i].cls;
		if (!a || a == b)
			continue;
		if (s.after[b][a].load(std::memory_order_relaxed))
			kernel_bug("possible circular locking dependency: %s taken while holding %s "
				   "at %s:%u, but %s was taken while holding %s before",
				   s.names[b].c_str(), s.names[a].c_str(), loc.file_name(),
				   static_cast<unsigned>(loc.line()), s.names[a].c_str(),
				   s.names[b].c_str());
		s.after[a][b].store(1, std::memory_order_relaxed);
	}
}

void lock_held_push(task_struct *t, const void *instance, const char *name, int cls)
{
	if (t->nr_held < MAX_HELD_LOCKS)
		t->held[t->nr_held] = {instance, name, cls};
	t->nr_held++;
}

void lock_held_pop(task_struct *t, const void *instance)
{
	for (int i = min_t(t->nr_held, MAX_HELD_LOCKS) - 1; i >= 0; i--) {
		if (t->held[i].instance == instance) {
			for (int j = i; j + 1 < t->nr_held && j + 1 < MAX_HELD_LOCKS; j++)
				t->held[j] = t->held[j + 1];
			break;
		}
	}
	t->nr_held--;
}

void lockdep_reset()
{
	auto &s = ld();
	host::ops().lock_acquire(s.lock);
	for (int a = 0; a < MAX_CLASSES; a++)
		for (int b = 0; b < MAX_CLASSES; b++)
			s.after[a][b].store(0, std::memory_order_relaxed);
	host::ops().lock_release(s.lock);
}

} // namespace kern
