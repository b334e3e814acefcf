#include "kernel/core/faults.h"

#include <atomic>
#include <map>

#include "kernel/host/hostops.h"

namespace kern {

namespace {

struct rule {
	fault_spec spec;
	long hits = 0;
	long failed = 0;
};

struct sweep_state {
	bool armed = false;
	fault_sweep_options o;
	fault_sweep_result seen;
};

struct fault_table {
	host::host_lock *lock;
	std::map<std::string, rule> rules;
	sweep_state sweep;
	std::atomic<int> nr{0};	// rules, and 1 for an armed sweep; fast path: 0
};

fault_table &ft()
{
	static fault_table *t = [] {
		auto *f = new fault_table;
		f->lock = host::ops().lock_create();
		return f;
	}();
	return *t;
}

std::string base_name(const char *path)
{
	std::string s = path;
	size_t slash = s.rfind('/');
	return slash == std::string::npos ? s : s.substr(slash + 1);
}

// With the table locked.
void update_nr(fault_table &t) { t.nr = static_cast<int>(t.rules.size()) + (t.sweep.armed ? 1 : 0); }

// Points that change a folder's files: a crash harness sweeps them in its folder, while a
// sweep of everything leaves them out (a failed cleanup there only leaves a file behind).
bool is_folder_point(const std::string &key)
{
	return key == "fsync" || key == "create" || key == "unlink";
}

// With the table locked: counts a point reached by an armed sweep; whether it fails.
bool sweep_point(fault_table &t, const std::string &point, const std::string &key)
{
	sweep_state &w = t.sweep;
	if (!w.armed)
		return false;
	if (w.o.within.empty() ? is_folder_point(key) : point.find(w.o.within) == std::string::npos)
		return false;
	long n = w.seen.reached++;
	w.seen.by_point[key]++;
	bool fail = w.o.fail_at >= 0 && (n == w.o.fail_at || (w.o.and_after && n > w.o.fail_at));
	if (fail && w.seen.failed++ == 0)
		w.seen.first_failed = key;
	return fail;
}

// File points name their file: a sweep counts them by kind.
std::string sweep_key(const std::string &point)
{
	for (const char *kind : {"file_", "statfs:", "fsync:", "create:", "unlink:", "rename:"})
		if (point.rfind(kind, 0) == 0)
			return point.substr(0, point.find(':'));
	return point;
}

// With the table locked: applies the rule for point, if any.
bool rule_hit(fault_table &t, const std::string &point, fault_spec *spec)
{
	auto it = t.rules.find(point);
	if (it == t.rules.end())
		return false;
	rule &r = it->second;
	long n = r.hits++;
	if (n >= r.spec.skip && (r.spec.times < 0 || n - r.spec.skip < r.spec.times)) {
		r.failed++;
		if (spec)
			*spec = r.spec;
		return true;
	}
	return false;
}

} // namespace

void fault_inject(const std::string &point, fault_spec spec)
{
	auto &t = ft();
	host::ops().lock_acquire(t.lock);
	t.rules[point] = rule{spec, 0, 0};
	update_nr(t);
	host::ops().lock_release(t.lock);
}

void fault_clear(const std::string &point)
{
	auto &t = ft();
	host::ops().lock_acquire(t.lock);
	t.rules.erase(point);
	update_nr(t);
	host::ops().lock_release(t.lock);
}

void fault_clear_all()
{
	auto &t = ft();
	host::ops().lock_acquire(t.lock);
	t.rules.clear();
	t.sweep = sweep_state{};
	update_nr(t);
	host::ops().lock_release(t.lock);
}

bool should_fail(const std::string &point) { return should_fail_spec(point, nullptr); }

bool should_fail_spec(const std::string &point, fault_spec *spec)
{
	auto &t = ft();
	if (!t.nr.load(std::memory_order_relaxed))
		return false;
	host::ops().lock_acquire(t.lock);
	bool fail = sweep_point(t, point, sweep_key(point));
	if (fail && spec)
		*spec = fault_spec{.error = t.sweep.o.error};
	fail = fail || rule_hit(t, point, spec);
	host::ops().lock_release(t.lock);
	return fail;
}

bool should_fail_at(const char *point, const kern::source_location &loc)
{
	auto &t = ft();
	if (!t.nr.load(std::memory_order_relaxed))
		return false;
	std::string site = base_name(loc.file_name()) + ":" + std::to_string(loc.line());
	host::ops().lock_acquire(t.lock);
	std::string key = std::string(point) + "@" + site;
	bool fail = sweep_point(t, key, key);
	fail = fail || rule_hit(t, point, nullptr);
	fail = fail || rule_hit(t, "site:" + site, nullptr);
	host::ops().lock_release(t.lock);
	return fail;
}

long fault_count(const std::string &point)
{
	auto &t = ft();
	host::ops().lock_acquire(t.lock);
	auto it = t.rules.find(point);
	long n = it == t.rules.end() ? 0 : it->second.failed;
	host::ops().lock_release(t.lock);
	return n;
}

bool fault_points_armed() { return ft().nr.load(std::memory_order_relaxed) != 0; }

void fault_sweep_arm(long fail_at, bool and_after)
{
	fault_sweep_arm(fault_sweep_options{.fail_at = fail_at, .and_after = and_after});
}

void fault_sweep_arm(const fault_sweep_options &o)
{
	auto &t = ft();
	host::ops().lock_acquire(t.lock);
	t.sweep = sweep_state{true, o, {}};
	update_nr(t);
	host::ops().lock_release(t.lock);
}

fault_sweep_result fault_sweep_disarm()
{
	auto &t = ft();
	host::ops().lock_acquire(t.lock);
	fault_sweep_result r = std::move(t.sweep.seen);
	t.sweep = sweep_state{};
	update_nr(t);
	host::ops().lock_release(t.lock);
	return r;
}

} // namespace kern
