# User-facing targets: `make test` builds and runs every test; `make serve` runs the editor locally.
# Other targets: fuzz (bounded libFuzzer runs), bench (benchmarks), soak (long reliability runs),
# windows (cross-builds build-win/plugin_notes.exe), test-windows (its tests under wine).
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan
SERVE_BUILD ?= build-serve
WIN_BUILD ?= build-win
PROGRAM_PKGS = cmake g++ make zlib1g-dev python3 unicode-data
BUILD_PKGS = $(PROGRAM_PKGS) libgtest-dev
WIN_PKGS = gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev
WINE_PKGS = wine wine64

.PHONY: all deps build build-program test test-release test-asan windows test-windows serve fuzz bench soak clean

all: build

deps:
	@scripts/deps.sh $(BUILD_PKGS)
	@if [ -x scripts/deps-extra.sh ]; then scripts/deps-extra.sh; fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

test-release: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DNOTES_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

# The Windows build is cross-compiled with MinGW-w64 (the GoogleTest sources of libgtest-dev are
# compiled with it for the unit tests) and tested under wine with a prefix inside $(WIN_BUILD).
windows:
	@scripts/deps.sh $(BUILD_PKGS) $(WIN_PKGS)
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WIN_BUILD) -j$(JOBS)

test-windows: windows
	@scripts/deps.sh $(WINE_PKGS)
	JOBS=$(JOBS) scripts/test-windows.sh $(WIN_BUILD)

# test-windows comes last, after both Linux runs.
test: test-asan test-release
	$(MAKE) test-windows

# Serving needs only the program and lighttpd: no tests are built and no test tools installed.
build-program:
	@scripts/deps.sh $(PROGRAM_PKGS)
	cmake -S . -B $(SERVE_BUILD) -DCMAKE_BUILD_TYPE=Release -DNOTES_TESTS=OFF
	cmake --build $(SERVE_BUILD) -j$(JOBS) --target plugin_notes

serve: build-program
	BUILD=$(SERVE_BUILD) scripts/serve.sh

fuzz: deps
	scripts/fuzz.sh

bench: deps
	scripts/bench.sh

soak: build
	scripts/soak.sh

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(SERVE_BUILD) $(WIN_BUILD) build-fuzz build-bench
