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

struct fault_table {
	host::host_lock *lock;
	std::map<std::string, rule> rules;
	std::atomic<int> nr{0};	// fast path: no rule at all
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

} // namespace

void fault_inject(const std::string &point, fault_spec spec)
{
	auto &t = ft();
	host::ops().lock_acquire(t.lock);
	t.rules[point] = rule{spec, 0, 0};
	t.nr = static_cast<int>(t.rules.size());
	host::ops().lock_release(t.lock);
}

void fault_clear(const std::string &point)
{
	auto &t = ft();
	host::ops().lock_acquire(t.lock);
	t.rules.erase(point);
	t.nr = static_cast<int>(t.rules.size());
	host::ops().lock_release(t.lock);
}

void fault_clear_all()
{
	auto &t = ft();
	host::ops().lock_acquire(t.lock);
	t.rules.clear();
	t.nr = 0;
	host::ops().lock_release(t.lock);
}

bool should_fail(const std::string &point) { return should_fail_spec(point, nullptr); }

bool should_fail_spec(const std::string &point, fault_spec *spec)
{
	auto &t = ft();
	if (!t.nr.load(std::memory_order_relaxed))
		return false;
	bool fail = false;
	host::ops().lock_acquire(t.lock);
	auto it = t.rules.find(point);
	if (it != t.rules.end()) {
		rule &r = it->second;
		long n = r.hits++;
		if (n >= r.spec.skip && (r.spec.times < 0 || n - r.spec.skip < r.spec.times)) {
			r.failed++;
			fail = true;
			if (spec)
				*spec = r.spec;
		}
	}
	host::ops().lock_release(t.lock);
	return fail;
}

bool should_fail_at(const char *point, const kern::source_location &loc)
{
	if (!ft().nr.load(std::memory_order_relaxed))
		return false;
	if (should_fail(point))
		return true;
	return should_fail("site:" + base_name(loc.file_name()) + ":" + std::to_string(loc.line()));
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

} // namespace kern
