# The two commands:
#   make          build the plug-ins (dist/tobble.qnf64, dist/tobble.qnf), the
#                 tool (dist/tobble, dist/tobble.exe) and the library
#                 (build/release), and no test program
#   make check    build what the tests need and run every test: native, each
#                 fuzzer for a few seconds, the optimized tool, and both
#                 plug-ins and tobble.exe under Wine
# and the others:
#   make deps     install what make and make check need and is missing, one
#                 line for each thing installed or set up (as root; otherwise
#                 it prints the commands to run); make and make check call it
#   make dist     the release packages: dist/tobble-VERSION-win64.zip,
#                 dist/tobble-VERSION-win32.zip and dist/SHA256SUMS
#   make install  the tool, its manual page and the library (libtobble.a,
#                 libtobble.so, tobble.h, tobble.pc, the CMake package) under
#                 PREFIX (default /usr/local), below DESTDIR when that is set;
#                 built in build/install with no test, it needs only CMake,
#                 make and g++
#   make fuzz     run each fuzzer for FUZZ_SECONDS from its corpus in fuzz/corpus/,
#                 minimize the corpora into the tree again (at most
#                 FUZZ_CORPUS_KIB a target), add the executions to
#                 docs/fuzz_totals.json and write docs/reliability.md
#   make bench    measure the speed; writes docs/performance.md and docs/performance.svg
#                 (BENCH_QUICK=1: 64 KiB corpora only, report in build/bench/)
#   make format   format the sources with clang-format
#   make native, release, win64, win32
#                 one CMake preset with every program in it, tests included
#   make python   the Python package into build/python/lib (part of make);
#   make python-check  its tests and the Dask example's (part of make check)
#   make web      the WebAssembly module, the npm package (build/wasm/package)
#                 and the offline page (dist/web) (part of make);
#   make web-check  their tests in Node and in headless Chromium (part of
#                 make check)
# Only make fuzz and make bench write under docs/; make check fails if
# anything else did.

JOBS ?= $(shell nproc)
PYTHON ?= python3
PREFIX ?= /usr/local
# The Python package builds and runs with Debian's Python, which has the
# setuptools, pytest and Dask packages it needs.
PY3 ?= /usr/bin/python3
PYTHON_BUILD = build/python
VERSION := $(shell cat VERSION)

# $(call BUILD,PRESET[,TARGETS]): configures the preset and builds the
# targets, or all of the preset's when none are given.
BUILD = cmake --preset $(1) >/dev/null && cmake --build --preset $(1) -j $(JOBS) $(if $(2),--target $(2))
CMAKE_BUILD = $(call BUILD,$(1))

# The C and C++ sources, found in the tree rather than asked of git, so a
# source tarball checks too: everything but build output, dependencies and
# fuzzer corpora.
SOURCES = $(shell find . \( -name .git -o -name build -o -name dist -o -name node_modules \
	-o -name '*.egg-info' -o -path ./fuzz/corpus \) -prune -o \
	-type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print | LC_ALL=C sort)

# Seconds each fuzz target runs: in `make fuzz`, and in every `make check`;
# the most a target's corpus in git may hold.
FUZZ_SECONDS ?= 60
FUZZ_CHECK_SECONDS ?= 3
FUZZ_CORPUS_KIB ?= 512

DELIVERABLES = build/win64/tobble.qnf64 build/win32/tobble.qnf build/win64/tobble.exe \
	build/release/tobble
COPY_DELIVERABLES = mkdir -p dist && cp $(DELIVERABLES) dist/

.PHONY: all deliverables check check-start dist install fuzz fuzz-build bench deps deps-build \
	deps-install deps-bench native release win64 win32 format format-check clean python python-check \
	web web-check
# The presets share build folders between targets (release, say, in `make`
# and in `make check`); one cmake at a time.
.NOTPARALLEL:

all: deliverables python web

# The release preset holds the tool, the library and no test program; of the
# cross presets only the plug-ins and tobble.exe.
deliverables: deps-build
	$(call BUILD,release)
	$(call BUILD,win64,tobble_plugin tobble_tool)
	$(call BUILD,win32,tobble_plugin)
	$(COPY_DELIVERABLES)

native release win64 win32: deps-build
	$(call BUILD,$@)

# Every test suite runs even when an earlier one fails; the target fails at
# the end if any did, or if anything was written under docs/. When make deps
# could not install 32-bit Wine, the 32-bit plug-in tests are skipped, and
# the last lines say so with the reason make deps recorded.
check: deps check-start native release win64 win32 fuzz-build web format-check
	$(COPY_DELIVERABLES)
	@status=0; \
	ctest --preset native -j $(JOBS) || status=1; \
	tools/fuzz.py --seconds $(FUZZ_CHECK_SECONDS) || status=1; \
	ctest --preset release || status=1; \
	ctest --preset win64 || status=1; \
	ctest --preset win32 || status=1; \
	$(MAKE) --no-print-directory python-check || status=1; \
	$(MAKE) --no-print-directory web-check || status=1; \
	written=$$(find docs -newer build/check.stamp 2>/dev/null); \
	if [ -n "$$written" ]; then \
	  echo "make check wrote under docs/ (only make fuzz and make bench may):" $$written; \
	  status=1; \
	fi; \
	if [ -s build/deps-missing.txt ]; then \
	  echo; \
	  echo "make check: SKIPPED the 32-bit plug-in tests under Wine (ctest --preset win32 lists"; \
	  echo "them as skipped, not passed): 32-bit Wine is missing. From build/deps-missing.txt:"; \
	  sed 's/^/  /' build/deps-missing.txt; \
	fi; \
	exit $$status

check-start:
	@mkdir -p build && touch build/check.stamp

dist: deps-build
	$(call BUILD,win64,tobble_plugin)
	$(call BUILD,win32,tobble_plugin)
	$(PYTHON) tools/package.py dist $(VERSION) build/win64/tobble.qnf64 build/win32/tobble.qnf \
	  README.md LICENSE

install: deps-install
	$(call BUILD,install)
	DESTDIR="$(DESTDIR)" cmake --install build/install --prefix "$(PREFIX)"

# The extension is compiled with the library's sources (python/setup.py);
# pytest's status 5 (no test collected) fails like any other.
python: deps-build
	cd python && $(PY3) setup.py -q build_py -d ../$(PYTHON_BUILD)/lib \
	  build_ext -j $(JOBS) -b ../$(PYTHON_BUILD)/lib -t ../$(PYTHON_BUILD)/temp

python-check: python release
	PYTHONPATH=$(CURDIR)/$(PYTHON_BUILD)/lib TOBBLE_TOOL=$(CURDIR)/build/release/tobble \
	  $(PY3) -m pytest -q -p no:cacheprovider python/tests

# The page: the wasm preset's layout of it, copied whole.
web: deps-build
	$(call BUILD,wasm)
	rm -rf dist/web && mkdir -p dist && cp -R build/wasm/web dist/web

# The package against the tool, and the page in the browser (js/test/); the
# page tests' npm packages come with make deps.
web-check: web release
	TOBBLE_TOOL=$(CURDIR)/build/release/tobble TOBBLE_JS_PACKAGE=$(CURDIR)/build/wasm/package \
	  TOBBLE_WEB=$(CURDIR)/dist/web node --test js/test/*.test.mjs

bench: deps-bench all
	$(call BUILD,win64,plugin_bench)
	$(call BUILD,win32,plugin_bench)
	$(call BUILD,wasm,tobble_wasm_scalar)
	bench/run.sh

# make fuzz goes on from the corpora in fuzz/corpus/, writes them back
# minimized and leaves what it finds in fuzz/regressions/, which the native
# tests replay. make check's short runs fuzz copies in build/fuzz/ and write
# nothing in the tree.
fuzz-build: deps
	$(call BUILD,fuzz)

fuzz: fuzz-build
	tools/fuzz.py --seconds $(FUZZ_SECONDS) --corpus-kib $(FUZZ_CORPUS_KIB) \
	  --report docs/reliability.md

# What make and make check need; make bench needs a little more. The builds
# ask only for what building needs, make install for what the library and
# the tool need, and both say nothing when it is all there.
deps:
	@tools/install-deps.sh check

deps-build:
	@tools/install-deps.sh -q build

deps-install:
	@tools/install-deps.sh -q install

deps-bench:
	@tools/install-deps.sh bench

# clang-format reads standard input when given no file: never let it.
format:
	clang-format -i $(SOURCES) </dev/null

format-check:
	$(if $(strip $(SOURCES)),,$(error format-check: no C or C++ sources found))
	@echo "clang-format --dry-run --Werror: $(words $(SOURCES)) files"
	@clang-format --dry-run --Werror $(SOURCES) </dev/null

clean:
	rm -rf build dist
