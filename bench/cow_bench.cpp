// Writes through a hooked partition with a live session, each case against the same writes
// on the twin disk that no session hooks, measured in the same run (the rig of
// tools/bench_rig.h, which `zep bench` measures with too): first writes, which wait for the
// copy-out of every old 64 KiB chunk they touch, and writes to chunks already preserved.
//
// Writes are timed one by one (manual time, wall clock). Hooked writes go in batches; after
// each batch the same offsets are written on the twin, and the ratio is hooked time per write
// over twin time per write. For first writes every batch gets a new session, and the time to
// start it and to stop it (which drains what the IO threads had left) is not counted.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include <fmt/format.h>

#include "tools/bench_rig.h"

namespace
{

using namespace zep::bench;

rig_options options_for(const char *name)
{
	rig_options o;
	o.dir = (std::filesystem::temp_directory_path() /
	         fmt::format("zep-{}-{}", name, std::random_device{}()))
	            .string();
	o.part_bytes = 128ull << 20;
	return o;
}

// The timed loop: hooked writes one by one, in batches of the plan's writes. A batch opens
// with `begin` and closes with `end` (neither timed); then the twin takes the batch's writes.
// Sets the time per write without a session and the ratio.
void measure(benchmark::State &state, rig &r, const write_plan &plan,
             const std::function<void()> &begin, const std::function<void(uint64_t)> &end)
{
	double hooked = 0, plain = 0;
	uint64_t hooked_n = 0, plain_n = 0, in_batch = 0;
	auto close_batch = [&] {
		end(in_batch);
		for (uint64_t i = 0; i < in_batch; i++)
			plain += r.write(false, plan.offset(i), plan.bytes);
		plain_n += in_batch;
		in_batch = 0;
	};
	for (auto _ : state) {
		if (in_batch == 0)
			begin();
		double t = r.write(true, plan.offset(in_batch), plan.bytes);
		state.SetIterationTime(t);
		hooked += t;
		hooked_n++;
		if (++in_batch == plan.count)
			close_batch();
	}
	if (in_batch)
		close_batch();
	if (!hooked_n || !plain_n)
		return;
	double h = hooked / static_cast<double>(hooked_n), p = plain / static_cast<double>(plain_n);
	state.counters["no_session_us"] = p * 1e6;
	state.counters["ratio"] = h / p;
	state.SetBytesProcessed(static_cast<int64_t>(hooked_n * plan.bytes));
}

// Runs a case, its failure a skipped benchmark with the reason.
void guarded(benchmark::State &state, const std::function<void()> &body)
{
	try {
		body();
	} catch (const std::exception &e) {
		state.SkipWithError(e.what());
	}
}

// Every hooked write finds every chunk it touches unpreserved and waits for their copy-out.
void BM_FirstWrite(benchmark::State &state)
{
	guarded(state, [&] {
		rig r(options_for("cow-bench"));
		write_plan plan(static_cast<uint64_t>(state.range(0)), r.part_bytes());
		auto end = [&](uint64_t writes) {
			if (r.preserved() != writes * chunks_preserved(plan.bytes))
				throw rig_error("a hooked write did not copy out exactly the "
				                "chunks it touched");
			r.stop();
		};
		measure(
		    state, r, plan, [&] { r.take(false); }, end);
		if (std::string left = r.finish(); !left.empty())
			throw rig_error(left);
	});
}

// Every hooked write finds its chunks preserved and already in the backing file.
void BM_PreservedWrite(benchmark::State &state)
{
	guarded(state, [&] {
		rig r(options_for("cow-bench"));
		write_plan plan(static_cast<uint64_t>(state.range(0)), r.part_bytes());
		r.take(false);
		for (uint64_t off = 0; off < r.part_bytes(); off += MAX_IO)
			r.write(true, static_cast<int64_t>(off), MAX_IO);
		uint64_t chunks = r.part_bytes() / CHUNK;
		if (!r.drained() || r.preserved() != chunks)
			throw rig_error("the partition was not preserved and drained");
		auto end = [&](uint64_t) {
			if (r.preserved() != chunks)
				throw rig_error("a write to a preserved chunk copied it out again");
		};
		measure(
		    state, r, plan, [] {}, end);
		if (std::string left = r.finish(); !left.empty())
			throw rig_error(left);
	});
}

// 4 KiB and 1 MiB writes, timed by hand (wall clock) so that set-up and the twin's writes
// stay out; a few seconds of real time each.
void write_sizes(benchmark::internal::Benchmark *b)
{
	b->Arg(4096)
	    ->Arg(1 << 20)
	    ->ArgName("bytes")
	    ->UseManualTime()
	    ->Unit(benchmark::kMicrosecond)
	    ->MinTime(0.5);
}
BENCHMARK(BM_FirstWrite)->Apply(write_sizes);
BENCHMARK(BM_PreservedWrite)->Apply(write_sizes);

} // namespace
