// Atomic counters.
#pragma once

#include <atomic>

#include "kernel/lib/types.h"

namespace kern {

struct atomic_t {
	std::atomic<int> counter{0};
	atomic_t() = default;
	constexpr atomic_t(int v) : counter(v) {}
	atomic_t(const atomic_t &) = delete;
};
#define ATOMIC_INIT(i) ::kern::atomic_t(i)

inline int atomic_read(const atomic_t *v) { return v->counter.load(); }
inline void atomic_set(atomic_t *v, int i) { v->counter.store(i); }
inline void atomic_add(int i, atomic_t *v) { v->counter.fetch_add(i); }
inline void atomic_sub(int i, atomic_t *v) { v->counter.fetch_sub(i); }
inline void atomic_inc(atomic_t *v) { v->counter.fetch_add(1); }
inline void atomic_dec(atomic_t *v) { v->counter.fetch_sub(1); }
inline bool atomic_dec_and_test(atomic_t *v) { return v->counter.fetch_sub(1) == 1; }
inline bool atomic_inc_and_test(atomic_t *v) { return v->counter.fetch_add(1) == -1; }
inline bool atomic_sub_and_test(int i, atomic_t *v) { return v->counter.fetch_sub(i) == i; }
inline int atomic_add_return(int i, atomic_t *v) { return v->counter.fetch_add(i) + i; }
inline int atomic_sub_return(int i, atomic_t *v) { return v->counter.fetch_sub(i) - i; }
inline int atomic_inc_return(atomic_t *v) { return atomic_add_return(1, v); }
inline int atomic_dec_return(atomic_t *v) { return atomic_sub_return(1, v); }
inline int atomic_xchg(atomic_t *v, int n) { return v->counter.exchange(n); }
inline int atomic_cmpxchg(atomic_t *v, int old, int n)
{
	v->counter.compare_exchange_strong(old, n);
	return old;
}

// 64-bit counter
struct atomic64_t {
	std::atomic<long long> counter{0};
};
inline long long atomic64_read(const atomic64_t *v) { return v->counter.load(); }
inline void atomic64_set(atomic64_t *v, long long i) { v->counter.store(i); }
inline void atomic64_inc(atomic64_t *v) { v->counter.fetch_add(1); }
inline void atomic64_dec(atomic64_t *v) { v->counter.fetch_sub(1); }
inline long long atomic64_inc_return(atomic64_t *v) { return v->counter.fetch_add(1) + 1; }
inline long long atomic64_dec_return(atomic64_t *v) { return v->counter.fetch_sub(1) - 1; }

inline void smp_mb() { std::atomic_thread_fence(std::memory_order_seq_cst); }
inline void barrier() { std::atomic_signal_fence(std::memory_order_seq_cst); }

} // namespace kern
