# Three commands:
#   make          build the plug-ins (dist/tobble.qnf64, dist/tobble.qnf) and every test program
#   make check    build everything and run every test: native, each fuzzer for a few seconds,
#                 and both plug-ins under Wine
#   make fuzz     run each fuzzer for FUZZ_SECONDS and write docs/reliability.md
# They first install what is missing (as root), or say what to install.

JOBS ?= $(shell nproc)
CMAKE_BUILD = cmake --build --preset $(1) -j $(JOBS)

SOURCES = $(shell git ls-files '*.cpp' '*.h')

# Seconds each fuzz target runs: in `make fuzz`, and in every `make check`.
FUZZ_SECONDS ?= 60
FUZZ_CHECK_SECONDS ?= 3

.PHONY: all check fuzz fuzz-build deps-build deps-check native win64 win32 format format-check clean

all: native win64 win32
	mkdir -p dist
	cp build/win64/tobble.qnf64 build/win32/tobble.qnf dist/

native win64 win32: deps-build
	cmake --preset $@ >/dev/null
	$(call CMAKE_BUILD,$@)

check: deps-check all fuzz-build format-check
	ctest --preset native -j $(JOBS)
	tools/fuzz.py --seconds $(FUZZ_CHECK_SECONDS)
	ctest --preset win64
	ctest --preset win32

# The fuzzers keep their corpora in fuzz/corpus/ and leave what they find in
# fuzz/regressions/, which the native tests replay.
fuzz-build: deps-check
	cmake --preset fuzz >/dev/null
	$(call CMAKE_BUILD,fuzz)

fuzz: fuzz-build
	tools/fuzz.py --seconds $(FUZZ_SECONDS) --report docs/reliability.md

deps-build:
	@tools/install-deps.sh build

deps-check:
	@tools/install-deps.sh check

format:
	clang-format -i $(SOURCES)

format-check:
	clang-format --dry-run --Werror $(SOURCES)

clean:
	rm -rf build dist
