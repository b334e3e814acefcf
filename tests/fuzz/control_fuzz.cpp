// libFuzzer over the control device /dev/zepdriver, as an untrusted agent drives it.
//
// One machine boots for the run: two mounted RAM-disk devices (a whole disk, and a
// partition of a second disk whose whole disk stays unmounted) and the driver. Every input
// is a short program of the agent (the machine's first process, with a control handle of
// its own per input): commands with records built from the input's bytes (real record
// types with chosen fields; the argument and the pointers inside it mapped, unaligned,
// read-only, off the end of a mapping, over the top of the 32-bit space, in the kernel's
// half), near misses of the twenty command numbers, live writes and snapshot-device reads.
// IO threads, writers and readers are processes of their own. After each input every
// session goes and every helper is reaped, so inputs stay independent (tests/fuzz/README.md).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <semaphore>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "backupdriver/zepdriver.h"
#include "kernel/core/faults.h"
#include "kernel/fs/fs.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"

namespace {

// A violated invariant: say which, then stop the way libFuzzer reports a finding.
[[noreturn]] void fail(const char *what, long a = 0, long b = 0)
{
	std::fprintf(stderr, "control_fuzz: %s (%ld, %ld)\n", what, a, b);
	__builtin_trap();
}
#define CHECK(cond, ...) ((cond) ? void(0) : fail("invariant failed: " #cond, ##__VA_ARGS__))

// The input read from the front, one choice a byte; zeros once it runs out, and choice 0
// is always the well-formed one.
struct Bytes {
	const uint8_t *p, *end;
	uint8_t u8() { return p < end ? *p++ : 0; }
	unsigned pick(unsigned n) { return u8() % n; }
	uint32_t u32()
	{
		uint32_t v = 0;
		for (int i = 0; i < 4; i++)
			v |= uint32_t(u8()) << (8 * i);
		return v;
	}
};

enum Rec { NONE, SSR, LIST16, STRING, CRR, VERSION, SLR, COUNT, SCF, QZ };
constexpr size_t rec_size[] = {4, sizeof(snap_shot_request), ZEP_LIST_ENTRIES * sizeof(session_list),
			       sizeof(get_string), sizeof(change_recrod_request), sizeof(version_info),
			       sizeof(session_list_request), 4, sizeof(set_cow_file), sizeof(qz_thread_info)};
struct Cmd {
	uint32_t nr;
	Rec rec;
	int fail;	// the result of a failed copy-in
	bool answers;	// writes back at the argument: a read-only one fails the command
};
constexpr Cmd cmds[20] = {
	{ZEP_IOC_START_OLD, NONE, -255, false}, {ZEP_IOC_STOP, SSR, -1, true},
	{ZEP_IOC_GET_LIST, LIST16, -1, true}, {ZEP_IOC_GET_DEV, SSR, -1, true},
	{ZEP_IOC_GET_DEV_PATH, STRING, -1, true}, {ZEP_IOC_GET_BACKING_FILE, STRING, -1, true},
	{ZEP_IOC_GET_SESSION_ERROR, STRING, -1, true}, {ZEP_IOC_GET_CHANGED_RECORDS, CRR, -1, true},
	{ZEP_IOC_UNBLOCK_CHANGE_RECORDS, NONE, 0, false}, {ZEP_IOC_LIST_LOCKS, NONE, 0, false},
	{ZEP_IOC_GET_VERSION, VERSION, -1, true}, {ZEP_IOC_GET_LIST2, SLR, -1, false},
	{ZEP_IOC_GET_LIST_COUNT, COUNT, -1, true}, {ZEP_IOC_UNLOAD, NONE, 0, false},
	{ZEP_IOC_ERROR_CTS, NONE, 0, false}, {ZEP_IOC_SET_COW_FILE, SCF, 1, false},
	{ZEP_IOC_START, SSR, -1, true}, {ZEP_IOC_RUN_IO_THREAD, QZ, 1, false},
	{ZEP_IOC_THREAD_WAIT_TIMEOUT, SSR, -1, false}, {ZEP_IOC_NO_THREAD_SHUTDOWN, SSR, -1, false},
};

// Whether r is a result the driver defines for the command (count: the request's size).
bool allowed(uint32_t nr, long r, long count)
{
	switch (nr) {
	case ZEP_IOC_START_OLD: return r == -255;
	case ZEP_IOC_UNBLOCK_CHANGE_RECORDS: case ZEP_IOC_LIST_LOCKS: case ZEP_IOC_ERROR_CTS: return r == 0;
	case ZEP_IOC_SET_COW_FILE: case ZEP_IOC_RUN_IO_THREAD: return r == 0 || r == 1;
	case ZEP_IOC_GET_CHANGED_RECORDS: return r == -1 || (r >= 0 && r <= count);
	default: return r == 0 || r == -1;
	}
}

struct Machine {
	std::filesystem::path dir;
	kern::dev_t whole = 0, second = 0, part = 0;
	const char *nodes[3] = {"fza", "fzb1", "fzb"};	// mounted, mounted, holds the partition
} M;

const bool trace = std::getenv("ZEP_FUZZ_TRACE");
constexpr unsigned long BIG = 256 * 1024;		// records and the arrays they point to
constexpr unsigned long RO = 64 * 1024;			// the same, read-only
constexpr unsigned long ARRAY_OFF = 16 * 1024;		// where pointed-to arrays start
constexpr unsigned long TOP = 0x100000000ul;	// the end of the 32-bit space

// The agent of one input: its control handle, its memory, the sessions it knows.
struct Agent {
	Bytes in;
	int ctl = -1, files[2] = {-1, -1};
	unsigned long big = 0, ro = 0, scratch = 0;
	std::map<int, std::string> texts;	// session id -> backing-file text
	int last = 1;
	bool unloaded = false;
	std::string fault;	// an allocation that fails during the next command
	long fault_skip = 0;
	std::vector<kern::pid_t> helpers;
	std::vector<kern::dev_t> mounts;	// snapshot devices mounted by the input

	std::string backing(int i) const { return (M.dir / ("b" + std::to_string(i))).string(); }

	// Where a range of n bytes goes: mapped, read-only, or not wholly accessible.
	enum Where { MAPPED, READONLY, BAD };
	unsigned long place(size_t n, Where *where, unsigned long at = 0)
	{
		unsigned k = 1 + u8_or(n);
		*where = BAD;
		switch (in.pick(7)) {
		case 1: return big + BIG - k;			// runs off the end of the mapping
		case 2: return TOP - k;				// over the top of the 32-bit space
		case 3: return 0xC0000000ul + in.u8();		// the kernel's half
		case 4: return in.u8();				// the null page
		case 5: *where = MAPPED; return big + at + 1 + in.pick(63);	// unaligned
		case 6: *where = READONLY; return ro + at / 4;
		default: *where = MAPPED; return big + at;
		}
	}
	unsigned u8_or(size_t n) { return n > 1 ? in.u8() % (n - 1) : 0; }

	int id()
	{
		switch (in.pick(6)) {
		case 1: return texts.empty() ? 1 : texts.begin()->first;
		case 2: return 0;
		case 3: return -1;
		case 4: return last + 1;
		case 5: return static_cast<int>(in.u32());
		default: return last;
		}
	}
	int fd()
	{
		switch (in.pick(5)) {
		case 1: return -1;
		case 2: return 999;
		case 3: return ctl;
		case 4: return files[1];
		default: return files[0];
		}
	}
	void text(char *dst, size_t n, const std::string &normal)
	{
		switch (in.pick(4)) {
		case 1: break;					// empty
		case 2: std::memset(dst, 'x', n); break;	// no NUL inside the array
		case 3: if (!texts.empty()) std::snprintf(dst, n, "%s", texts.rbegin()->second.c_str()); break;
		default: std::snprintf(dst, n, "%s", normal.c_str());
		}
	}
	void device(int32_t *major, int32_t *minor)
	{
		kern::dev_t devs[] = {M.whole, M.part, M.second};
		unsigned d = in.pick(6);
		if (d < 3) {
			*major = static_cast<int32_t>(kern::MAJOR(devs[d]));
			*minor = static_cast<int32_t>(kern::MINOR(devs[d]));
		} else if (d == 3) {
			*major = ZEP_CLONE_MAJOR, *minor = last;
		} else if (d == 4) {
			*major = 8, *minor = 5;
		} else {
			*major = static_cast<int32_t>(in.u32()), *minor = static_cast<int32_t>(in.u32());
		}
	}

	long ioctl(uint32_t nr, unsigned long arg) { return kern::sys_ioctl(static_cast<unsigned>(ctl), nr, arg); }
	// The ids of the sessions, as the second list command gives them.
	std::vector<int> sessions()
	{
		session_list_request slr{16, static_cast<uint32_t>(scratch + 64)};
		kern::user_write(scratch, &slr, sizeof(slr));
		CHECK(ioctl(ZEP_IOC_GET_LIST2, scratch) == 0);
		session_list ls[16];
		kern::user_read(scratch + 64, ls, sizeof(ls));
		std::vector<int> ids;
		for (auto &l : ls)
			if (l.block_size)
				ids.push_back(l.id);
		return ids;
	}
	bool listed(int id)
	{
		for (int s : sessions())
			if (s == id)
				return true;
		return false;
	}

	void step();
	void command(const Cmd &c, uint32_t nr, bool near_miss);
	void io_thread(const qz_thread_info &ti, unsigned placement, unsigned ptr);
	void write_or_read(bool write);
	void finish();
};

// Fills the record of c at `rec` from the input; n is its size.
void build(Agent &a, Rec kind, char *rec, unsigned long arg_base)
{
	switch (kind) {
	case SSR: {
		auto *s = reinterpret_cast<snap_shot_request *>(rec);
		s->id = a.id();
		a.device(&s->major, &s->minor);
		const int32_t modes[] = {ZEP_MODE_CHANGE_TRACKING | USER_SPACE_FILE, USER_SPACE_FILE, 1, 0, 7};
		unsigned m = a.in.pick(6);
		s->mode = m == 5 ? static_cast<int32_t>(a.in.u32()) : modes[m];
		a.text(s->device_name, sizeof(s->device_name), "fz");
		a.text(s->device_path, sizeof(s->device_path), "/dev/fz");
		a.text(s->backing_file, sizeof(s->backing_file), a.backing(a.in.pick(4)));
		a.text(s->backing_dev, sizeof(s->backing_dev), "/dev/host");
		s->bfree = a.in.pick(3) == 2 ? ~0ull : 0;
		break;
	}
	case STRING: reinterpret_cast<get_string *>(rec)->id = a.id(); std::memset(rec + 4, 'q', 4096); break;
	case SCF: {
		auto *s = reinterpret_cast<set_cow_file *>(rec);
		s->id = a.id();
		s->fd = a.fd();
		a.text(s->backing_file, sizeof(s->backing_file), a.backing(2 + a.in.pick(2)) + ".given");
		break;
	}
	case CRR: case SLR: {
		int32_t sizes[] = {1, 0, 4, 16, 1 << 20, (1 << 20) + 1, -1, 0x7fffffff, 4096, 4097};
		int32_t size = sizes[a.in.pick(10)];
		Agent::Where where;
		uint32_t ptr = static_cast<uint32_t>(a.place(static_cast<size_t>(size > 0 ? size : 1) * 20, &where, ARRAY_OFF));
		if (kind == CRR)
			*reinterpret_cast<change_recrod_request *>(rec) = {size, 7, 7, ptr};
		else
			*reinterpret_cast<session_list_request *>(rec) = {size, ptr};
		break;
	}
	default: break;
	}
}

void Agent::command(const Cmd &c, uint32_t nr, bool near_miss)
{
	size_t n = rec_size[c.rec];
	std::vector<char> rec(n > 4 ? n : 4, 0), back(rec.size());
	if (c.rec == QZ) {
		qz_thread_info ti{};
		ti.id = in.u8();
		ti.session_id = id();
		ti.file_fd = in.pick(3);	// 0 its own file, 1 none, 2 the control handle
		int32_t sizes[] = {65536, 0, 4096, -1, 0x7fffffff, 512};
		ti.buffer_size = sizes[in.pick(6)];
		unsigned placement = in.pick(6), ptr = in.pick(7);
		if (!near_miss)
			return io_thread(ti, placement, ptr);
	}
	CHECK(kern::sys_mprotect(ro, RO, PROT_READ | PROT_WRITE) == 0);
	build(*this, c.rec, rec.data(), big);
	Where where;
	unsigned long arg = place(n, &where);
	if (where != BAD)
		kern::user_write(arg, rec.data(), n);
	CHECK(kern::sys_mprotect(ro, RO, PROT_READ) == 0);
	if (c.rec == CRR)	// the command waits for `size` records: never for long here
		CHECK(ioctl(ZEP_IOC_UNBLOCK_CHANGE_RECORDS, 0) == 0);
	bool unreadable = where == BAD && c.rec != NONE, no_answer = where == READONLY && c.answers;
	std::vector<int> before = near_miss || unreadable || no_answer ? sessions() : std::vector<int>{};
	if (!fault.empty())
		kern::fault_inject(fault, {fault_skip, 1});
	long r = ioctl(nr, arg);
	if (!fault.empty())
		kern::fault_clear(std::exchange(fault, ""));
	if (trace) {
		const char *how[] = {"mapped", "read-only", "not mapped"};
		std::fprintf(stderr, "control_fuzz: %s 0x%08x at 0x%lx (%s): %ld\n", near_miss ? "near miss" : "command",
			     nr, arg, how[where], r);
	}
	if (nr == ZEP_IOC_UNLOAD && !near_miss) {	// whatever the argument: it is not read
		unloaded = true;
		if (r == 0)
			CHECK(sessions().empty());
	}
	if (near_miss) {
		CHECK(r == -1, r, nr);
	} else {
		int32_t count = c.rec == CRR ? reinterpret_cast<change_recrod_request *>(rec.data())->size : 0;
		CHECK(allowed(nr, r, count), r, nr);
		if (unreadable)
			CHECK(r == c.fail, r, nr);	// nothing to read or nowhere to answer
		if (no_answer)
			CHECK(r == -1, r, nr);
		if (no_answer && nr == ZEP_IOC_START)
			CHECK(sessions() == before);	// the agent never learnt of it: it went again
	}
	if (near_miss || unreadable) {
		CHECK(sessions() == before, nr);
		if (where != BAD) {
			kern::user_read(arg, back.data(), n);
			CHECK(back == rec, nr);
		}
		return;
	}
	if (where != MAPPED || r != 0)
		return;
	kern::user_read(arg, back.data(), n);
	if (nr == ZEP_IOC_START) {
		auto *s = reinterpret_cast<snap_shot_request *>(back.data());
		CHECK(s->id > 0 && (s->mode & ZEP_MODE_STARTED) && listed(s->id), s->id);
		last = s->id;
		texts[last] = std::string(reinterpret_cast<snap_shot_request *>(rec.data())->backing_file, 0,
					  strnlen(reinterpret_cast<snap_shot_request *>(rec.data())->backing_file, 4096)) +
			      ".cow_zep" + std::to_string(last);
	} else if (nr == ZEP_IOC_STOP) {
		int id = reinterpret_cast<snap_shot_request *>(back.data())->id;
		CHECK(!listed(id), id);
		texts.erase(id);
	} else if (nr == ZEP_IOC_GET_VERSION) {
		version_info v;
		std::memcpy(&v, back.data(), sizeof(v));
		CHECK(v.major == 4 && v.minor == 4 && v.maint == 0 && v.build == 18929);
	} else if (nr == ZEP_IOC_GET_LIST_COUNT) {
		int32_t count;
		std::memcpy(&count, back.data(), 4);
		CHECK(static_cast<size_t>(count) == sessions().size(), count);
	} else if (nr == ZEP_IOC_GET_SESSION_ERROR) {
		auto *g = reinterpret_cast<get_string *>(back.data());
		if (!listed(g->id))
			CHECK(!std::strcmp(g->string, "NO ERROR"), g->id);
	}
}

// An IO thread is a process of its own that stays in the command until its session ends;
// it is reaped, and its result checked, when the input is over.
void Agent::io_thread(const qz_thread_info &info, unsigned placement, unsigned ptr)
{
	std::string file = backing(4 + static_cast<int>(helpers.size() % 4));
	helpers.push_back(kern::spawn("cdpio", [info, placement, ptr, file] {
		qz_thread_info ti = info;
		int fd = kern::sys_open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
		int ctl = kern::sys_open("/dev/" ZEP_CONTROL_NAME, O_RDWR, 0);
		long mem = kern::sys_mmap(65536), rom = kern::sys_mmap(65536);
		if (fd < 0 || ctl < 0 || mem < 0 || rom < 0 || kern::sys_mprotect(rom, 65536, PROT_READ))
			return 0;	// could not become an agent's thread (a failing allocation meanwhile)
		unsigned long buf = static_cast<unsigned long>(mem);
		ti.file_fd = ti.file_fd == 0 ? fd : ti.file_fd == 1 ? -1 : ctl;
		unsigned long size = static_cast<unsigned long>(ti.buffer_size > 0 ? ti.buffer_size : 1);
		unsigned long ptrs[] = {buf,	      buf + 65536 - size / 2, TOP - size / 2, 0xC0000000ul, 0x1000,
					buf + 4096, static_cast<unsigned long>(rom)};
		ti.user_addr = static_cast<uint32_t>(ptrs[ptr]);
		unsigned long args[] = {buf, buf + 65536 - 8, TOP - 8, 0xC0000000ul, 0, buf};
		unsigned long arg = args[placement];
		kern::user_write(arg, &ti, sizeof(ti));
		long r = kern::sys_ioctl(static_cast<unsigned>(ctl), ZEP_IOC_RUN_IO_THREAD, arg);
		kern::sys_close(static_cast<unsigned>(ctl));
		kern::sys_close(static_cast<unsigned>(fd));
		bool readable = placement == 0 || placement == 5;
		return r == (readable ? 0 : 1) ? 0 : 91;
	}));
}

// A live write to a mounted device, or a read of a snapshot device, from a process of its
// own (either may wait for the session's IO threads).
void Agent::write_or_read(bool write)
{
	std::string node = write ? M.nodes[in.pick(3)] : "zep" + std::to_string(in.pick(2) ? id() : last);
	kern::sector_t at[] = {0, 127, 128, 2047, 2048, 4095, 4096, 1 << 20};
	kern::loff_t off = static_cast<kern::loff_t>(at[in.pick(8)]) * 512;
	size_t lens[] = {4096, 512, 65536 + 512, 131072, 3};
	size_t len = lens[in.pick(5)];
	const char *comm = write ? (in.pick(2) ? "cdpwrite" : "dd") : (in.pick(2) ? "reader" : "cdpread");
	uint8_t fill = in.u8();
	helpers.push_back(kern::spawn(comm, [=] {
		int fd = kern::sys_open(("/dev/" + node).c_str(), write ? O_RDWR : O_RDONLY, 0);
		long buf = kern::sys_mmap(len);
		if (fd >= 0 && buf >= 0) {
			std::vector<uint8_t> data(len, fill);
			kern::user_write(static_cast<unsigned long>(buf), data.data(), len);
			if (write)
				kern::sys_pwrite64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf), len, off);
			else
				kern::sys_pread64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf), len, off);
		}
		if (fd >= 0)
			kern::sys_close(static_cast<unsigned>(fd));
		return 0;
	}));
}

void Agent::step()
{
	unsigned op = in.pick(26);
	if (op == 25) {	// a snapshot device mounted by an ordinary process: stops must wait
		kern::dev_t dev = kern::MKDEV(ZEP_CLONE_MAJOR, static_cast<unsigned>(in.pick(2) ? id() : last) & 0xfffff);
		if (kern::waitpid(kern::spawn("mount", [dev] { return kern::mount(dev); })) == 0)
			mounts.push_back(dev);
		return;
	}
	if (op == 24) {	// the next command meets a failing allocation
		const char *points[] = {"kmalloc", "vmalloc", "alloc_pages", "bio_alloc"};
		fault = points[in.pick(4)];
		fault_skip = in.pick(8);
		return;
	}
	if (op < 20)
		return command(cmds[op], cmds[op].nr, false);
	if (op < 22) {
		// A near miss: one field of a defined number off by a little.
		const Cmd &c = cmds[in.pick(20)];
		uint32_t nr = c.nr;
		switch (in.pick(6)) {
		case 0: nr ^= 3u << 30; break;			// another direction
		case 1: nr += 1u << 16; break;			// size one larger
		case 2: nr -= 1u << 16; break;			// size one smaller
		case 3: nr ^= 0x2Bu << 8 ^ 0x2Au << 8; break;	// another type letter
		case 4: nr = (nr & ~0xFFu) | ((nr + 1) & 0xFFu); break; // the next ordinal
		default: nr = (nr & ~0xFFu) | ((nr - 1) & 0xFFu); break;
		}
		for (auto &d : cmds)
			if (d.nr == nr)
				return;	// landed on a defined command
		return command(c, nr, true);
	}
	write_or_read(op == 22);
}

// Every session goes (no-thread shutdown settles work no thread will do), then every
// helper is reaped: an input leaves nothing behind.
void Agent::finish()
{
	for (kern::dev_t dev : mounts)	// released as it was taken, by an ordinary process
		CHECK(kern::waitpid(kern::spawn("umount", [dev] { return kern::umount(dev); })) == 0);
	for (int round = 0; round < 200; round++) {
		std::vector<int> ids = sessions();
		if (ids.empty())
			break;
		for (int id : ids) {
			snap_shot_request s{};
			s.id = id;
			kern::user_write(big, &s, sizeof(s));
			CHECK(allowed(ZEP_IOC_NO_THREAD_SHUTDOWN, ioctl(ZEP_IOC_NO_THREAD_SHUTDOWN, big), 0));
			kern::user_write(big, &s, sizeof(s));
			CHECK(allowed(ZEP_IOC_STOP, ioctl(ZEP_IOC_STOP, big), 0));
		}
		CHECK(round < 199, ids.front());
	}
}

// The agent is the machine's first process, whose files and memory last the run; its
// control handle is opened afresh for every input, so that the last close of each input
// resets change tracking as an agent's exit does.
Agent base;

void run(const uint8_t *data, size_t size)
{
	Agent a = base;
	a.in = {data, data + size};
	a.ctl = kern::sys_open("/dev/" ZEP_CONTROL_NAME, O_RDWR, 0);
	CHECK(a.ctl >= 0, a.ctl);
	for (int i = 0; i < 8 && a.in.p < a.in.end; i++)
		a.step();
	a.finish();
	kern::sys_close(static_cast<unsigned>(a.ctl));
	for (kern::pid_t pid : a.helpers) {
		int code = kern::waitpid(pid);
		CHECK(code == 0, pid, code);	// an IO thread's command answered out of turn
	}
	if (a.unloaded) {	// the driver refuses new sessions until it is loaded again
		CHECK(kern::rmmod("zepdriver") == 0);
		CHECK(kern::insmod("zepdriver") == 0);
	}
}

void boot_machine()
{
	kern::boot_params p;
	const char *speed = std::getenv("ZEP_FUZZ_CLOCK");
	p.clock_speed = speed ? std::atof(speed) : 10000.0;	// the 30 s thread wait in 3 ms
	kern::boot(p);
	// The backing files: a folder per process, as the fuzzer's fork mode runs several.
	const char *dir = std::getenv("ZEP_FUZZ_DIR");
	M.dir = (dir ? std::filesystem::path(dir) : std::filesystem::temp_directory_path()) /
		("zep-fuzz-" + std::to_string(getpid()));
	std::filesystem::create_directories(M.dir);
	CHECK(kern::dev_node_add(ZEP_CONTROL_NAME, S_IFCHR, kern::MKDEV(ZEP_CONTROL_MAJOR, 0)) == 0);
	CHECK(kern::insmod("zepdriver") == 0);
	M.whole = kern::add_ramdisk("fza", 8, 4096);
	M.second = kern::add_ramdisk("fzb", 9, 4096 + 64);
	M.part = kern::add_partition(M.second, 1, 64, 4096);
	CHECK(kern::mount(M.whole) == 0 && kern::mount(M.part) == 0);
	kern::sys_prctl_set_name("cdpagent");
	for (int i = 0; i < 2; i++)
		base.files[i] = kern::sys_open(base.backing(2 + i).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
	long big = kern::sys_mmap(BIG), ro = kern::sys_mmap(RO), scratch = kern::sys_mmap(4096);
	CHECK(base.files[0] >= 0 && base.files[1] >= 0 && big > 0 && ro > 0 && scratch > 0);
	base.big = static_cast<unsigned long>(big);
	base.ro = static_cast<unsigned long>(ro);
	base.scratch = static_cast<unsigned long>(scratch);
}

void teardown()
{
	for (int fd : base.files)
		kern::sys_close(static_cast<unsigned>(fd));
	CHECK(kern::rmmod("zepdriver") == 0);
	CHECK(kern::umount(M.whole) == 0 && kern::umount(M.part) == 0);
	kern::halt_report r = kern::halt();
	for (auto &p : r.problems)
		std::fprintf(stderr, "control_fuzz: halt: %s\n", p.c_str());
	CHECK(r.clean());
	std::filesystem::remove_all(M.dir);
}

// The machine lives on a host thread of its own, which boots it, runs the inputs handed
// to it and halts it at exit: the thread that calls exit() loses its kernel task to the
// thread-local destructors before any exit handler could halt the machine from there.
struct {
	std::binary_semaphore go{0}, done{0};
	const uint8_t *data = nullptr;
	size_t size = 0;
	bool quit = false;
	std::thread t;
} mt;

void machine_thread()
{
	boot_machine();
	mt.done.release();
	for (mt.go.acquire(); !mt.quit; mt.go.acquire()) {
		run(mt.data, mt.size);
		mt.done.release();
	}
	teardown();
}

void stop_machine()
{
	mt.quit = true;
	mt.go.release();
	mt.t.join();
}

// The seeds: well-formed programs, every choice 0 (the well-formed one) unless noted.
// Bytes per step: a command is its index in cmds, its record's choices (start/stop/
// thread commands 9, text queries 1, set-backing-file 4, change records and list2 3, an
// IO thread 6 and no placement) and the argument's placement (2: offset, where).
std::vector<std::vector<uint8_t>> seeds()
{
	using V = std::vector<uint8_t>;
	V start{16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, stop{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
		cow_file{15, 0, 0, 0, 0, 0, 0}, io{17, 0, 0, 0, 0, 0, 0}, wait{18, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
		write{22, 0, 0, 0, 0, 0x5a}, read{23, 0, 0, 0, 0, 0}, changes{7, 0, 0, 0, 0, 0},
		list2{11, 0, 0, 0, 0, 0}, count{12, 0, 0}, version{10, 0, 0}, list{2, 0, 0},
		no_threads{19, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, getdev{3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
	V start_part = start;
	start_part[2] = 1, start_part[6] = 1;	// the partition, backing file b1
	auto cat = [](std::initializer_list<V> steps) {
		V v;
		for (auto &s : steps)
			v.insert(v.end(), s.begin(), s.end());
		return v;
	};
	return {
		cat({start, cow_file, io, wait, write, read, changes, stop}),	// one agent's session
		cat({version, count, list, list2, getdev, V{4, 0, 0, 0}, V{5, 0, 0, 0}, V{6, 0, 0, 0}, V{9, 0, 0}}),
		cat({start, start_part, getdev, write, V{14, 0, 0}, changes, list2, no_threads, stop}),
		cat({start, cow_file, io, write, V{13, 0, 0}, start, count}),	// unload with a session
		cat({start, no_threads, count}),
		cat({V{20, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, V{21, 11, 4, 0, 0, 0, 0, 0}, count}),
	};
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	if (const char *dir = std::getenv("ZEP_FUZZ_WRITE_SEEDS")) {
		int n = 0;
		for (auto &seed : seeds()) {
			std::string path = std::string(dir) + "/seed" + std::to_string(n++);
			FILE *f = std::fopen(path.c_str(), "wb");
			if (!f || std::fwrite(seed.data(), 1, seed.size(), f) != seed.size() || std::fclose(f))
				fail("cannot write a seed", n);
		}
		std::exit(0);
	}
	mt.t = std::thread(machine_thread);
	mt.done.acquire();
	std::atexit(stop_machine);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	mt.data = data;
	mt.size = size;
	mt.go.release();
	mt.done.acquire();
	return 0;
}
