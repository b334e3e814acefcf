#include "kernel/machine/machine.h"

#include <atomic>

#include "kernel/block/blkdev.h"
#include "kernel/block/super.h"
#include "kernel/core/cpu.h"
#include "kernel/core/faults.h"
#include "kernel/core/module.h"
#include "kernel/core/printk.h"
#include "kernel/core/sched.h"
#include "kernel/fs/fs.h"
#include "kernel/host/hostops.h"
#include "kernel/host/sim.h"
#include "kernel/locking/lockdep.h"
#include "kernel/machine/disks.h"
#include "kernel/machine/reboot.h"
#include "kernel/mm/mm.h"
#include "kernel/mm/uaccess.h"

namespace kern {

namespace {
std::atomic<bool> is_booted{false};
boot_params params;
task_struct *init_task = nullptr;

// Runs fn in a new process named comm and returns its result.
int run_in_process(const char *comm, std::function<int()> fn)
{
	task_struct *t = create_task(comm, false, 0, std::move(fn));
	if (IS_ERR(t))
		return static_cast<int>(PTR_ERR(t));
	int r = task_wait(t);
	put_task_struct(t);
	return r;
}
} // namespace

void boot(const boot_params &p)
{
	if (is_booted.exchange(true))
		host::panic("boot: a machine is already running in this process");
	params = p;
	if (p.seed)
		host::sim_install(host::sim_config::from_seed(*p.seed));
	clock_start(p.clock_speed);
	dmesg_clear();
	printk_set_mirror(p.printk_mirror);
	fault_clear_all();
	lockdep_reset();
	mm_boot();
	tasks_boot();
	init_task = adopt_current("init");
	init_task->mm = mm_alloc();
	if (!init_task->mm)
		host::panic("boot: no address space for init");
	init_task->files = files_alloc();
	reboot_notifiers_boot();
	fs_boot();
	super_boot();
	machine_disks_boot();
	blk_boot();
	printk(KERN_INFO "Linux version 2.6.9 (zepdriver emulated kernel), NR_CPUS %d, HZ %lu\n",
	       p.nr_cpus, HZ);
}

bool booted() { return is_booted; }
int nr_cpus() { return params.nr_cpus; }
const boot_params &boot_parameters() { return params; }

halt_report halt()
{
	halt_report rep;
	if (!is_booted)
		return rep;
	if (current != init_task)
		adopt_current("halt");
	// Drivers stop their threads first, while their modules are live and every task
	// still runs; what is left then gets SIGKILL.
	reboot_notifier_call_chain(SYS_HALT, nullptr);
	module_halt(&rep.problems);
	// A seeded machine's time may jump while a task is still on its way out: there the
	// grace is an hour, which only a task that never ends runs out.
	tasks_halt(params.seed ? 3600000 : 3000, &rep.problems);
	if (init_task) {
		exit_files(init_task);
		exit_mm(init_task);
	}
	super_halt(&rep.problems);
	fs_halt(&rep.problems);
	machine_disks_halt(&rep.problems);
	blk_halt(&rep.problems);
	reap_dead_tasks();
	// The halting thread's own task goes too, before the count: the next call into the
	// kernel (the next boot's, say) gives it a fresh one.
	init_task = nullptr;
	drop_current_task();
	mm_halt();
	mm_report_leaks(&rep.problems);
	for (auto &pr : rep.problems)
		printk(KERN_ERR "halt: %s\n", pr.c_str());
	fault_clear_all();
	is_booted = false;
	host::sim_uninstall();
	return rep;
}

int insmod(const std::string &name)
{
	return run_in_process("insmod", [name] { return do_insmod(name); });
}

int rmmod(const std::string &name)
{
	return run_in_process("rmmod", [name] { return do_rmmod(name); });
}

pid_t spawn(const std::string &comm, std::function<int()> body)
{
	task_struct *t = create_task(comm.c_str(), false, 0, std::move(body));
	if (IS_ERR(t))
		return static_cast<pid_t>(PTR_ERR(t));
	pid_t pid = t->pid;
	put_task_struct(t);
	return pid;
}

int enter_process(pid_t pid, const std::string &comm)
{
	task_struct *leader = find_task_by_pid(pid);
	if (!leader)
		return -ESRCH;
	task_struct *t = adopt_current(comm.c_str());
	// Under the leader's task lock, as its exit clears them under it.
	task_lock(leader);
	t->mm = mmget(leader->mm);
	t->files = dup_files_for(leader, true);
	t->tgid = leader->tgid;	// getpid names the process, as in any thread of it
	task_unlock(leader);
	put_task_struct(leader);
	return t->mm && t->files ? 0 : -ESRCH;
}

void leave_process() { drop_current_task(); }

int waitpid(pid_t pid)
{
	task_struct *t = find_task_by_pid(pid);
	if (!t) {
		// It may have ended already: find it among the zombies.
		task_struct *z = nullptr;
		for_each_task([&](task_struct *x) {
			if (x->pid == pid && !x->kthread && !z) {
				z = x;
				get_task_struct(x);
			}
		});
		t = z;
	}
	if (!t || t->kthread || t->adopted) {
		if (t)
			put_task_struct(t);
		return -ECHILD;
	}
	int code = task_wait(t);
	put_task_struct(t);
	return code;
}

int kill(pid_t pid, int sig) { return kill_proc(pid, sig, 1); }

int mount(dev_t dev) { return do_mount(dev); }
int umount(dev_t dev) { return do_umount(dev); }

} // namespace kern
