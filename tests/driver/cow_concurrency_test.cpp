// Writers hammering shared chunks of a hooked disk while IO threads drain and the agent lists
// the session: every chunk is preserved once, with the contents it had when the session
// began, the list's count of preserved chunks only grows, and the live device ends with the
// last write of every block.
#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <random>
#include <vector>

#include "tests/driver/cow_util.h"

using namespace zeptest;
using namespace kern;

namespace {

constexpr size_t CHUNK = 65536;
constexpr size_t BLOCK = 4096;
constexpr sector_t PART_START = 256;
constexpr u64 CHUNKS = 64;	// the region the writers share
constexpr u64 BLOCKS = CHUNKS * CHUNK / BLOCK;
constexpr int WRITERS = 8;
constexpr int WRITES = 150;
constexpr int THREADS = 2;

// What writer w puts in a block on its n-th write.
std::vector<unsigned char> block_data(int w, int n, u64 block)
{
	std::vector<unsigned char> v(BLOCK);
	for (size_t i = 0; i < BLOCK; i++)
		v[i] = static_cast<unsigned char>(w * 31 + n * 7 + block * 3 + i);
	return v;
}

class CowConcurrencyTest : public CowTest {
protected:
	void run(kern::dev_t disk, const std::string &node)
	{
		kern::dev_t part = add_partition(disk, 1, PART_START, CHUNKS * CHUNK / 512 + 1024);
		auto old = chunk_pattern(CHUNKS * CHUNK, 11);
		ASSERT_EQ(disk_poke(disk, PART_START, old.data(), old.size()), 0);
		cow_session *cs = start(part, 1);
		for (int t = 0; t < THREADS; t++)
			attach(cs, "t" + std::to_string(t), t);

		// Each writer owns the blocks of its residue, so the last write of every block
		// is known; every chunk is shared by all of them.
		std::vector<std::map<u64, int>> last(WRITERS);
		std::vector<kern::pid_t> pids;
		for (int w = 0; w < WRITERS; w++) {
			pids.push_back(spawn("writer", [&, w] {
				std::mt19937 rng(static_cast<unsigned>(w * 7919 + 1));
				int fd = sys_open(("/dev/" + node + "1").c_str(), O_RDWR, 0);
				long buf = sys_mmap(BLOCK);
				for (int n = 0; n < WRITES; n++) {
					u64 block = (rng() % (BLOCKS / WRITERS)) * WRITERS + static_cast<u64>(w);
					auto data = block_data(w, n, block);
					user_write(static_cast<unsigned long>(buf), data.data(), BLOCK);
					if (sys_pwrite64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf),
							 BLOCK, static_cast<kern::loff_t>(block * BLOCK)) != BLOCK)
						return 1;
					last[static_cast<size_t>(w)][block] = n;
				}
				sys_close(static_cast<unsigned>(fd));
				return 0;
			}));
		}
		// An agent lists the session meanwhile, as `zep demo` does while its writers run.
		std::atomic<bool> writing{true};
		std::vector<u64> listed;
		kern::pid_t lister = spawn("cdplist", [&] {
			Control c;
			if (!c.open())
				return 1;
			while (writing) {
				std::array<session_list, ZEP_LIST_ENTRIES> ls{};
				if (c.ioctl(ZEP_IOC_GET_LIST, c.put_bytes(&ls, sizeof(ls))) != 0)
					return 2;
				c.get_bytes(&ls, sizeof(ls));
				listed.push_back(ls[0].changed_blocks);
			}
			c.close();
			return 0;
		});
		for (kern::pid_t pid : pids)
			EXPECT_EQ(waitpid(pid), 0);
		writing = false;
		EXPECT_EQ(waitpid(lister), 0);
		ASSERT_FALSE(listed.empty());
		EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
		ASSERT_TRUE(drained(cs));
		EXPECT_FALSE(is_error(cs)) << cs->errorMsg;

		// Every touched chunk was preserved once, with its contents from before the
		// writes, in its thread's file at its slot.
		std::vector<unsigned char> live(CHUNKS * CHUNK);
		ASSERT_EQ(disk_peek(disk, PART_START, live.data(), live.size()), 0);
		u64 preserved = 0;
		for (u64 c = 0; c < CHUNKS + 1; c++) {
			cow_chunk *cc = get_cow_chunk(&cs->chunk_table, c);
			if (!cc)
				continue;
			preserved++;
			ASSERT_GE(cc->thread, 0);
			if (c == CHUNKS)
				continue;	// preserved after a write ending on the region's edge
			EXPECT_EQ(host_file_bytes(backing("t" + std::to_string(cc->thread)),
						  cc->new_chunk * CHUNK, CHUNK),
				  std::vector<unsigned char>(old.begin() + static_cast<long>(c * CHUNK),
							     old.begin() + static_cast<long>((c + 1) * CHUNK)))
				<< "chunk " << c;
		}
		EXPECT_EQ(preserved, cs->pos);
		EXPECT_LE(listed.back(), preserved);
		for (u64 b = 0; b < BLOCKS; b++) {
			int w = static_cast<int>(b % WRITERS);
			auto it = last[static_cast<size_t>(w)].find(b);
			std::vector<unsigned char> got(live.begin() + static_cast<long>(b * BLOCK),
						       live.begin() + static_cast<long>((b + 1) * BLOCK));
			if (it == last[static_cast<size_t>(w)].end()) {
				EXPECT_EQ(got, std::vector<unsigned char>(old.begin() + static_cast<long>(b * BLOCK),
									  old.begin() + static_cast<long>((b + 1) * BLOCK)));
			} else {
				EXPECT_EQ(got, block_data(w, it->second, b)) << "block " << b;
				EXPECT_NE(get_cow_chunk(&cs->chunk_table, b * BLOCK / CHUNK), nullptr);
			}
		}
		EXPECT_EQ(atomic_read(&total_cow_pages), 0);
	}
};

} // namespace

TEST_F(CowConcurrencyTest, EightWritersOnARamdisk)
{
	run(add_ramdisk("cram", 8, PART_START + CHUNKS * CHUNK / 512 + 2048), "cram");
}

TEST_F(CowConcurrencyTest, EightWritersOnAFiledisk)
{
	disk_options o;
	o.size_bytes = (PART_START + CHUNKS * CHUNK / 512 + 2048) * 512;
	o.workers = 3;
	run(add_filedisk("cfile", 8, backing("disk.img"), o), "cfile");
}
