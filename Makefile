# Entry points for a fresh machine: `make run` starts the gateway on its
# embedded default, `make test` builds and runs every test (debug, sanitizer
# and 32-bit ARM builds).
.PHONY: all bootstrap build run test test-debug test-asan test-cross cross bench bench-quick bench-build fuzz sim clean

all: build

bootstrap:
	@scripts/bootstrap.sh

build: bootstrap
	cmake --preset host-debug >/dev/null
	cmake --build --preset host-debug

run: bootstrap
	cmake --preset host-debug >/dev/null
	cmake --build --preset host-debug --target zok2gw
	./build/host-debug/zok2gw $(ARGS)

test-debug: build
	ctest --preset host-debug

test-asan: bootstrap
	cmake --preset asan >/dev/null
	cmake --build --preset asan
	ctest --preset asan

test: test-debug test-asan test-cross

cross:
	@scripts/bootstrap.sh cross
	cmake --preset armhf >/dev/null && cmake --build --preset armhf
	cmake --preset cortex-a9 >/dev/null && cmake --build --preset cortex-a9

# Unit and integration tests on 32-bit ARM under qemu-arm; the end-to-end
# tests and the real-time socket tests (the emulator cannot keep a line's
# pace) stay on the host builds.
test-cross: cross
	ctest --preset armhf

# Benchmarks on the release build: ser2net and socat side by side with the
# gateway, the host link, the board at rest and virtual time; the table and
# plot land in build/bench-results. bench-quick is the short smoke run.
bench-build:
	@scripts/bootstrap.sh
	@scripts/bootstrap.sh bench
	cmake --preset release >/dev/null
	cmake --build --preset release

bench: bench-build
	./build/release/bench/zok2_bench --benchmark_min_time=0.2
	./build/release/bench/zok2bench --out build/bench-results $(ARGS)

bench-quick: bench-build
	./build/release/bench/zok2bench --quick --out build/bench-results $(ARGS)

# Fuzz targets (clang, libFuzzer): `make fuzz` builds them; with TARGET=bppos,
# bacm, rawos, config, console or udp it also runs that one for SECONDS
# (default 600) on one core, new inputs going to build/fuzz/corpus/<target>,
# the seeds read from fuzz/corpus/<target>, crashes written to build/fuzz/.
SECONDS ?= 600
fuzz:
	@scripts/bootstrap.sh fuzz
	cmake --preset fuzz >/dev/null && cmake --build --preset fuzz
ifdef TARGET
	mkdir -p build/fuzz/corpus/$(TARGET)
	./build/fuzz/fuzz/fuzz_$(TARGET) -max_total_time=$(SECONDS) -max_len=4096 \
		-print_final_stats=1 -artifact_prefix=build/fuzz/ \
		build/fuzz/corpus/$(TARGET) fuzz/corpus/$(TARGET)
endif

# The seeded whole-gateway simulation over many seeds (make test runs 200):
# make sim SEEDS=5000 [FIRST=1] [JOBS=3]; a failing seed prints how to replay it.
SEEDS ?= 1000
FIRST ?= 1
JOBS ?= 3
sim: build
	ZOK2_SIM_SEEDS=$(SEEDS) ZOK2_SIM_FIRST=$(FIRST) ZOK2_SIM_JOBS=$(JOBS) \
		./build/host-debug/tests/test_sim --gtest_brief=1

clean:
	rm -rf build
