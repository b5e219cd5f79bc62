# The two commands:
#   make          build the plug-ins (dist/tobble.qnf64, dist/tobble.qnf), the
#                 tool (dist/tobble, dist/tobble.exe) and every test program
#   make check    build everything and run every test: native, each fuzzer for
#                 a few seconds, the optimized tool, and both plug-ins and
#                 tobble.exe under Wine
# and the others:
#   make dist     the release packages: dist/tobble-VERSION-win64.zip,
#                 dist/tobble-VERSION-win32.zip and dist/SHA256SUMS
#   make install  the tool, its manual page and the library (libtobble.a,
#                 libtobble.so, tobble.h, tobble.pc, the CMake package) under
#                 PREFIX (default /usr/local), below DESTDIR when that is set
#   make fuzz     run each fuzzer for FUZZ_SECONDS and write docs/reliability.md
#   make bench    measure the speed; writes docs/performance.md and docs/performance.svg
#                 (BENCH_QUICK=1: 64 KiB corpora only, report in build/bench/)
#   make format   format the sources with clang-format
#   make python   the Python package into build/python/lib (part of make);
#   make python-check  its tests and the Dask example's (part of make check)
# Each first installs what is missing (as root), or says what to install.

JOBS ?= $(shell nproc)
CMAKE_BUILD = cmake --build --preset $(1) -j $(JOBS)
PYTHON ?= python3
PREFIX ?= /usr/local
# The Python package builds and runs with Debian's Python, which has the
# setuptools, pytest and Dask packages it needs.
PY3 ?= /usr/bin/python3
PYTHON_BUILD = build/python
VERSION := $(shell cat VERSION)

SOURCES = $(shell git ls-files '*.cpp' '*.h')

# Seconds each fuzz target runs: in `make fuzz`, and in every `make check`.
FUZZ_SECONDS ?= 60
FUZZ_CHECK_SECONDS ?= 3

.PHONY: all check dist install fuzz fuzz-build bench deps-build deps-check deps-bench native \
	release win64 win32 format format-check clean python python-check deps

all: native release win64 win32 python
	mkdir -p dist
	cp build/win64/tobble.qnf64 build/win32/tobble.qnf build/win64/tobble.exe \
	  build/release/tobble dist/

native release win64 win32: deps-build
	cmake --preset $@ >/dev/null
	$(call CMAKE_BUILD,$@)

# Every test suite runs even when an earlier one fails; the target fails at
# the end if any did.
check: deps-check all fuzz-build format-check
	@status=0; \
	ctest --preset native -j $(JOBS) || status=1; \
	tools/fuzz.py --seconds $(FUZZ_CHECK_SECONDS) || status=1; \
	ctest --preset release || status=1; \
	ctest --preset win64 || status=1; \
	ctest --preset win32 || status=1; \
	$(MAKE) --no-print-directory python-check || status=1; \
	exit $$status

dist: win64 win32
	$(PYTHON) tools/package.py dist $(VERSION) build/win64/tobble.qnf64 build/win32/tobble.qnf \
	  README.md LICENSE

install: release
	DESTDIR="$(DESTDIR)" cmake --install build/release --prefix "$(PREFIX)"

# The extension is compiled with the library's sources (python/setup.py);
# pytest's status 5 (no test collected) fails like any other.
python: deps-build
	cd python && $(PY3) setup.py -q build_py -d ../$(PYTHON_BUILD)/lib \
	  build_ext -j $(JOBS) -b ../$(PYTHON_BUILD)/lib -t ../$(PYTHON_BUILD)/temp

python-check: python release
	PYTHONPATH=$(CURDIR)/$(PYTHON_BUILD)/lib TOBBLE_TOOL=$(CURDIR)/build/release/tobble \
	  $(PY3) -m pytest -q -p no:cacheprovider python/tests

bench: deps-bench all
	bench/run.sh

# The fuzzers keep their corpora in fuzz/corpus/ and leave what they find in
# fuzz/regressions/, which the native tests replay.
fuzz-build: deps-check
	cmake --preset fuzz >/dev/null
	$(call CMAKE_BUILD,fuzz)

fuzz: fuzz-build
	tools/fuzz.py --seconds $(FUZZ_SECONDS) --report docs/reliability.md

# What building and testing need, the Python package's packages included.
deps: deps-check

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
