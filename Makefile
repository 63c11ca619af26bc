# The front door. Every job installs what it needs from Debian's archive on a
# fresh Debian 12 machine, makes the Debian 11 trees it builds against
# (scripts/make-tree), builds, then runs. The machine needs no Python 2.7:
# the trees bring the distribution's own. Where it has one (PYTHON=, a
# python2.7 on PATH, pyenv), the module is built and tested against that
# one and its libcrypto too. OPENSSL_ROOT_DIR= picks another libcrypto.
BUILD := build
TREES ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/korvane-trees
TREE_X86_64 := $(TREES)/bullseye-amd64
TREE_ARMHF := $(TREES)/bullseye-armhf
JOBS ?= 2
# ctest runs the Python suites in parallel; each is a separate interpreter.
CTEST := ctest --output-on-failure -j $(JOBS)
FIND_PYTHON := scripts/find-python
ASAN_RUNTIME = $(shell gcc -print-file-name=libasan.so)
ASAN_ENVIRONMENT = KORVANE_SANITIZED=1;LD_PRELOAD=$(ASAN_RUNTIME);ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1;UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Starts a recipe that needs the machine's own Python 2.7: sets $py, or
# ends the recipe with a message that says why it was skipped.
with_host_python = py=$$($(FIND_PYTHON)) || exit 1; if [ -z "$$py" ]; then \
    echo "$@: skipped: this machine has no Python 2.7 of its own (PYTHON=, a python2.7 on PATH, or pyenv's)"; \
    exit 0; fi;

# A PYTHON= that cannot serve is refused before anything is built.
ifneq ($(PYTHON),)
python_problem := $(shell PYTHON='$(PYTHON)' $(FIND_PYTHON) 2>&1 >/dev/null)
ifneq ($(python_problem),)
$(error $(python_problem))
endif
endif

# $(call configure,BUILD_SUBDIRECTORY,PYTHON,EXTRA_CMAKE_OPTIONS): every
# build of the project's own is warning-free.
configure = cmake -S . -B $(BUILD)/$(1) -DPYTHON_EXECUTABLE="$(2)" -DKORVANE_WERROR=ON \
    $(if $(OPENSSL_ROOT_DIR),-DOPENSSL_ROOT_DIR="$(OPENSSL_ROOT_DIR)") $(3) >/dev/null
# $(call against_tree,TARGET,TREE): the toolchain of a Debian 11 target.
against_tree = -DCMAKE_TOOLCHAIN_FILE=cmake/debian11-$(1).cmake -DKORVANE_SYSROOT="$(2)"

MAKEFLAGS += --no-print-directory
CXX_SOURCES := $(wildcard src/*.cpp src/*.h tests/*.cpp bench/*.cpp)

.PHONY: build demo test test-x86_64 host test-host armhf test-armhf asan lint packages \
    test-packages bench clean

# x86-64 Debian 11 with the distribution's Python 2.7 and libcrypto 1.1: the
# module left at Korvane/rand.so, so that the repository root is importable
# as it stands, and build/x86_64/python2.7, the tree's interpreter with the
# module importable.
build:
	scripts/install-deps native tree
	scripts/make-tree amd64 "$(TREE_X86_64)"
	$(call configure,x86_64,$(TREE_X86_64)/python2.7,$(call against_tree,x86_64,$(TREE_X86_64)) \
	    -DKORVANE_OUTPUT_DIR="$(CURDIR)/Korvane" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
	cmake --build $(BUILD)/x86_64 -j $(JOBS)

demo: build
	$(BUILD)/x86_64/python2.7 demo/demo.py

test-x86_64: build
	$(CTEST) --test-dir $(BUILD)/x86_64

# x86-64 against the machine's own Python 2.7 and libcrypto (3.0 on Debian
# 12), in build/host/Korvane, where the machine has such a Python.
host:
	@$(with_host_python) scripts/install-deps native && $(call configure,host,$$py) && \
	    cmake --build $(BUILD)/host -j $(JOBS)

test-host: host
	@$(with_host_python) $(CTEST) --test-dir $(BUILD)/host

# 32-bit ARM (ARMv6, VFPv2, hard-float) on Debian 11, in build/armhf/Korvane.
armhf: build
	scripts/install-deps armhf
	scripts/make-tree armhf "$(TREE_ARMHF)"
	$(call configure,armhf,$(TREE_X86_64)/python2.7,$(call against_tree,armhf,$(TREE_ARMHF)))
	cmake --build $(BUILD)/armhf -j $(JOBS)

test-armhf: armhf
	$(CTEST) --test-dir $(BUILD)/armhf

# The x86-64 Debian 11 module with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the whole suite against it: any report
# fails the run.
asan: build
	$(call configure,asan,$(TREE_X86_64)/python2.7,$(call against_tree,x86_64,$(TREE_X86_64)) \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_SANITIZE=ON \
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

# What users install, in dist/: a wheel for each Debian 11 target, tagged
# for the interpreter each was built for (an ARMv6 board's pip looks for
# linux_armv6l), and the source distribution.
packages: build armhf
	rm -rf dist
	"$(TREE_X86_64)/python2.7" scripts/build-wheel Korvane dist - "$(TREE_X86_64)/python2.7"
	"$(TREE_X86_64)/python2.7" scripts/build-wheel $(BUILD)/armhf/Korvane dist linux_armv6l "$(TREE_ARMHF)/python2.7"
	scripts/tree-pip "$(TREE_X86_64)" --python setup.py -q sdist --dist-dir dist
	rm -rf Korvane.egg-info

# Each package installed by pip as its users install it, then every suite
# run from the installed copy.
test-packages: packages
	scripts/test-packages "$(TREE_X86_64)" "$(TREE_ARMHF)"

# Ends on a ctest summary, which CI reads.
test: lint test-packages test-x86_64 test-host test-armhf asan

# Figures and ratios of bytes() against RAND_bytes from C and os.urandom,
# in instructions and in time, for the x86-64 Debian 11 build; it prints,
# it never fails over a figure.
bench: build
	scripts/install-deps bench
	cmake --build $(BUILD)/x86_64 --target bench

clean:
	rm -rf $(BUILD) dist Korvane.egg-info Korvane/rand.so
