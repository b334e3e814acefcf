// A 4 KiB bio round trip (alloc, add page, submit, wait for completion) on each driver, as
// `zep bench` times it against the host's pread and pwrite (tools/bench_rig.h).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "kernel/block/bio.h"
#include "kernel/machine.h"
#include "tools/bench_rig.h"

namespace
{

using namespace kern;

void round_trips(benchmark::State &state, kern::dev_t dev)
{
	int rw = static_cast<int>(state.range(0));
	try {
		for (auto _ : state)
			state.SetIterationTime(zep::bench::bio_round_trips(dev, 1, rw));
	} catch (const std::exception &e) {
		state.SkipWithError(e.what());
	}
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}

void BM_RamdiskBio4K(benchmark::State &state)
{
	boot({});
	round_trips(state, add_ramdisk("bench_rd", 0, 1 << 16));
	halt();
}
BENCHMARK(BM_RamdiskBio4K)->Arg(READ)->Arg(WRITE)->ArgName("write")->UseManualTime();

void BM_FilediskBio4K(benchmark::State &state)
{
	std::string path =
	    "/tmp/zep_bio_bench_" + std::to_string(reinterpret_cast<uintptr_t>(&state));
	boot({});
	disk_options o;
	o.size_bytes = 32 << 20;
	round_trips(state, add_filedisk("bench_fd", 0, path, o));
	halt();
	std::remove(path.c_str());
}
BENCHMARK(BM_FilediskBio4K)->Arg(READ)->Arg(WRITE)->ArgName("write")->UseManualTime();

} // namespace
