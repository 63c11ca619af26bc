# The front door. Every job installs what it needs on a fresh Debian 12
# machine, builds what it uses, then runs. PYTHON= picks the Python 2.7.
BUILD := build
SYSROOT := $(BUILD)/armhf/sysroot
JOBS ?= 2
# ctest runs the Python suites in parallel; each is a separate interpreter.
CTEST := ctest --output-on-failure -j $(JOBS)
FIND_PYTHON := scripts/find-python
ASAN_RUNTIME = $(shell gcc -print-file-name=libasan.so)
ASAN_ENVIRONMENT = KORVANE_SANITIZED=1;LD_PRELOAD=$(ASAN_RUNTIME);ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1;UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# $(call configure,BUILD_SUBDIRECTORY,EXTRA_CMAKE_OPTIONS): every build of
# the project's own is warning-free, against the Python 2.7 found here.
configure = py=$$($(FIND_PYTHON)) && cmake -S . -B $(BUILD)/$(1) -DPYTHON_EXECUTABLE="$$py" \
    -DKORVANE_WERROR=ON $(2) >/dev/null

MAKEFLAGS += --no-print-directory
CXX_SOURCES := $(wildcard src/*.cpp src/*.h tests/*.cpp bench/*.cpp)

.PHONY: build demo test test-native armhf test-armhf asan lint wheels test-wheels bench clean

# Native x86-64 module, left at Korvane/rand.so so that the repository root
# is importable as it stands.
build:
	scripts/install-deps native
	$(call configure,x86_64,-DKORVANE_OUTPUT_DIR="$(CURDIR)/Korvane" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
	cmake --build $(BUILD)/x86_64 -j $(JOBS)

demo: build
	PYTHONPATH="$(CURDIR)" "$$($(FIND_PYTHON))" demo/demo.py

test-native: build
	$(CTEST) --test-dir $(BUILD)/x86_64

# 32-bit ARM (ARMv6, VFPv2, hard-float) module in build/armhf/Korvane.
armhf:
	scripts/install-deps native armhf
	scripts/make-sysroot $(SYSROOT)
	$(call configure,armhf,-DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake -DKORVANE_SYSROOT="$(CURDIR)/$(SYSROOT)")
	cmake --build $(BUILD)/armhf -j $(JOBS)

test-armhf: armhf
	$(CTEST) --test-dir $(BUILD)/armhf

# The native module with AddressSanitizer and UndefinedBehaviorSanitizer,
# and the whole suite against it: any report fails the run.
asan:
	scripts/install-deps native
	$(call configure,asan,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_SANITIZE=ON \
	    -DKORVANE_TEST_ENVIRONMENT="$(ASAN_ENVIRONMENT)")
	cmake --build $(BUILD)/asan -j $(JOBS)
	$(CTEST) --test-dir $(BUILD)/asan

# Formatting, clang-tidy and cppcheck: quiet, or the job fails.
lint: build
	scripts/install-deps lint
	clang-format --dry-run -Werror $(CXX_SOURCES)
	@out=$$(clang-tidy --quiet -p $(BUILD)/x86_64 src/*.cpp 2>&1); status=$$?; \
	    printf '%s\n' "$$out" | grep -v 'warnings generated'; exit $$status
	cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability \
	    --std=c++17 --language=c++ --inline-suppr --suppress=missingIncludeSystem -I src src/*.cpp src/*.h

# Wheels for both targets in dist/, tagged for the interpreter each was
# built for (an ARMv6 board's pip looks for linux_armv6l).
wheels: build armhf
	rm -f dist/Korvane-*.whl
	py=$$($(FIND_PYTHON)) && "$$py" scripts/build-wheel Korvane dist - "$$py" && \
	    "$$py" scripts/build-wheel $(BUILD)/armhf/Korvane dist linux_armv6l \
	        qemu-arm -L $(SYSROOT) $(SYSROOT)/usr/bin/python2.7

test-wheels: wheels
	scripts/test-wheels "$(CURDIR)/$(SYSROOT)"

test: lint test-wheels test-native test-armhf asan

# Figures and ratios of bytes() against RAND_bytes from C and os.urandom;
# it prints, it never fails over a time.
bench: build
	cmake --build $(BUILD)/x86_64 --target rand_bytes_floor
	PYTHONPATH="$(CURDIR)" "$$($(FIND_PYTHON))" bench/bench.py $(BUILD)/x86_64/rand_bytes_floor

clean:
	rm -rf $(BUILD) dist Korvane/rand.so
