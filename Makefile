# Two commands:
#   make          build the plug-ins (dist/tobble.qnf64, dist/tobble.qnf) and every test program
#   make check    build everything and run every test: native, and both plug-ins under Wine
# Both first install what is missing (as root), or say what to install.

JOBS ?= $(shell nproc)
CMAKE_BUILD = cmake --build --preset $(1) -j $(JOBS)

SOURCES = $(shell git ls-files '*.cpp' '*.h')

.PHONY: all check deps-build deps-check native win64 win32 format format-check clean

all: native win64 win32
	mkdir -p dist
	cp build/win64/tobble.qnf64 build/win32/tobble.qnf dist/

native win64 win32: deps-build
	cmake --preset $@ >/dev/null
	$(call CMAKE_BUILD,$@)

check: deps-check all format-check
	ctest --preset native -j $(JOBS)
	ctest --preset win64
	ctest --preset win32

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
