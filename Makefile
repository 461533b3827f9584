# Thin wrapper over CMake + Ninja. Every target installs what it needs first
# (scripts/install-deps.sh: apt-get as root, else the exact command to run).
BUILD ?= build
WINDOWS_BUILD ?= build-windows
SANITIZE_BUILD ?= build-sanitize
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 180
# The instrumented builds use clang, whose fuzzer and sanitizer runtimes
# libclang-rt-14-dev holds.
CLANG_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DCMAKE_CXX_COMPILER=clang++-14
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
PREFIX ?= /usr/local

.PHONY: all configure test run bench bench-ab deps install package \
	test-package windows windows-package test-windows format check-format \
	test-sanitize test-tsan fuzz clean

all: deps configure
	cmake --build $(BUILD)

configure: $(BUILD)/build.ninja

# Order-only, so that make -j never configures before the packages are in.
$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

deps:
	scripts/install-deps.sh

test: all
	cd $(BUILD) && ctest --output-on-failure

run: all
	./$(BUILD)/burrowlink $(ARGS)

# DESTDIR, when set, is passed on to cmake through the environment.
install: all
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package, $(BUILD)/burrowlink_<version>_<arch>.deb (the only one
# there: test-package checks what it finds).
package:
	scripts/install-deps.sh --package
	$(MAKE) all
	rm -rf $(BUILD)/burrowlink_*.deb $(BUILD)/_CPack_Packages
	# The folders cpack makes follow the umask: 022 for 0755 ones.
	cd $(BUILD) && umask 022 && cpack -G DEB

# The package as Debian's own checker sees it: any error or warning from
# lintian fails; informational tags are only shown.
test-package:
	scripts/install-deps.sh --test-package
	$(MAKE) package
	lintian --fail-on error,warning --display-info $(BUILD)/burrowlink_*.deb

bench:
	scripts/install-deps.sh --bench
	$(MAKE) all
	cmake --build $(BUILD) --target burrowlink_bench_peer burrowlink_relay
	scripts/bench.sh $(BUILD)/burrowlink

# The checkout against revision BASE, interleaved run by run:
#   make bench-ab BASE=e76d02d
bench-ab:
	$(if $(BASE),,$(error give the revision to compare with: make bench-ab BASE=<revision>))
	scripts/install-deps.sh --bench
	$(MAKE) all
	scripts/bench-ab.sh $(BASE) $(BUILD)/burrowlink

# The Windows program, cross-built with MinGW-w64: $(WINDOWS_BUILD)/burrowlink.exe
windows:
	scripts/windows-deps.sh $(WINDOWS_BUILD)
	cmake -S . -B $(WINDOWS_BUILD) -G Ninja \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DBURROWLINK_LINUX_BUILD=$(abspath $(BUILD))
	cmake --build $(WINDOWS_BUILD)

# Its installer and a zip of the same files, for those who don't install:
# $(WINDOWS_BUILD)/burrowlink-<version>-x64.msi and .zip
windows-package:
	scripts/install-deps.sh --windows-package
	$(MAKE) windows
	cmake --build $(WINDOWS_BUILD) --target windows-package

# Its unit tests under Wine, the end-to-end suite driving burrowlink.exe
# with the Linux build as its peer, and the installer's test, each in a
# private network namespace.
test-windows: all windows-package
	cd $(WINDOWS_BUILD) && ctest --output-on-failure

# Rewrites the C++ sources in the repository's clang-format style; the check
# changes nothing, lists the files that differ and fails on any.
format:
	scripts/install-deps.sh --format
	scripts/format.sh

check-format:
	scripts/install-deps.sh --format
	scripts/format.sh --check

# Everything built with AddressSanitizer and UndefinedBehaviorSanitizer, the
# tool that the end-to-end tests start included; any report fails the run.
test-sanitize:
	scripts/install-deps.sh --clang
	cmake -S . -B $(SANITIZE_BUILD) $(CLANG_FLAGS) \
	  -DBURROWLINK_SANITIZE=address,undefined
	cmake --build $(SANITIZE_BUILD)
	scripts/sanitized-test.sh $(SANITIZE_BUILD)

# The same with ThreadSanitizer.
test-tsan:
	scripts/install-deps.sh --clang
	cmake -S . -B $(TSAN_BUILD) $(CLANG_FLAGS) -DBURROWLINK_SANITIZE=thread
	cmake --build $(TSAN_BUILD)
	scripts/sanitized-test.sh $(TSAN_BUILD)

# Each libFuzzer target in fuzz/ for FUZZ_SECONDS; crashes are saved in
# fuzz/regressions/, which the test suite replays.
fuzz:
	scripts/install-deps.sh --clang
	cmake -S . -B $(FUZZ_BUILD) $(CLANG_FLAGS) \
	  -DBURROWLINK_SANITIZE=address,undefined -DBURROWLINK_FUZZ=ON
	cmake --build $(FUZZ_BUILD) --target fuzzers
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz.sh $(FUZZ_BUILD)

clean:
	rm -rf $(BUILD) $(WINDOWS_BUILD) $(SANITIZE_BUILD) $(TSAN_BUILD) \
	  $(FUZZ_BUILD) build-ab
