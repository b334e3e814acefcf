// Sleeping and waking, and the context checks of the sleeping rules.
//
// A task sleeps on its own host condition: it sets its state, then schedule() waits
// until a waker sets it back to TASK_RUNNING, a signal ends an interruptible sleep, or
// the timeout passes on the virtual clock.
#include "kernel/core/sched.h"

#include <cstdarg>
#include <cstdio>

#include "kernel/core/printk.h"
#include "kernel/host/hostops.h"

namespace kern {

// ---------------------------------------------------------------- contexts

void kernel_bug(const char *fmt, ...)
{
	char buf[2048];
	va_list ap;
	va_start(ap, fmt);
	std::vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	printk(KERN_ERR "BUG: %s\n", buf);
	std::string msg = std::string("BUG: ") + buf;
	host::panic(msg.c_str());
}

void might_sleep(kern::source_location loc)
{
	task_struct *t = get_current();
	if (t->preempt_count > 0 || t->irqs_off > 0 || t->hardirq_count > 0) {
		const held_lock *spin = last_held_lock(t, true);
		char buf[512];
		std::snprintf(buf, sizeof(buf),
			      "BUG: sleeping function called from invalid context at %s:%u\n"
			      "in_atomic():%d, irqs_disabled():%d, in_interrupt():%d, task %s/%d%s%s",
			      loc.file_name(), static_cast<unsigned>(loc.line()),
			      t->preempt_count > 0, t->irqs_off > 0, t->hardirq_count > 0, t->comm,
			      t->pid, spin ? ", holding " : "", spin ? (spin->name ?: "?") : "");
		printk(KERN_ERR "%s\n", buf);
		host::panic(buf);
	}
}

bool in_interrupt() { return get_current()->hardirq_count > 0; }
bool in_atomic() { return get_current()->preempt_count > 0 || get_current()->hardirq_count > 0; }
bool irqs_disabled() { return get_current()->irqs_off > 0; }
void irq_enter() { get_current()->hardirq_count++; }
void irq_exit() { get_current()->hardirq_count--; }
void local_irq_disable() { get_current()->irqs_off = 1; }
void local_irq_enable() { get_current()->irqs_off = 0; }

unsigned long __local_irq_save()
{
	task_struct *t = get_current();
	unsigned long old = t->irqs_off;
	t->irqs_off = 1;
	return old;
}

void local_irq_restore(unsigned long flags) { get_current()->irqs_off = static_cast<int>(flags); }
void preempt_disable() { get_current()->preempt_count++; }
void preempt_enable() { get_current()->preempt_count--; }

const held_lock *last_held_lock(const task_struct *t, bool spin_only)
{
	for (int i = t->nr_held - 1; i >= 0; i--)
		if (!spin_only || t->held[i].kind == HELD_SPIN)
			return &t->held[i];
	return nullptr;
}

// ---------------------------------------------------------------- sleeping

namespace {

// A blocked host thread takes tens of microseconds to wake on a virtual machine, while a
// waker on another processor often comes within a few: a sleeper first watches its own
// state for a while. Bounded in time, and never more spinners than spare processors, so
// that a spinner does not hold the processor its waker needs.
constexpr u64 SPIN_NS = 20000;
std::atomic<int> spinners{0};

inline void cpu_relax()
{
#if defined(__x86_64__) || defined(__i386__)
	__builtin_ia32_pause();
#endif
}

// Whether t was woken within `ns` of spinning.
bool spin_until_running(task_struct *t, u64 ns)
{
	static const int spare = H().cpu_count() - 1;
	int n = spinners.load(std::memory_order_relaxed);
	if (n >= spare || !spinners.compare_exchange_strong(n, n + 1))
		return false;
	u64 until = H().monotonic_ns() + ns;
	bool woken = false;
	for (unsigned i = 1;; i++) {
		if (t->state.load(std::memory_order_acquire) == TASK_RUNNING) {
			woken = true;
			break;
		}
		cpu_relax();
		if (!(i % 64) && H().monotonic_ns() >= until)
			break;
	}
	spinners.fetch_sub(1);
	return woken;
}

} // namespace

void set_current_state(long state)
{
	get_current()->state.store(state);
	std::atomic_thread_fence(std::memory_order_seq_cst);
}

long schedule_timeout(long timeout, kern::source_location loc)
{
	might_sleep(loc);
	task_struct *t = current;
	bool forever = timeout == MAX_SCHEDULE_TIMEOUT;
	if (timeout < 0)
		timeout = 0;
	u64 expire = forever ? 0 : get_jiffies_64() + static_cast<u64>(timeout);
	u64 deadline = forever ? 0 : jiffies_to_host_ns(expire);

	// Short timed sleeps are polls that nobody wakes: they are not spun.
	bool slept = false;
	long st0 = t->state.load();
	if (st0 != TASK_RUNNING && !(st0 == TASK_INTERRUPTIBLE && signal_pending(t)) &&
	    (forever || deadline > H().monotonic_ns() + 4 * SPIN_NS))
		slept = spin_until_running(t, SPIN_NS);
	H().lock_acquire(t->sleep_lock);
	for (;;) {
		long st = t->state.load();
		if (st == TASK_RUNNING)
			break;
		if (st == TASK_INTERRUPTIBLE && signal_pending(t)) {
			t->state = TASK_RUNNING;
			break;
		}
		if (forever) {
			H().cond_wait(t->sleep_cond, t->sleep_lock);
		} else {
			if (get_jiffies_64() >= expire) {
				t->state = TASK_RUNNING;
				break;
			}
			H().cond_wait_until(t->sleep_cond, t->sleep_lock, deadline);
		}
		slept = true;
	}
	H().lock_release(t->sleep_lock);
	// Not put to sleep (still running, a signal pending, no time left): the scheduler
	// still runs others first, so loops that call schedule() this way do not spin hot.
	if (!slept)
		H().thread_yield();
	if (forever)
		return MAX_SCHEDULE_TIMEOUT;
	u64 now = get_jiffies_64();
	return now >= expire ? 0 : static_cast<long>(expire - now);
}

void schedule(kern::source_location loc) { schedule_timeout(MAX_SCHEDULE_TIMEOUT, loc); }

long schedule_timeout_interruptible(long timeout, kern::source_location loc)
{
	set_current_state(TASK_INTERRUPTIBLE);
	return schedule_timeout(timeout, loc);
}

long schedule_timeout_uninterruptible(long timeout, kern::source_location loc)
{
	set_current_state(TASK_UNINTERRUPTIBLE);
	return schedule_timeout(timeout, loc);
}

int wake_up_state(task_struct *t, long state)
{
	std::atomic_thread_fence(std::memory_order_seq_cst);
	int woke = 0;
	H().lock_acquire(t->sleep_lock);
	if (t->state.load() & state) {
		t->state = TASK_RUNNING;
		woke = 1;
		H().cond_broadcast(t->sleep_cond);
	}
	H().lock_release(t->sleep_lock);
	return woke;
}

int wake_up_process(task_struct *t)
{
	return wake_up_state(t, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE | TASK_STOPPED);
}

void msleep(unsigned int ms, kern::source_location loc)
{
	long timeout = static_cast<long>(msecs_to_jiffies(ms)) + 1;
	while (timeout)
		timeout = schedule_timeout_uninterruptible(timeout, loc);
}

unsigned long msleep_interruptible(unsigned int ms, kern::source_location loc)
{
	long timeout = static_cast<long>(msecs_to_jiffies(ms)) + 1;
	while (timeout && !signal_pending(get_current()))
		timeout = schedule_timeout_interruptible(timeout, loc);
	return jiffies_to_msecs(static_cast<unsigned long>(timeout));
}

void yield()
{
	might_sleep();
	H().thread_yield();
}

void cond_resched()
{
	might_sleep();
	H().thread_yield();
}

} // namespace kern
