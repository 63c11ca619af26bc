# The front door. Every job installs what it needs from Debian's archive on a
# fresh Debian 12 machine, makes the Debian 11 trees it builds against
# (scripts/make-tree), builds, then runs. The machine needs no Python 2.7:
# the trees bring the distribution's own. Where it has one (PYTHON=, a
# python2.7 on PATH, pyenv), the module is built and tested against that
# one and its libcrypto too. OPENSSL_ROOT_DIR= picks another libcrypto.
BUILD := build
TREES ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/korvane-trees
JOBS ?= 2
# libcrypto 1.0.2's release tarball (openssl-1.0.2s.tar.gz): what needs it
# stops without it, or is skipped by make test.
LIBCRYPTO10_SOURCE ?= $(abspath ../shared/openssl-1.0.2s.tar.gz)
# The generations of libcrypto that the wheels carry a build for.
GENERATIONS ?= 3 1.1 1.0
# The Debian 11 targets: each architecture's tree, the Debian 12 one whose
# libcrypto 3 builds link, and the libcrypto prefixes made for it (beside
# the trees, outside the checkout).
# The targets, each with its Debian architecture and wheel platforms, from
# the table of targets.
TARGETS := $(shell awk '!/^\#/ && NF {print $$1}' scripts/targets.txt)
$(foreach line,$(shell awk '!/^\#/ && NF {print $$1 "=" $$2 "=" $$4}' scripts/targets.txt), \
    $(eval ARCH_$(word 1,$(subst =, ,$(line))) := $(word 2,$(subst =, ,$(line)))) \
    $(eval PLATFORM_$(word 1,$(subst =, ,$(line))) := $(word 3,$(subst =, ,$(line)))))
$(foreach target,$(TARGETS),$(eval TREE_$(target) := $(TREES)/bullseye-$(ARCH_$(target))) \
    $(eval BOOKWORM_$(target) := $(TREES)/bookworm-$(ARCH_$(target))) \
    $(eval PREFIX_libcrypto10_$(target) := $(TREES)/openssl-1.0.2s-$(ARCH_$(target))) \
    $(eval PREFIX_libcrypto10-rhel_$(target) := $(PREFIX_libcrypto10_$(target))/so.10) \
    $(eval PREFIX_libcrypto3_$(target) := $(TREES)/libcrypto3-$(ARCH_$(target))))
# ctest runs the Python suites in parallel; each is a separate interpreter.
CTEST := ctest --output-on-failure -j $(JOBS)
FIND_PYTHON := scripts/find-python
ASAN_RUNTIME = $(shell gcc -print-file-name=libasan.so)
ASAN_ENVIRONMENT = KORVANE_SANITIZED=1;LD_PRELOAD=$(ASAN_RUNTIME);ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1;UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# A relative prefix is taken from the directory make was run from.
ifneq ($(OPENSSL_ROOT_DIR),)
override OPENSSL_ROOT_DIR := $(abspath $(if $(filter /%,$(OPENSSL_ROOT_DIR)),,$(or $(PWD),$(CURDIR))/)$(OPENSSL_ROOT_DIR))
endif

# One libcrypto prefix serves one target: the goals that make several builds
# refuse OPENSSL_ROOT_DIR before anything is built.
SEVERAL_BUILDS := test packages test-packages test-source-cp27m
ifneq ($(OPENSSL_ROOT_DIR),)
several := $(filter $(SEVERAL_BUILDS),$(MAKECMDGOALS))
ifneq ($(several),)
one_build := make x86_64, armhf, aarch64, asan, host, demo, bench, or test-NAME of one of them
$(error OPENSSL_ROOT_DIR=$(OPENSSL_ROOT_DIR) is for one target, but `make $(several)` makes builds for several: give it to one build ($(one_build)); the builds against libcrypto 1.0.2 are made from its source, LIBCRYPTO10_SOURCE=)
endif
endif

# A PYTHON= that cannot serve is refused before anything is built.
ifneq ($(PYTHON),)
python_problem := $(shell PYTHON='$(PYTHON)' $(FIND_PYTHON) 2>&1 >/dev/null)
ifneq ($(python_problem),)
$(error $(python_problem))
endif
endif

# The builds form a grid: a target (x86-64 or 32-bit ARM, each on its
# Debian 11 tree) by a libcrypto: the tree's own 1.1 (or OPENSSL_ROOT_DIR's),
# and a column for each other generation that the wheels carry, each built
# against the prefix that make_prefix_COLUMN makes: 3 from Debian 12's
# packages, 1.0.2 from LIBCRYPTO10_SOURCE, and the same 1.0.2 under the
# soname of RHEL 7 and Amazon Linux 2 (x86-64 alone). Beside them, the
# sanitizer build and the machine's own Python. Build NAME lives in
# build/NAME; test-NAME runs its whole suite, for the builds whose tree can
# run them: libcrypto 3 needs a newer C library than Debian 11's, and its
# builds, like every other, are tested from the wheels (test-packages).
COLUMNS_x86_64 := libcrypto3 libcrypto10 libcrypto10-rhel
COLUMNS_armhf := libcrypto3 libcrypto10
COLUMNS_aarch64 := libcrypto3 libcrypto10 libcrypto10-rhel
GENERATION_libcrypto3 := 3
GENERATION_libcrypto10 := 1.0
GENERATION_libcrypto10-rhel := 1.0
$(foreach target,$(TARGETS),$(eval GENERATION_$(target) := 1.1) \
    $(foreach column,$(COLUMNS_$(target)),$(eval GENERATION_$(target)-$(column) := $(GENERATION_$(column)))))
COLUMN_BUILDS := $(foreach target,$(TARGETS),$(COLUMNS_$(target):%=$(target)-%))
BUILDS := $(TARGETS) asan host $(COLUMN_BUILDS)
SUITE_BUILDS := $(TARGETS) asan host x86_64-libcrypto10 armhf-libcrypto10
# $(call make_prefix_COLUMN,TARGET): makes the column's libcrypto for TARGET.
make_prefix_libcrypto3 = scripts/make-tree --suites=bookworm $(ARCH_$(1)) "$(BOOKWORM_$(1))" libssl-dev,zlib1g && \
    scripts/make-libcrypto3 $(ARCH_$(1)) "$(BOOKWORM_$(1))" "$(PREFIX_libcrypto3_$(1))"
make_prefix_libcrypto10 = scripts/make-libcrypto10 $(ARCH_$(1)) "$(TREE_$(1))" "$(PREFIX_libcrypto10_$(1))" \
    "$(LIBCRYPTO10_SOURCE)"
make_prefix_libcrypto10-rhel = $(make_prefix_libcrypto10)
# Test programs cannot link Debian 12's libcrypto 3 against Debian 11's C
# library: those builds make the module alone.
CMAKE_OPTIONS_libcrypto3 := -DKORVANE_TESTS=OFF

# $(call configure,BUILD_NAME,PYTHON,LIBCRYPTO_PREFIX,EXTRA_CMAKE_OPTIONS):
# every build of the project's own is warning-free, hardened with
# dpkg-buildflags' flags, and links the libcrypto it is given, or the
# platform's when none is.
configure = cmake -S . -B $(BUILD)/$(1) -DPYTHON_EXECUTABLE="$(2)" -DKORVANE_WERROR=ON -DKORVANE_BUILDFLAGS=REQUIRED \
    -DOPENSSL_ROOT_DIR="$(3)" $(4) >/dev/null
# $(call prepare,TARGET): what a build for a Debian 11 TARGET needs
# installed and made. The x86-64 tree's interpreter does the build
# machine's Python work for every target.
DEPENDENCIES_x86_64 := native tree bench
DEPENDENCIES_armhf := native tree armhf
DEPENDENCIES_aarch64 := native tree aarch64
prepare = scripts/install-deps $(DEPENDENCIES_$(1)) && \
    $(foreach target,$(sort x86_64 $(1)),scripts/make-tree $(ARCH_$(target)) "$(TREE_$(target))" &&) true
# $(call tree_build,BUILD_NAME,TARGET,LIBCRYPTO_PREFIX,EXTRA_CMAKE_OPTIONS):
# a build against a Debian 11 target's tree. A build directory made against
# trees elsewhere (TREES=) is configured afresh: CMake keeps what it found
# of the compiler in the old tree.
tree_build = $(call prepare,$(2)) && \
    { grep -qxF 'KORVANE_SYSROOT:PATH=$(TREE_$(2))' $(BUILD)/$(1)/CMakeCache.txt 2>/dev/null || \
        rm -rf $(BUILD)/$(1)/CMakeCache.txt $(BUILD)/$(1)/CMakeFiles; } && \
    $(call configure,$(1),$(TREE_x86_64)/python2.7,$(3),-DCMAKE_TOOLCHAIN_FILE=cmake/debian11-$(2).cmake \
        -DKORVANE_SYSROOT="$(TREE_$(2))" $(4)) && \
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
$(foreach target,$(TARGETS),$(foreach column,libcrypto10 libcrypto10-rhel, \
    $(eval precondition_$(target)-$(column) = $$(precondition_libcrypto10))))

MAKEFLAGS += --no-print-directory
CXX_SOURCES := $(wildcard src/*.cpp src/*.h tests/*.cpp bench/*.cpp)

.PHONY: build demo test $(BUILDS) $(SUITE_BUILDS:%=test-%) lint lint-checks packages sdist \
    test-packages package-test-systems python-from-source python-musl test-source-cp27m bench clean

# x86-64 Debian 11 with the distribution's Python 2.7 and libcrypto 1.1: the
# module left at Korvane/rand.so, so that the repository root is importable
# as it stands, and build/x86_64/python2.7, the tree's interpreter with the
# module importable.
build: x86_64
x86_64:
	$(call tree_build,x86_64,x86_64,$(OPENSSL_ROOT_DIR),-DKORVANE_OUTPUT_DIR="$(CURDIR)/Korvane" \
	    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)

demo: build
	$(BUILD)/x86_64/python2.7 demo/demo.py

# 32-bit ARM (ARMv6, VFPv2, hard-float) and 64-bit ARM on Debian 11, in
# build/armhf/Korvane and build/aarch64/Korvane.
armhf aarch64:
	$(call tree_build,$@,$@,$(OPENSSL_ROOT_DIR))

# The x86-64 Debian 11 module with AddressSanitizer and
# UndefinedBehaviorSanitizer: any report fails its suite.
asan:
	$(call tree_build,asan,x86_64,$(OPENSSL_ROOT_DIR),-DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DKORVANE_SANITIZE=ON -DKORVANE_TEST_ENVIRONMENT="$(ASAN_ENVIRONMENT)")

# x86-64 against the machine's own Python 2.7 and libcrypto (3.0 on Debian
# 12), in build/host/Korvane, where the machine has such a Python.
host:
	@$(precondition_host) scripts/install-deps native && \
	    $(call configure,host,$$py,$(OPENSSL_ROOT_DIR)) && cmake --build $(BUILD)/host -j $(JOBS)

# Each Debian 11 target against the libcrypto of each of its columns, made
# once and kept beside the trees.
define column_build
$(1)-$(2):
	@$$(precondition_$(1)-$(2)) $$(call prepare,$(1)) && $$(call make_prefix_$(2),$(1)) && \
	    $$(call tree_build,$(1)-$(2),$(1),$$(PREFIX_$(2)_$(1)),$$(CMAKE_OPTIONS_$(2)))
endef
$(foreach target,$(TARGETS),$(foreach column,$(COLUMNS_$(target)),$(eval $(call column_build,$(target),$(column)))))

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
PYTHON_FILES := setup.py scripts/build-wheel scripts/build-sdist $(wildcard Korvane/*.py tests/*.py tests/support/*.py bench/*.py demo/*.py)
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

# What users install, in dist/: one wheel per target, holding its build for
# each of GENERATIONS (the ARMv6 module runs on every 32-bit Raspberry Pi,
# whose pip looks for linux_armv6l on a Pi 1 or Zero and linux_armv7l on the
# others); a Debian package for each target's 1.1 build; and the source
# distribution. A wheel that lacks a generation is made only when asked for.
# $(call wheel_builds,TARGET): the target's builds of GENERATIONS.
wheel_builds = $(foreach build,$(1) $(COLUMNS_$(1):%=$(1)-%),$(if $(filter $(GENERATION_$(build)),$(GENERATIONS)),$(build)))
# $(call package_dir,BUILD_NAME): the package directory a build leaves.
package_dir = $(if $(filter x86_64,$(1)),Korvane,$(BUILD)/$(1)/Korvane)
# $(call wheel,TARGET)
wheel = "$(TREE_x86_64)/python2.7" scripts/build-wheel dist $(PLATFORM_$(1)) \
    $(foreach build,$(call wheel_builds,$(1)),$(call package_dir,$(build)))
# $(call deb,BUILD_NAME,TARGET)
deb = scripts/build-deb $(call package_dir,$(1)) dist $(ARCH_$(2)) "$(TREE_$(2))"
ifneq ($(filter 1.0,$(GENERATIONS)),)
ifeq ($(wildcard $(LIBCRYPTO10_SOURCE)),)
ifneq ($(filter packages test-packages test-source-cp27m,$(MAKECMDGOALS)),)
$(error The wheels would lack libcrypto 1.0's builds: no source at $(LIBCRYPTO10_SOURCE). Give LIBCRYPTO10_SOURCE= the release openssl-1.0.2s.tar.gz, or say which generations to build: GENERATIONS="3 1.1")
endif
endif
endif
packages: $(sort $(TARGETS) $(foreach target,$(TARGETS),$(call wheel_builds,$(target))))
	scripts/install-deps debian-packages
	rm -rf dist
	$(foreach target,$(TARGETS),$(call wheel,$(target)) &&) true
	$(MAKE) sdist
	@# Any Python makes the same tarball: Debian 11's 2.7 too.
	"$(TREE_x86_64)/python2.7" scripts/build-sdist $(BUILD)/sdist-python2.7 >/dev/null
	cmp dist/Korvane-$(file <Korvane/VERSION).tar.gz $(BUILD)/sdist-python2.7/Korvane-$(file <Korvane/VERSION).tar.gz
	$(foreach target,$(TARGETS),$(call deb,$(target),$(target)) >/dev/null &&) true
	lintian --fail-on error --info dist/*.deb

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
test-packages: packages package-test-systems python-from-source $(if $(filter 1.0,$(GENERATIONS)),python-musl)
	@$(stage) $(call test_packages)

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
# for the 1.0 build of the x86-64 wheel.
python-musl: python-from-source
	@$(precondition_libcrypto10) scripts/install-deps python-source && \
	    $(stage) scripts/make-python-musl "$(PYTHON_SOURCE)" "$(LIBCRYPTO10_SOURCE)" \
	        "$(TREES)/openssl-1.0.2s-musl" "$(TREES)/python2.7-musl"
test-source-cp27m: packages python-from-source
	@$(stage) scripts/test-source-build "$(PYTHON_FROM_SOURCE)/bin/python2.7" dist/Korvane-$(file <Korvane/VERSION).tar.gz \
	    "$(TREE_x86_64)" dist/Korvane-$(file <Korvane/VERSION)-cp27-cp27m.cp27mu-$(PLATFORM_x86_64).whl

# Runs JOBS stages at a time, each one's output kept together, with a line
# as each starts and ends, and ends on the x86-64 suite's ctest summary,
# which CI reads: that suite runs once every other stage is done.
TEST_STAGES := lint test-packages test-source-cp27m $(filter-out test-x86_64,$(SUITE_BUILDS:%=test-%))
# Without libcrypto 1.0.2's source, the packages are tested without it.
TEST_GENERATIONS := $(if $(wildcard $(LIBCRYPTO10_SOURCE)),$(GENERATIONS),$(filter-out 1.0,$(GENERATIONS)))
test:
	@[ "$(TEST_GENERATIONS)" = "$(GENERATIONS)" ] || echo "make: the packages are tested without" \
	    "libcrypto 1.0's builds: no source at $(LIBCRYPTO10_SOURCE) (LIBCRYPTO10_SOURCE=)"
	@$(MAKE) --jobs=$(JOBS) --output-sync=target GENERATIONS="$(TEST_GENERATIONS)" $(TEST_STAGES) 3>&1
	@echo "make: test-x86_64 started, last: its summary ends the run"
	@$(CTEST) --test-dir $(BUILD)/x86_64

# Figures and ratios of bytes() against RAND_bytes from C and os.urandom,
# in instructions and in time, for the x86-64 Debian 11 build; it prints,
# it never fails over a figure.
bench: x86_64
	cmake --build $(BUILD)/x86_64 --target bench

clean:
	rm -rf $(BUILD) dist Korvane.egg-info Korvane/rand.so
