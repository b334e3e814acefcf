// Snapshots taken, read and stopped entirely from user space, as an agent does it: start,
// backing file, IO-thread processes, thread-wait, read /dev/zep<N> while writers rewrite
// the live partition, stop.
#include <atomic>
#include <random>
#include <tuple>

#include "tests/driver/agent_util.h"
#include "tests/driver/cow_util.h"

using namespace zeptest;
using namespace kern;

namespace {

constexpr sector_t PART_START = 2048;
constexpr sector_t PART_SECTORS = 8 << 11;	// 8 MiB
constexpr size_t PART_BYTES = PART_SECTORS * 512;
constexpr size_t BLOCK = 4096;

// Offset of the first byte where a and b differ, or -1.
long first_difference(const std::vector<unsigned char> &a, const std::vector<unsigned char> &b)
{
	if (a.size() != b.size())
		return static_cast<long>(std::min(a.size(), b.size()));
	for (size_t i = 0; i < a.size(); i++)
		if (a[i] != b[i])
			return static_cast<long>(i);
	return -1;
}

class SnapshotProtocol : public CowTest, public ::testing::WithParamInterface<std::tuple<int, bool>> {};

} // namespace

TEST_P(SnapshotProtocol, ImageKeepsThePreSnapshotContentWhileWritersRun)
{
	auto [nthreads, filedisk] = GetParam();
	kern::dev_t disk;
	std::string node;
	if (filedisk) {
		disk_options o;
		o.size_bytes = (PART_START + PART_SECTORS) * 512;
		disk = add_filedisk("sfd", 8, backing("disk.img"), o);
		node = "sfd1";
	} else {
		disk = add_ramdisk("srd", 8, PART_START + PART_SECTORS);
		node = "srd1";
	}
	kern::dev_t p1 = add_partition(disk, 1, PART_START, PART_SECTORS);
	auto old = chunk_pattern(PART_BYTES, 21);
	ASSERT_EQ(disk_poke(disk, PART_START, old.data(), old.size()), 0);
	ASSERT_EQ(kern::mount(p1), 0);

	auto ssr = start_request(p1, backing("image"));
	long id = start_snapshot(&ssr);
	ASSERT_GT(id, 0) << "start refused";
	EXPECT_TRUE(ssr.mode & ZEP_MODE_STARTED);
	EXPECT_EQ(ssr.active_sessions, 1);
	EXPECT_EQ(set_backing_file(static_cast<int>(id), backing("image.cow")), 0);
	for (int t = 0; t < nthreads; t++)
		threads_.push_back(start_io_thread(static_cast<int>(id), backing("io" + std::to_string(t)), t));
	for (int t = 0; t < nthreads; t++)
		ASSERT_EQ(thread_wait(static_cast<int>(id)), 0) << "thread " << t;

	// Four writers rewrite random blocks of the live partition until the image has been
	// read once; the reader starts after they have begun.
	std::atomic<bool> stop_writing{false};
	std::atomic<int> writes{0};
	std::vector<kern::pid_t> writers;
	for (int w = 0; w < 4; w++) {
		writers.push_back(spawn("writer", [&, w] {
			std::mt19937 rng(static_cast<unsigned>(w + 1));
			int fd = sys_open(("/dev/" + node).c_str(), O_RDWR, 0);
			long buf = sys_mmap(BLOCK);
			auto data = chunk_pattern(BLOCK, 90 + static_cast<unsigned>(w));
			user_write(static_cast<unsigned long>(buf), data.data(), BLOCK);
			while (!stop_writing) {
				kern::loff_t off = static_cast<kern::loff_t>(rng() % (PART_BYTES / BLOCK) * BLOCK);
				if (sys_pwrite64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf), BLOCK, off) !=
				    static_cast<ssize_t>(BLOCK))
					return 1;
				writes++;
			}
			sys_close(static_cast<unsigned>(fd));
			return 0;
		}));
	}
	while (writes < 50)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	std::string zep = "zep" + std::to_string(id);
	auto during = read_device(zep, 0, PART_BYTES);
	stop_writing = true;
	for (kern::pid_t pid : writers)
		EXPECT_EQ(waitpid(pid), 0);
	EXPECT_EQ(first_difference(during, old), -1);
	auto after = read_device(zep, 0, PART_BYTES);
	EXPECT_EQ(first_difference(after, old), -1);
	EXPECT_EQ(session_error(static_cast<int>(id)), "");
	EXPECT_NE(first_difference(read_device(node, 0, PART_BYTES), old), -1) << "the writers changed nothing";

	snap_shot_request out;
	EXPECT_EQ(stop_snapshot(static_cast<int>(id), &out), 0);
	EXPECT_STREQ(out.backing_file, backing("image.cow").c_str());
	EXPECT_EQ(out.active_sessions, 0);
	for (kern::pid_t pid : threads_)
		EXPECT_EQ(waitpid(pid), 0);
	threads_.clear();
	EXPECT_EQ(kern::umount(p1), 0);
	EXPECT_TRUE(dmesg_has("zep: INFO: session started for device:(8,1) with session id: zep1"));
}

INSTANTIATE_TEST_SUITE_P(Threads, SnapshotProtocol,
			 ::testing::Combine(::testing::Values(1, 4, 64), ::testing::Bool()),
			 [](const auto &info) {
				 return std::to_string(std::get<0>(info.param)) + "threads" +
					(std::get<1>(info.param) ? "Filedisk" : "Ramdisk");
			 });
