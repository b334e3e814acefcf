# The two entry points of the README: `make run` (the main job) and `make test`.
PRESET ?= default
BUILD := build/$(PRESET)

.PHONY: setup configure build test run asan tsan clang bench fuzz clean

setup:
	@bash scripts/setup.sh

configure: setup
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j 2

test: build
	@ctest --preset $(PRESET)

# Only what the demo needs: zep (which pulls in the nbdkit plugin of the real-ext4 act).
run: configure
	@cmake --build --preset $(PRESET) --target zep -j 2
	@$(BUILD)/tools/zep demo

asan:
	@$(MAKE) --no-print-directory test PRESET=asan

tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

clang:
	@$(MAKE) --no-print-directory test PRESET=clang

bench: build
	@$(BUILD)/bench/zep_bench

# The control-device fuzzer's fixed budget (clang, sanitizers, coverage report).
fuzz: setup
	@bash scripts/fuzz.sh

clean:
	rm -rf build
