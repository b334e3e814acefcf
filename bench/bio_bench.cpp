// A 4 KiB bio round trip (alloc, add page, submit, wait for completion) on each driver.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "kernel/block/bio.h"
#include "kernel/block/blkdev.h"
#include "kernel/machine.h"
#include "kernel/locking/completion.h"

namespace {

using namespace kern;

struct waiter {
	completion done;
	int error;
};

int bench_end_io(bio *b, unsigned int, int err)
{
	if (b->bi_size)
		return 1;
	auto *w = static_cast<waiter *>(b->bi_private);
	w->error = err;
	complete(&w->done);
	return 0;
}

void round_trips(benchmark::State &state, kern::dev_t dev)
{
	block_device *bdev = bdget(dev);
	struct page *pg = alloc_page(GFP_KERNEL);
	sector_t sectors = bdev_nr_sectors(bdev);
	sector_t next = 0;
	int rw = static_cast<int>(state.range(0));
	for (auto _ : state) {
		waiter w;
		init_completion(&w.done);
		bio *b = bio_alloc(GFP_KERNEL, 1);
		b->bi_bdev = bdev;
		b->bi_sector = next;
		b->bi_end_io = bench_end_io;
		b->bi_private = &w;
		bio_add_page(b, pg, PAGE_SIZE, 0);
		submit_bio(rw, b);
		wait_for_completion(&w.done);
		bio_put(b);
		if (w.error)
			state.SkipWithError("bio failed");
		next = (next + 8) % (sectors - 8);
	}
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * PAGE_SIZE);
	__free_page(pg);
	bdput(bdev);
}

void BM_RamdiskBio4K(benchmark::State &state)
{
	boot({});
	round_trips(state, add_ramdisk("bench_rd", 0, 1 << 16));
	halt();
}
BENCHMARK(BM_RamdiskBio4K)->Arg(READ)->Arg(WRITE)->ArgName("write");

void BM_FilediskBio4K(benchmark::State &state)
{
	std::string path = "/tmp/zep_bio_bench_" + std::to_string(reinterpret_cast<uintptr_t>(&state));
	boot({});
	disk_options o;
	o.size_bytes = 32 << 20;
	round_trips(state, add_filedisk("bench_fd", 0, path, o));
	halt();
	std::remove(path.c_str());
}
BENCHMARK(BM_FilediskBio4K)->Arg(READ)->Arg(WRITE)->ArgName("write")->UseRealTime();

} // namespace
