#!/usr/bin/env bash
# The control-device fuzzer's fixed budget: builds only control_fuzz in the fuzz preset,
# replays tests/fuzz/regressions, runs ZEP_FUZZ_RUNS inputs (default 100000) from a copy of
# tests/fuzz/corpus in ZEP_FUZZ_JOBS processes (default one a core), then prints the lines
# of the command handlers the run reached.
# Exits non-zero on any finding; the input that found it is kept in build/fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${ZEP_FUZZ_RUNS:-100000}
jobs=${ZEP_FUZZ_JOBS:-$(nproc)}
cap=${ZEP_FUZZ_MAX_TIME:-1800}	# seconds: a safety cap, not the budget
build=build/fuzz
bin=$build/tests/fuzz/control_fuzz
findings=$build/findings
handlers=(backupdriver/cow_ioctl.cpp backupdriver/cow_changes.cpp backupdriver/cow_io.cpp
	  backupdriver/cow_watchdog.cpp backupdriver/cow.cpp)

cmake --preset fuzz >/dev/null
cmake --build "$build" --target control_fuzz -j 2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$findings"
cp tests/fuzz/corpus/* "$work/corpus/"
export LLVM_PROFILE_FILE="$work/run-%p.profraw" ZEP_FUZZ_DIR="$work/files"
# Leaks are the machine's halt report at exit (and LeakSanitizer's at exit); a leak scan
# after every input would cost more than the input.
opts=(-detect_leaks=0 -timeout=30 -rss_limit_mb=4096 -artifact_prefix="$findings/")

regressions=(tests/fuzz/regressions/*)
if [ -e "${regressions[0]}" ]; then
	echo "fuzz: replaying ${#regressions[@]} regression input(s)"
	"$bin" "${opts[@]}" "${regressions[@]}" >"$work/regressions.log" 2>&1 ||
		{ tail -n 60 "$work/regressions.log"; echo "fuzz: a regression input fails"; exit 1; }
fi

# Fork mode: one fuzzing process per core (each boots its own machine and halts it at the
# end of its job, so every job also checks the halt); the parent stops them at the budget.
# A hang or a memory blow-up is a finding too (fork mode would pass over them by default).
echo "fuzz: $runs inputs (cap ${cap}s, $jobs processes) from $(ls tests/fuzz/corpus | wc -l) seeds"
start=$(date +%s)
if ! "$bin" "${opts[@]}" -fork="$jobs" -ignore_timeouts=0 -ignore_ooms=0 -runs="$runs" -max_total_time="$cap" -max_len=128 \
	"$work/corpus" >"$work/fuzz.log" 2>&1; then
	tail -n 80 "$work/fuzz.log"
	echo "fuzz: finding; the input is in $findings (replay: $bin $findings/<file>," \
	     "ZEP_FUZZ_TRACE=1 prints each command)"
	exit 1
fi
done_runs=$(grep -oE '^#[0-9]+' "$work/fuzz.log" | tail -n 1 | tr -d '#')
if [ "${done_runs:-0}" -lt "$runs" ]; then
	tail -n 20 "$work/fuzz.log"
	echo "fuzz: only ${done_runs:-0} of $runs inputs ran in ${cap}s"
	exit 1
fi
echo "fuzz: $done_runs inputs in $(( $(date +%s) - start ))s, corpus grew to $(ls "$work/corpus" | wc -l) inputs"

llvm-profdata-14 merge -sparse "$work"/*.profraw -o "$work/fuzz.profdata"
echo "fuzz: lines of the control device's command handlers reached (hit/lines):"
llvm-cov-14 report "$bin" -instr-profile="$work/fuzz.profdata" "${handlers[@]}" |
	awk 'NR > 2 && NF >= 10 && $1 !~ /^-/ { printf "  %-34s %5d/%-5d %s\n", $1, $8 - $9, $8, $10 }'
