# The front door: a flat list of jobs, each with its `make help` line. Each
# installs what it needs on a fresh Debian 12 machine, makes the Debian 11
# trees it builds against, builds, then runs. The builds are the lines of
# scripts/builds.txt; PYTHON= names the machine's own Python 2.7 (host).
TREES ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/korvane-trees
JOBS ?= 2
# libcrypto 1.0.2's release tarball, which the suites and package systems
# also run on, made from it; without it, they run on the others alone.
LIBCRYPTO10_SOURCE ?= $(abspath ../shared/openssl-1.0.2s.tar.gz)
export TREES JOBS LIBCRYPTO10_SOURCE

BUILDS := $(shell awk '!/^\#/ && NF {print $$1}' scripts/builds.txt)
VERSION := $(file <Korvane/VERSION)
PYTHON_SOURCE := $(TREES)/python2.7-source
PYTHON_FROM_SOURCE := $(TREES)/python2.7-default-configure
# Each suite is an interpreter of its own: ctest runs them side by side.
CTEST := ctest --output-on-failure -j $(JOBS)
stage = scripts/stage $@
MAKEFLAGS += --no-print-directory
.PHONY: help build demo test test-quick $(BUILDS) lint lint-checks packages sdist test-packages \
    package-test-systems python-source python-from-source python-musl bench clean

help: ## this list
	@sed -n 's/^\([^ :]*\):.*## \(.*\)$$/\1\t\2/p' $(MAKEFILE_LIST) | \
	    sed 's/^\$$(BUILDS)/NAME/; s/^test-%/test-NAME/' | expand -t 22
	@echo "NAME is a build: $(BUILDS)"

demo: x86_64 ## builds the module and shows every method working
	build/x86_64/python2.7 demo/demo.py && echo && build/x86_64/python3 demo/demo.py

test: ## lint, every suite on every build, the packages in every package-test system
	@$(MAKE) TIER= test-quick
test-quick: ## the same, with tier 1's package systems alone: of the Pythons built from source, only musl's
	@[ -f "$(LIBCRYPTO10_SOURCE)" ] || echo "make: everything is tested without libcrypto 1.0.2:" \
	    "no source at $(LIBCRYPTO10_SOURCE) (LIBCRYPTO10_SOURCE=)"
	@# Most stages run one process at a time: twice as many stages as jobs
	@# keep the cores busy. The longest, the package systems, goes first:
	@# the suites wait for the packages, so as not to take its place.
	@$(MAKE) --jobs=$$(($(JOBS) * 2)) --output-sync=target SUITES_AFTER=packages \
	    test-packages lint $(BUILDS:%=test-%) 3>&1
	@echo "make: test-x86_64's summary again, last, where CI reads it:"
	@tail -n 3 build/x86_64/ctest.log

build: x86_64 ## the x86-64 build, its module also at Korvane/rand.so
$(BUILDS): ## build NAME, a line of scripts/builds.txt, in build/NAME
	@scripts/build $@

test-%: % | $(SUITES_AFTER) ## run build NAME's whole suite
	@if [ -f build/$*/CTestTestfile.cmake ]; then $(stage) $(CTEST) --test-dir build/$* --output-log build/$*/ctest.log; \
	    else echo "$@: skipped: build/$* was not made"; fi

# shellcheck from warnings up (its notes flag the scripts handed to sh -c,
# quoted on purpose); pyflakes 2, the last to read Python 2.7, Debian 11's,
# run by its python2.7 in a tree of its own.
SHELL_SCRIPTS := .ci/run $(wildcard debian/*.postinst debian/*.prerm) tests/support/dpkg-buildflags-1.18 \
    $(filter-out scripts/build-wheel scripts/build-sdist scripts/test-packages %.txt,$(wildcard scripts/*))
PYTHON_FILES := setup.py scripts/build-wheel scripts/build-sdist scripts/test-packages tests/run $(wildcard Korvane/*.py tests/*.py \
    tests/support/*.py tests/support/*/*.py bench/*.py demo/*.py)
CXX_SOURCES := $(wildcard src/*.cpp src/*.h tests/*.cpp bench/*.cpp)
LINT_TREE := $(TREES)/bullseye-amd64-lint
lint: x86_64 ## every language's linter, quiet or the job fails
	@scripts/install-deps lint
	@scripts/make-tree amd64 "$(LINT_TREE)" python2.7,python3-pyflakes
	@$(stage) $(MAKE) lint-checks
lint-checks: ## the linters alone, once `make lint` has installed them
	shellcheck -x --source-path=SCRIPTDIR --severity=warning $(SHELL_SCRIPTS)
	"$(LINT_TREE)/python2.7" -c 'import sys; sys.path[:0] = ["$(LINT_TREE)/usr/lib/python3/dist-packages"]; \
	    from pyflakes.api import main; main(prog="pyflakes")' $(PYTHON_FILES)
	clang-format --dry-run -Werror $(CXX_SOURCES)
	@out=$$(clang-tidy --quiet -p build/x86_64 src/*.cpp 2>&1); status=$$?; \
	    printf '%s\n' "$$out" | grep -v 'warnings generated'; exit $$status
	cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability \
	    --std=c++11 --language=c++ --inline-suppr --suppress=missingIncludeSystem -I src src/*.cpp src/*.h
	@# The docs and setup.py name a version only in a file name (or __version__'s value): Korvane/VERSION's.
	@stale=$$(grep -rnoE "(Korvane-|korvane_|')[0-9]+\.[0-9]+\.[0-9]+" README.md docs setup.py | grep -vE "[-_']$(VERSION)$$"); \
	    [ -z "$$stale" ] || { printf 'not version $(VERSION):\n%s\n' "$$stale"; exit 1; }

packages: $(shell awk '!/^\#/ && NF {print $$1}' scripts/targets.txt) ## every wheel, Debian package and the sdist, in dist/
	@scripts/install-deps debian-packages
	scripts/build-packages

sdist: ## the source distribution alone, in dist/, in a second, by python3: no trees or cross tools
	@scripts/install-deps sdist
	scripts/build-sdist dist

# The package systems of tests/systems.txt (TIER= the tier, if one): each
# package installed as its users install it, then the suites its line names
# run from the installed copy. Only tier 1 does without the two Pythons
# built from source with glibc; the musl one is tier 1's.
TIER ?= 1
test-packages: $(if $(filter 1,$(TIER)),python-source,python-from-source) python-musl package-test-systems packages ## the package systems (TIER= their tier; empty: tiers 1 and 2)
	@$(stage) scripts/test-packages $(if $(TIER),--tier $(TIER))
package-test-systems: ## the systems' trees and libcryptos, made while the packages build
	@scripts/install-deps package-tests armhf aarch64
	@$(stage) scripts/test-packages --systems-only

# One with its default configure (cp27m, static), as one installed by hand
# usually is, run here; one shared (cp27mu), as pyenv and distributions
# build it, in /opt/python2.7 of a Debian 12 system.
python-source: ## Python 2.7's own source, kept beside the trees
	@scripts/install-deps python-source
	@scripts/fetch-debian-source python2.7 2.7.18 "$(PYTHON_SOURCE)"
python-from-source: python-source ## two Pythons 2.7 built from their own source, kept beside the trees
	@$(stage) sh -c 'scripts/make-python-from-source "$(PYTHON_SOURCE)" "$(PYTHON_FROM_SOURCE)" && \
	    scripts/make-python-from-source --installed-at=/opt/python2.7 "$(PYTHON_SOURCE)" \
	        "$(TREES)/python2.7-shared-ucs4" --enable-shared --enable-unicode=ucs4 LDFLAGS=-Wl,-rpath,/opt/python2.7/lib'
python-musl: python-source ## a Python 2.7 built with musl, as Alpine's, its ssl on 1.0.2
	@if [ ! -f "$(LIBCRYPTO10_SOURCE)" ]; then echo "$@: skipped: no libcrypto 1.0.2 source"; exit 0; fi; \
	    scripts/install-deps python-source && $(stage) scripts/make-python-musl "$(PYTHON_SOURCE)" \
	        "$(LIBCRYPTO10_SOURCE)" "$(TREES)/openssl-1.0.2s-musl" "$(TREES)/python2.7-musl"


bench: x86_64 ## what bytes() costs against RAND_bytes from C and os.urandom
	cmake --build build/x86_64 --target bench

clean: ## the builds, dist/ and the module in the checkout
	rm -rf build dist Korvane.egg-info Korvane/rand.so
