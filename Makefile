# Three commands:
#   make          build the plug-ins (dist/tobble.qnf64, dist/tobble.qnf) and every test program
#   make check    build everything and run every test: native, and both plug-ins under Wine
#   make bench    build everything and measure the speed; writes docs/performance.md and
#                 docs/performance.svg (BENCH_QUICK=1: 64 KiB corpora only, report in build/bench/)
# Each first installs what is missing (as root), or says what to install.

JOBS ?= $(shell nproc)
CMAKE_BUILD = cmake --build --preset $(1) -j $(JOBS)

SOURCES = $(shell git ls-files '*.cpp' '*.h')

.PHONY: all check bench deps-build deps-check deps-bench native win64 win32 release format \
	format-check clean

all: native win64 win32
	mkdir -p dist
	cp build/win64/tobble.qnf64 build/win32/tobble.qnf dist/

native win64 win32 release: deps-build
	cmake --preset $@ >/dev/null
	$(call CMAKE_BUILD,$@)

check: deps-check all format-check
	ctest --preset native -j $(JOBS)
	ctest --preset win64
	ctest --preset win32

bench: deps-bench all release
	bench/run.sh

deps-build:
	@tools/install-deps.sh build

deps-check:
	@tools/install-deps.sh check

deps-bench:
	@tools/install-deps.sh bench

format:
	clang-format -i $(SOURCES)

format-check:
	clang-format --dry-run --Werror $(SOURCES)

clean:
	rm -rf build dist
