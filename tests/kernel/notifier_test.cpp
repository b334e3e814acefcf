// The reboot notifier chain: order, removal, stopping, and how halt calls it — once, in
// process context, before modules are unloaded and tasks killed — so that a driver can
// end threads that ignore every signal.
#include <atomic>
#include <string>
#include <vector>

#include "kernel/machine.h"
#include "kernel/core/module.h"
#include "kernel/machine/reboot.h"
#include "kernel/core/sched.h"
#include "kernel/locking/semaphore.h"
#include "kernel/locking/wait.h"
#include "kernel/syscalls.h"
#include "tests/kernel/core_util.h"
#include "tests/support/machine_fixture.h"

using namespace kern;

DECLARE_THIS_MODULE(haltmod);
DEFINE_MODULE(haltmod, "haltmod", nullptr, nullptr);

namespace {

// A notifier that records its calls.
struct probe : notifier_block {
	const char *name;
	int result = NOTIFY_OK;
	std::vector<std::string> *log;
	unsigned long action = 0;
	void *data = nullptr;
	int calls = 0;
	bool atomic_seen = false;
	bool unregister_self = false;
	std::function<void()> also;	// more to do in the call
};

int probe_call(notifier_block *nb, unsigned long action, void *data)
{
	auto *p = static_cast<probe *>(nb);
	p->calls++;
	p->action = action;
	p->data = data;
	p->atomic_seen = in_atomic() || irqs_disabled();
	p->log->push_back(p->name);
	if (p->also)
		p->also();
	if (p->unregister_self)
		unregister_reboot_notifier(nb);
	return p->result;
}

probe make_probe(const char *name, int priority, std::vector<std::string> *log)
{
	probe p;
	p.notifier_call = probe_call;
	p.next = nullptr;
	p.priority = priority;
	p.name = name;
	p.log = log;
	return p;
}

class RebootNotifiers : public zeptest::MachineTest {};

} // namespace

TEST_F(RebootNotifiers, RunInPriorityOrderAndStopWhenAskedTo)
{
	std::vector<std::string> log;
	probe a = make_probe("a", 0, &log), b = make_probe("b", 10, &log), c = make_probe("c", 0, &log),
	      d = make_probe("d", -5, &log);
	for (probe *p : {&a, &b, &c, &d})
		EXPECT_EQ(register_reboot_notifier(p), 0);
	EXPECT_EQ(register_reboot_notifier(&a), -EEXIST);
	EXPECT_EQ(unregister_reboot_notifier(&d), 0);
	EXPECT_EQ(unregister_reboot_notifier(&d), -ENOENT);

	int data = 0;
	EXPECT_EQ(reboot_notifier_call_chain(SYS_POWER_OFF, &data), NOTIFY_OK);
	EXPECT_EQ(log, (std::vector<std::string>{"b", "a", "c"}));
	EXPECT_EQ(a.action, SYS_POWER_OFF);
	EXPECT_EQ(a.data, &data);

	// One that says stop ends the round; the value is what it returned.
	log.clear();
	a.result = NOTIFY_STOP;
	EXPECT_EQ(reboot_notifier_call_chain(SYS_DOWN, nullptr), NOTIFY_STOP);
	EXPECT_EQ(log, (std::vector<std::string>{"b", "a"}));

	// A notifier may take itself off the chain, or add another, from its own call.
	log.clear();
	a.result = NOTIFY_DONE;
	b.unregister_self = true;
	a.also = [&] { register_reboot_notifier(&d); };
	reboot_notifier_call_chain(SYS_DOWN, nullptr);
	EXPECT_EQ(log, (std::vector<std::string>{"b", "a", "c", "d"}));
	log.clear();
	a.also = nullptr;
	reboot_notifier_call_chain(SYS_DOWN, nullptr);
	EXPECT_EQ(log, (std::vector<std::string>{"a", "c", "d"}));
	for (probe *p : {&a, &c, &d})
		EXPECT_EQ(unregister_reboot_notifier(p), 0);
	EXPECT_EQ(reboot_notifier_call_chain(SYS_DOWN, nullptr), NOTIFY_DONE);
}

TEST_F(RebootNotifiers, HaltCallsThemOnceInProcessContextBeforeUnloadingAndKilling)
{
	std::vector<std::string> log;
	probe first = make_probe("first", 1, &log), second = make_probe("second", 0, &log);
	ASSERT_EQ(insmod("haltmod"), 0);
	DECLARE_MUTEX_LOCKED(never);
	std::atomic<bool> woken{false};
	pid_t pid = spawn("waiter", [&] {
		int r = down_interruptible(&never);
		woken = true;
		return r;
	});
	task_struct *waiter = find_task_by_pid(pid);
	ASSERT_NE(waiter, nullptr);
	ASSERT_TRUE(coretest::eventually([&] { return coretest::sleeping(waiter, TASK_INTERRUPTIBLE); }));
	// Not held across the halt, whose count of tasks left would include it: the task
	// list keeps it while the notifiers look at it.
	put_task_struct(waiter);
	bool module_live = false, waiter_untouched = false;
	first.also = [&] {
		msleep(5);	// may sleep
		auto loaded = loaded_modules();
		module_live = loaded.size() == 1 && loaded[0] == "haltmod";
		waiter_untouched = !waiter->exited && !signal_pending(waiter);
	};
	register_reboot_notifier(&first);
	register_reboot_notifier(&second);

	halt_report rep = halt_now();
	EXPECT_EQ(rep.problems, (std::vector<std::string>{"module haltmod still loaded"}));
	EXPECT_EQ(log, (std::vector<std::string>{"first", "second"}));
	EXPECT_EQ(first.action, SYS_HALT);
	EXPECT_EQ(first.data, nullptr);
	EXPECT_FALSE(first.atomic_seen);
	EXPECT_TRUE(module_live) << "modules were unloaded before the notifiers ran";
	EXPECT_TRUE(waiter_untouched) << "tasks were killed before the notifiers ran";
	EXPECT_TRUE(woken) << "halt still kills what the notifiers left";

	// A new machine starts with an empty chain; each halt calls it once.
	boot_params bp;
	bp.clock_speed = 100;
	boot(bp);
	register_reboot_notifier(&second);
	rep = halt();
	EXPECT_TRUE(rep.clean());
	EXPECT_EQ(first.calls, 1);
	EXPECT_EQ(second.calls, 2);
}

TEST_F(RebootNotifiers, ANotifierLetsHaltEndAProcessThatIgnoresEverySignal)
{
	// An IO thread as the driver makes one: every signal ignored, asleep uninterruptibly
	// until told to drain. SIGKILL could not end it; the notifier does.
	DECLARE_WAIT_QUEUE_HEAD(wq);
	std::atomic<bool> ready{false}, stop{false}, returned{false};
	pid_t pid = spawn("cdpio", [&] {
		coretest::ignore_every_signal();
		ready = true;
		wait_event(wq, stop.load());
		returned = true;
		return 0;
	});
	ASSERT_TRUE(coretest::eventually([&] { return ready.load(); }));
	EXPECT_EQ(kern::kill(pid, SIGKILL), 0);
	coretest::settle();
	EXPECT_FALSE(returned);

	std::vector<std::string> log;
	probe drain = make_probe("drain", 0, &log);
	drain.also = [&] {
		stop = true;
		wake_up(&wq);
	};
	register_reboot_notifier(&drain);
	halt_report rep = halt_now();
	for (auto &pr : rep.problems)
		ADD_FAILURE() << pr;
	EXPECT_TRUE(returned);
}

TEST_F(RebootNotifiers, HaltStillKillsAProcessThatIgnoresEverySignalAtItsNextSystemCall)
{
	std::atomic<bool> ready{false}, unwound{false};
	spawn("cdpio", [&] {
		struct on_unwind {
			std::atomic<bool> *flag;
			~on_unwind() { *flag = true; }
		} mark{&unwound};
		coretest::ignore_every_signal();
		ready = true;
		for (;;) {
			msleep(1);
			sys_getpid();
		}
		return 0;
	});
	ASSERT_TRUE(coretest::eventually([&] { return ready.load(); }));
	halt_report rep = halt_now();
	for (auto &pr : rep.problems)
		ADD_FAILURE() << pr;
	EXPECT_TRUE(unwound);
}
