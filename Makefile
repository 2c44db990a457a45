# Entry points for a fresh machine: `make run` starts the gateway on its
# embedded default, `make test` builds and runs every test (debug and
# sanitizer builds).
.PHONY: all bootstrap build run test test-debug test-asan cross clean

all: build

bootstrap:
	@scripts/bootstrap.sh

build: bootstrap
	cmake --preset host-debug >/dev/null
	cmake --build --preset host-debug

run: build
	./build/host-debug/zok2gw $(ARGS)

test-debug: build
	ctest --preset host-debug

test-asan: bootstrap
	cmake --preset asan >/dev/null
	cmake --build --preset asan
	ctest --preset asan

test: test-debug test-asan

cross:
	@scripts/bootstrap.sh cross
	cmake --preset armhf >/dev/null && cmake --build --preset armhf
	cmake --preset cortex-a9 >/dev/null && cmake --build --preset cortex-a9

clean:
	rm -rf build
