# SPDX-License-Identifier: ISC
# Entry points: `make` builds every target, `make check` runs every test,
# `make demo` shows each subsystem at work.  The build itself is Meson.

BUILDS := host mips arm x86 asan fuzz
PYTHON := /usr/bin/python3
MESONFLAGS := -Dwerror=true

all: build

deps:
	@tools/install-deps

build: deps $(BUILDS:%=build/%/build.ninja)
	@for b in $(BUILDS); do ninja -C build/$$b || exit 1; done

build/root.ini:
	@mkdir -p build
	@printf "[constants]\nroot = '%s'\n" "$(CURDIR)" > $@

build/host/build.ninja:
	meson setup build/host $(MESONFLAGS)

build/asan/build.ninja:
	meson setup build/asan $(MESONFLAGS) -Db_sanitize=address,undefined -Db_lundef=false

# The libFuzzer targets (tests/fuzz), with ASan and UBSan: `meson test`
# there replays each corpus and fuzzes a few seconds more.
build/fuzz/build.ninja:
	CC=clang CXX=clang++ meson setup build/fuzz $(MESONFLAGS) -Dfuzz=true \
		-Db_sanitize=address,undefined -Db_lundef=false

# The same harnesses with source-based coverage, for `make fuzz`'s figures.
COVFLAGS := -fprofile-instr-generate -fcoverage-mapping
# (meson's sanity checks run what they build: their profiles go nowhere)
build/fuzz-cov/build.ninja:
	CC=clang CXX=clang++ LLVM_PROFILE_FILE=/dev/null meson setup build/fuzz-cov $(MESONFLAGS) -Dfuzz=true \
		-Db_lundef=false -Dc_args="$(COVFLAGS)" -Dc_link_args="$(COVFLAGS)" \
		-Dcpp_args="$(COVFLAGS)" -Dcpp_link_args="$(COVFLAGS)"

build/%/build.ninja: build/root.ini
	meson setup build/$* $(MESONFLAGS) --cross-file build/root.ini --cross-file cross/$*.ini

# Each runner's exit status is kept for tools/summary, which fails a run
# whose results are missing, whatever the counts say.
check: build
	@rm -f build/*/meson-logs/testlog.json build/*/meson-test.status build/pytest.xml build/pytest.status
	@for b in $(BUILDS); do \
		echo "== meson test: $$b"; \
		meson test -C build/$$b --no-rebuild --print-errorlogs --num-processes 2; \
		echo $$? > build/$$b/meson-test.status; \
	done
	@echo "== pytest"
	@$(PYTHON) -m pytest tests --junitxml=build/pytest.xml; echo $$? > build/pytest.status
	@$(PYTHON) tools/summary $(BUILDS)

DEMO_BUILDS := host mips arm x86

demo: deps $(DEMO_BUILDS:%=build/%/build.ninja)
	@for b in $(DEMO_BUILDS); do ninja -C build/$$b >/dev/null || exit 1; done
	@tools/demo

# `make install PREFIX=/usr DESTDIR=/tmp/root`: installed by Meson from a
# build directory of its own (build/install, without the test suites), so
# that the developer's build/host keeps its configuration; nothing is
# installed on the machine to do it.
PREFIX := /usr/local
DESTDIR :=

install:
	@if [ -f build/install/build.ninja ]; then \
		meson configure build/install -Dprefix=$(PREFIX); \
	else \
		meson setup build/install --prefix=$(PREFIX) -Dtests=false; \
	fi
	meson install -C build/install $(if $(DESTDIR),--destdir "$(abspath $(DESTDIR))")

# The source package and the binary packages of every target, built by
# debhelper (debian/) into build/deb/ (see tools/debs); check-packages
# installs, upgrades and purges them the Debian way and runs them.
deb: deps
	@tools/debs

check-packages: deb build/host/build.ninja
	@ninja -C build/host >/dev/null
	@$(PYTHON) -m pytest tests/packaging

# Each fuzzing target in turn for FUZZ_SECONDS, niced, one at a time (see
# tools/fuzz): executions, edges and the line coverage of the code under test.
FUZZ_SECONDS := 600
FUZZ_TARGETS := bcastd vexil bcast ccfacts kerb

fuzz: deps build/fuzz/build.ninja build/fuzz-cov/build.ninja
	@ninja -C build/fuzz >/dev/null && ninja -C build/fuzz-cov >/dev/null
	@$(PYTHON) tools/fuzz --seconds $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Benchmarks report ratios measured in one run; they are not tests.
bench: build
	@for b in bench/*/run; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf build

.PHONY: all deps build check demo bench clean install deb check-packages fuzz
