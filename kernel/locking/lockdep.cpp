#include "kernel/locking/lockdep.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/host/hostops.h"

namespace kern {

namespace {

constexpr int MAX_CLASSES = 512;

struct site {
	const char *file;
	unsigned line;
};

// after[a][b]: b was taken while a was held. Read without the lock on the fast path;
// an edge is added, after the search for a cycle it would close, with the lock held.
struct lockdep_state {
	host::host_lock *lock;
	std::string names[MAX_CLASSES];
	int nr = 0;
	std::atomic<unsigned char> after[MAX_CLASSES][MAX_CLASSES];
	std::map<int, site> where;	// a * MAX_CLASSES + b: where the edge was first seen
};

lockdep_state &ld()
{
	static lockdep_state *s = [] {
		auto *st = new lockdep_state;
		st->lock = H().lock_create();
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

// With the lock held: a path of edges from `from` to `to`, as the classes along it
// (from first, to last); empty when there is none.
std::vector<int> find_path(lockdep_state &s, int from, int to)
{
	std::vector<int> prev(MAX_CLASSES, -1);
	std::vector<int> queue{from};
	prev[from] = from;
	for (size_t i = 0; i < queue.size(); i++) {
		int x = queue[i];
		if (x == to)
			break;
		for (int y = 1; y <= s.nr; y++) {
			if (prev[y] < 0 && s.after[x][y].load(std::memory_order_relaxed)) {
				prev[y] = x;
				queue.push_back(y);
			}
		}
	}
	std::vector<int> path;
	if (prev[to] < 0)
		return path;
	for (int x = to; x != from; x = prev[x])
		path.insert(path.begin(), x);
	path.insert(path.begin(), from);
	return path;
}

[[noreturn]] void report_cycle(lockdep_state &s, task_struct *t, int held, int taken,
			       const std::vector<int> &path, const kern::source_location &loc)
{
	std::string chain;
	for (size_t i = 0; i + 1 < path.size(); i++) {
		const site &w = s.where[path[i] * MAX_CLASSES + path[i + 1]];
		chain += (i ? ", " : "") + s.names[path[i]] + " -> " + s.names[path[i + 1]] + " at " +
			 w.file + ":" + std::to_string(w.line);
	}
	std::string holds;
	for (int i = 0; i < t->nr_held; i++)
		holds += (i ? ", " : "") + (t->held[i].cls ? s.names[t->held[i].cls]
							   : std::string(t->held[i].name ?: "?"));
	std::string a = s.names[held], b = s.names[taken];
	H().lock_release(s.lock);
	kernel_bug("possible circular locking dependency: %s taken while holding %s at %s:%u, "
		   "but %s came after %s before (%s); %s/%d holds %s",
		   b.c_str(), a.c_str(), loc.file_name(), static_cast<unsigned>(loc.line()),
		   a.c_str(), b.c_str(), chain.c_str(), t->comm, t->pid, holds.c_str());
}

} // namespace

int lock_class(const char *name, std::atomic<int> *cls)
{
	if (int c = cls->load())
		return c;
	auto &s = ld();
	std::string_view key = class_key(name);
	H().lock_acquire(s.lock);
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
	H().lock_release(s.lock);
	cls->store(found);
	return found;
}

int lockdep_acquire(task_struct *t, const void *instance, const char *name,
		    std::atomic<int> *cls, bool sleeping, const kern::source_location &loc)
{
	if (sleeping)
		for (int i = 0; i < t->nr_held; i++)
			if (t->held[i].instance == instance)
				kernel_bug("possible recursive locking: %s taken again by %s/%d at %s:%u, "
					   "which holds it", name ? name : "?", t->comm, t->pid,
					   loc.file_name(), static_cast<unsigned>(loc.line()));
	int b = lock_class(name, cls);
	if (!b)
		return 0;
	auto &s = ld();
	for (int i = 0; i < t->nr_held; i++) {
		int a = t->held[i].cls;
		if (!a || a == b || s.after[a][b].load(std::memory_order_relaxed))
			continue;
		H().lock_acquire(s.lock);
		if (!s.after[a][b].load(std::memory_order_relaxed)) {
			std::vector<int> back = find_path(s, b, a);
			if (!back.empty())
				report_cycle(s, t, a, b, back, loc);
			s.where[a * MAX_CLASSES + b] = {loc.file_name(), static_cast<unsigned>(loc.line())};
			s.after[a][b].store(1, std::memory_order_relaxed);
		}
		H().lock_release(s.lock);
	}
	return b;
}

void lock_held_push(task_struct *t, const void *instance, const char *name, int cls,
		    unsigned char kind)
{
	if (t->nr_held >= MAX_HELD_LOCKS)
		kernel_bug("%s/%d holds more than %d locks, taking %s", t->comm, t->pid,
			   MAX_HELD_LOCKS, name ? name : "?");
	t->held[t->nr_held++] = {instance, name, cls, kind};
}

bool lock_held_pop(task_struct *t, const void *instance)
{
	for (int i = t->nr_held - 1; i >= 0; i--) {
		if (t->held[i].instance == instance) {
			for (int j = i; j + 1 < t->nr_held; j++)
				t->held[j] = t->held[j + 1];
			t->nr_held--;
			return true;
		}
	}
	return false;
}

void lockdep_reset()
{
	auto &s = ld();
	H().lock_acquire(s.lock);
	for (int a = 0; a < MAX_CLASSES; a++)
		for (int b = 0; b < MAX_CLASSES; b++)
			s.after[a][b].store(0, std::memory_order_relaxed);
	s.where.clear();
	H().lock_release(s.lock);
}

} // namespace kern
