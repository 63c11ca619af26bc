# The front door. Every job installs what it needs from Debian's archive on a
# fresh Debian 12 machine, makes the Debian 11 trees it builds against
# (scripts/make-tree), builds, then runs. The machine needs no Python 2.7:
# the trees bring the distribution's own. Where it has one (PYTHON=, a
# python2.7 on PATH, pyenv), the module is built and tested against that
# one too.
BUILD := build
TREES ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/korvane-trees
JOBS ?= 2
# libcrypto 1.0.2's release tarball (openssl-1.0.2s.tar.gz), from which the
# suites' second libcrypto and the package systems' are made: without it,
# they are tested on the others alone.
LIBCRYPTO10_SOURCE ?= $(abspath ../shared/openssl-1.0.2s.tar.gz)
# The Debian 11 targets, each with its Debian architecture and wheel
# platforms, from the table of targets; each architecture's tree and the
# libcrypto 1.0.2 made for it (beside the trees, outside the checkout).
TARGETS := $(shell awk '!/^\#/ && NF {print $$1}' scripts/targets.txt)
$(foreach line,$(shell awk '!/^\#/ && NF {print $$1 "=" $$2 "=" $$4}' scripts/targets.txt), \
    $(eval ARCH_$(word 1,$(subst =, ,$(line))) := $(word 2,$(subst =, ,$(line)))) \
    $(eval PLATFORM_$(word 1,$(subst =, ,$(line))) := $(word 3,$(subst =, ,$(line)))))
$(foreach target,$(TARGETS),$(eval TREE_$(target) := $(TREES)/bullseye-$(ARCH_$(target))) \
    $(eval PREFIX_libcrypto10_$(target) := $(TREES)/openssl-1.0.2s-$(ARCH_$(target))))
# ctest runs the Python suites in parallel; each is a separate interpreter.
CTEST := ctest --output-on-failure -j $(JOBS)
FIND_PYTHON := scripts/find-python
ASAN_RUNTIME = $(shell gcc -print-file-name=libasan.so)
ASAN_ENVIRONMENT = KORVANE_SANITIZED=1;LD_PRELOAD=$(ASAN_RUNTIME);ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1;UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# A PYTHON= that cannot serve is refused before anything is built.
ifneq ($(PYTHON),)
python_problem := $(shell PYTHON='$(PYTHON)' $(FIND_PYTHON) 2>&1 >/dev/null)
ifneq ($(python_problem),)
$(error $(python_problem))
endif
endif

# One build per target, each on its Debian 11 tree, beside the sanitizer
# build and the machine's own Python. None links a libcrypto: the module
# binds to the process's own when it is imported, so the generations are a
# dimension of the tests, not of the builds. Build NAME lives in
# build/NAME; test-NAME runs its whole suite, which on x86-64 and 32-bit
# ARM runs again on libcrypto 1.0.2, made from LIBCRYPTO10_SOURCE.
BUILDS := $(TARGETS) asan host
SUITE_BUILDS := $(BUILDS)
TEST_LIBCRYPTO10_TARGETS := x86_64 armhf
# $(call make_prefix_libcrypto10,TARGET): makes libcrypto 1.0.2 for TARGET.
make_prefix_libcrypto10 = scripts/make-libcrypto10 $(ARCH_$(1)) "$(TREE_$(1))" "$(PREFIX_libcrypto10_$(1))" \
    "$(LIBCRYPTO10_SOURCE)"
# $(call test_libcrypto10,TARGET): makes it where the target's suite runs on
# it too, and where its source is, and names it to CMake.
test_libcrypto10 = $(if $(and $(filter $(1),$(TEST_LIBCRYPTO10_TARGETS)),$(wildcard $(LIBCRYPTO10_SOURCE))), \
    $(call prepare,$(1)) && $(call make_prefix_libcrypto10,$(1)) &&)
test_libcrypto10_option = -DKORVANE_TEST_LIBCRYPTOS="$(if $(and $(filter $(1),$(TEST_LIBCRYPTO10_TARGETS)), \
    $(wildcard $(LIBCRYPTO10_SOURCE))),libcrypto10=$(PREFIX_libcrypto10_$(1))/lib/libcrypto.so.1.0.0)"

# $(call configure,BUILD_NAME,PYTHON,EXTRA_CMAKE_OPTIONS): every build of
# the project's own is warning-free and hardened with dpkg-buildflags' flags.
configure = cmake -S . -B $(BUILD)/$(1) -DPYTHON_EXECUTABLE="$(2)" -DKORVANE_WERROR=ON -DKORVANE_BUILDFLAGS=REQUIRED \
    $(3) >/dev/null
# $(call prepare,TARGET): what a build for a Debian 11 TARGET needs
# installed and made. The x86-64 tree's interpreter does the build
# machine's Python work for every target.
DEPENDENCIES_x86_64 := native tree bench
DEPENDENCIES_armhf := native tree armhf
DEPENDENCIES_aarch64 := native tree aarch64
prepare = scripts/install-deps $(DEPENDENCIES_$(1)) && \
    $(foreach target,$(sort x86_64 $(1)),scripts/make-tree $(ARCH_$(target)) "$(TREE_$(target))" &&) true
# $(call tree_build,BUILD_NAME,TARGET,EXTRA_CMAKE_OPTIONS): a build against
# a Debian 11 target's tree. A build directory made against trees elsewhere
# (TREES=) is configured afresh: CMake keeps what it found of the compiler
# in the old tree.
tree_build = $(call prepare,$(2)) && \
    { grep -qxF 'KORVANE_SYSROOT:PATH=$(TREE_$(2))' $(BUILD)/$(1)/CMakeCache.txt 2>/dev/null || \
        rm -rf $(BUILD)/$(1)/CMakeCache.txt $(BUILD)/$(1)/CMakeFiles; } && \
    $(call configure,$(1),$(TREE_x86_64)/python2.7,-DCMAKE_TOOLCHAIN_FILE=cmake/debian11-$(2).cmake \
        -DKORVANE_SYSROOT="$(TREE_$(2))" $(3)) && \
    cmake --build $(BUILD)/$(1) -j $(JOBS)

# Start a recipe whose build needs something this machine may lack: each
# ends the recipe with a message that says why it was skipped.
# The machine's own Python 2.7, in $py:
precondition_host = py=$$($(FIND_PYTHON)) || exit 1; if [ -z "$$py" ]; then \
    echo "$@: skipped: this machine has no Python 2.7 of its own (PYTHON=, a python2.7 on PATH, or pyenv's)"; \
    exit 0; fi;

# libcrypto 1.0.2's source:
precondition_libcrypto10 = if [ ! -f "$(LIBCRYPTO10_SOURCE)" ]; then \
    echo "$@: skipped what needs libcrypto 1.0.2: no source at $(LIBCRYPTO10_SOURCE) (LIBCRYPTO10_SOURCE=)"; \
    exit 0; fi;

MAKEFLAGS += --no-print-directory
CXX_SOURCES := $(wildcard src/*.cpp src/*.h tests/*.cpp bench/*.cpp)

.PHONY: build demo test $(BUILDS) $(SUITE_BUILDS:%=test-%) lint lint-checks packages sdist \
    test-packages package-test-systems libcrypto10 python-from-source python-musl test-source-cp27m bench clean

# x86-64 Debian 11 with the distribution's Python 2.7 and libcrypto 1.1: the
# module left at Korvane/rand.so, so that the repository root is importable
# as it stands, and build/x86_64/python2.7, the tree's interpreter with the
# module importable.
build: x86_64
x86_64:
	$(call test_libcrypto10,x86_64) $(call tree_build,x86_64,x86_64,-DKORVANE_OUTPUT_DIR="$(CURDIR)/Korvane" \
	    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON $(call test_libcrypto10_option,x86_64))

demo: build
	$(BUILD)/x86_64/python2.7 demo/demo.py

# 32-bit ARM (ARMv6, VFPv2, hard-float) and 64-bit ARM on Debian 11, in
# build/armhf/Korvane and build/aarch64/Korvane.
armhf aarch64:
	$(call test_libcrypto10,$@) $(call tree_build,$@,$@,$(call test_libcrypto10_option,$@))

# The x86-64 Debian 11 module with AddressSanitizer and
# UndefinedBehaviorSanitizer: any report fails its suite.
asan:
	$(call tree_build,asan,x86_64,-DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DKORVANE_SANITIZE=ON -DKORVANE_TEST_ENVIRONMENT="$(ASAN_ENVIRONMENT)")

# x86-64 against the machine's own Python 2.7 and whatever libcrypto it
# uses (3.0 on Debian 12), in build/host/Korvane, where the machine has
# such a Python.
host:
	@$(precondition_host) scripts/install-deps native && \
	    $(call configure,host,$$py) && cmake --build $(BUILD)/host -j $(JOBS)

# Announces a long stage of make test as it starts and as it ends.
stage = scripts/stage $@

$(SUITE_BUILDS:%=test-%): test-%: %
	@$(precondition_$*) $(stage) $(CTEST) --test-dir $(BUILD)/$*

# Every language's linter, quiet or the job fails: clang-format, clang-tidy
# and cppcheck on the C++; shellcheck on every shell script, from warnings
# up (its notes flag the scripts that the scripts hand to sh -c, quoted on
# purpose); pyflakes 2 (the last to read Python 2.7, Debian 11's) on every
# Python file, run by Debian 11's python2.7 in a tree of its own.
SHELL_SCRIPTS := .ci/run debian/postinst debian/prerm tests/support/dpkg-buildflags-1.18 \
    $(filter-out scripts/build-wheel scripts/build-sdist %.txt,$(wildcard scripts/*))
PYTHON_FILES := setup.py scripts/build-wheel scripts/build-sdist $(wildcard Korvane/*.py tests/*.py tests/support/*.py \
    tests/support/*/*.py bench/*.py demo/*.py)
LINT_TREE := $(TREES)/bullseye-amd64-lint
PYFLAKES := "$(LINT_TREE)/python2.7" -c 'import sys; sys.path[:0] = ["$(LINT_TREE)/usr/lib/python3/dist-packages"]; \
    from pyflakes.api import main; main(prog="pyflakes")'
lint: x86_64
	@scripts/install-deps lint
	@scripts/make-tree amd64 "$(LINT_TREE)" python2.7,python3-pyflakes
	@$(stage) $(MAKE) lint-checks
lint-checks:
	shellcheck -x --source-path=SCRIPTDIR --severity=warning $(SHELL_SCRIPTS)
	$(PYFLAKES) $(PYTHON_FILES)
	clang-format --dry-run -Werror $(CXX_SOURCES)
	@out=$$(clang-tidy --quiet -p $(BUILD)/x86_64 src/*.cpp 2>&1); status=$$?; \
	    printf '%s\n' "$$out" | grep -v 'warnings generated'; exit $$status
	cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability \
	    --std=c++11 --language=c++ --inline-suppr --suppress=missingIncludeSystem -I src src/*.cpp src/*.h

# What users install, in dist/: each target's wheels, one for each set of
# platform tags of scripts/targets.txt (a manylinux tag that an index takes
# and pip 8.1 or later knows, and the linux_ tag that every pip takes by
# file, musl's too; the ARMv6 module runs on every 32-bit Raspberry Pi,
# whose pip looks for linux_armv6l on a Pi 1 or Zero and linux_armv7l on the
# others), all of one module; a Debian package for each target; and the
# source distribution.
# $(call package_dir,TARGET): the package directory a build leaves.
package_dir = $(if $(filter x86_64,$(1)),Korvane,$(BUILD)/$(1)/Korvane)
# $(call wheels,TARGET)
wheels = $(foreach platforms,$(subst $(comma), ,$(PLATFORM_$(1))), \
    "$(TREE_x86_64)/python2.7" scripts/build-wheel dist $(platforms) $(call package_dir,$(1)) &&)
comma := ,
# $(call deb,TARGET)
deb = scripts/build-deb $(call package_dir,$(1)) dist $(ARCH_$(1)) "$(TREE_$(1))"
packages: $(TARGETS)
	scripts/install-deps debian-packages
	rm -rf dist
	$(foreach target,$(TARGETS),$(call wheels,$(target))) true
	$(MAKE) sdist
	@# Any Python makes the same tarball: Debian 11's 2.7 too.
	"$(TREE_x86_64)/python2.7" scripts/build-sdist $(BUILD)/sdist-python2.7 >/dev/null
	cmp dist/Korvane-$(file <Korvane/VERSION).tar.gz $(BUILD)/sdist-python2.7/Korvane-$(file <Korvane/VERSION).tar.gz
	$(foreach target,$(TARGETS),$(call deb,$(target)) >/dev/null &&) true
	lintian --fail-on error --info dist/*.deb
	twine check dist/*.whl dist/*.tar.gz

# The source distribution alone, in a second: scripts/build-sdist, run by
# the machine's Python 3 or 2.7 (no root, trees or cross tools needed),
# else by the x86-64 tree's.
sdist:
	@py=$$(python3 -c 'import sys; print(sys.executable)' 2>/dev/null || $(FIND_PYTHON) --any) || exit 1; \
	    if [ -z "$$py" ]; then $(call prepare,x86_64) && py="$(TREE_x86_64)/python2.7"; fi; \
	    "$$py" scripts/build-sdist dist

# Each package installed as its users install it, then every suite run from
# the installed copy, in systems kept beside the trees: Debian 11, 12 and
# both at once, with the interpreter on each libcrypto; the source
# distribution in Debian 11 systems with their own compiler (with only
# that and the headers, and with pip and dpkg-buildflags too).
PYTHON_SOURCE := $(TREES)/python2.7-source
PYTHON_FROM_SOURCE := $(TREES)/python2.7-default-configure
PYTHON_SHARED := $(TREES)/python2.7-shared-ucs4
test_packages = env TREES="$(TREES)" scripts/test-packages $(1)
package-test-systems:
	@scripts/install-deps package-tests
	@$(stage) $(call test_packages,--systems-only)
test-packages: packages package-test-systems python-from-source $(if $(wildcard $(LIBCRYPTO10_SOURCE)),libcrypto10 python-musl)
	@$(stage) $(call test_packages)
# libcrypto 1.0.2 for every target, which the package systems' interpreters
# are given: made once, beside the trees.
libcrypto10:
	@$(precondition_libcrypto10) $(foreach target,$(TARGETS),$(call prepare,$(target)) && \
	    $(call make_prefix_libcrypto10,$(target)) &&) true

# Pythons 2.7 built from their own source, made once beside the trees: one
# with its default configure (cp27m, static, no libpython2.7.so), as one
# installed in /opt by hand usually is, run here; and one built as pyenv
# and distributions build it (shared, cp27mu), installed in /opt/python2.7
# of a Debian 12 system.
python-from-source:
	@scripts/install-deps python-source
	@$(stage) sh -c 'scripts/make-python-from-source "$(PYTHON_SOURCE)" "$(PYTHON_FROM_SOURCE)" && \
	    scripts/make-python-from-source --installed-at=/opt/python2.7 "$(PYTHON_SOURCE)" "$(PYTHON_SHARED)" \
	        --enable-shared --enable-unicode=ucs4 LDFLAGS=-Wl,-rpath,/opt/python2.7/lib'
# A Python 2.7 built with musl, as Alpine's, its ssl on a musl-built 1.0.2,
# for the x86-64 wheel.
python-musl: python-from-source
	@$(precondition_libcrypto10) scripts/install-deps python-source && \
	    $(stage) scripts/make-python-musl "$(PYTHON_SOURCE)" "$(LIBCRYPTO10_SOURCE)" \
	        "$(TREES)/openssl-1.0.2s-musl" "$(TREES)/python2.7-musl"
test-source-cp27m: packages python-from-source
	@$(stage) scripts/test-source-build "$(PYTHON_FROM_SOURCE)/bin/python2.7" dist/Korvane-$(file <Korvane/VERSION).tar.gz \
	    "$(TREE_x86_64)" dist/Korvane-$(file <Korvane/VERSION)-cp27-cp27m.cp27mu-linux_x86_64.whl

# Runs JOBS stages at a time, each one's output kept together, with a line
# as each starts and ends, and ends on the x86-64 suite's ctest summary,
# which CI reads: that suite runs once every other stage is done.
TEST_STAGES := lint test-packages test-source-cp27m $(filter-out test-x86_64,$(SUITE_BUILDS:%=test-%))
test:
	@[ -f "$(LIBCRYPTO10_SOURCE)" ] || echo "make: everything is tested without libcrypto 1.0.2:" \
	    "no source at $(LIBCRYPTO10_SOURCE) (LIBCRYPTO10_SOURCE=)"
	@$(MAKE) --jobs=$(JOBS) --output-sync=target $(TEST_STAGES) 3>&1
	@echo "make: test-x86_64 started, last: its summary ends the run"
	@$(CTEST) --test-dir $(BUILD)/x86_64

# Figures and ratios of bytes() against RAND_bytes from C and os.urandom,
# in instructions and in time, for the x86-64 Debian 11 build; it prints,
# it never fails over a figure.
bench: x86_64
	cmake --build $(BUILD)/x86_64 --target bench

clean:
	rm -rf $(BUILD) dist Korvane.egg-info Korvane/rand.so
