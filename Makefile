# Kestrel: one entry point for set-up, build, tests and the demo.
#   make demo   install what is missing, build, run the demo on the simulated camera
#   make test   install what is missing, build, run the whole test suite (CTest)

SHELL       := /bin/bash
JOBS        ?= $(shell nproc)
BUILD_TYPE  ?= RelWithDebInfo
CMAKE_FLAGS ?=

# Every Debian package that building, testing, fuzzing and benchmarking need.
PACKAGES := g++ make cmake pkg-config python3 \
            libicu-dev libboost-regex-dev uuid-dev libinih-dev \
            libturbojpeg0-dev libcli11-dev libseccomp-dev libelf-dev \
            dpkg-dev file binutils help2man lintian \
            libgtest-dev libgmock-dev libbenchmark-dev \
            clang clang-format libclang-rt-14-dev gnuplot-nox python3-impacket \
            python3-pytest python3-venv python3-setuptools python3-wheel \
            libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools \
            gstreamer1.0-plugins-base gstreamer1.0-plugins-base-apps gstreamer1.0-plugins-good

.PHONY: all deps build test test-asan test-tsan ci soak bench demo fuzz fuzz-short mutants install package format format-check clean

PREFIX ?= /usr/local

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "Installing missing packages:" $$missing; \
	    if [ "$$(id -u)" != 0 ]; then echo "error: run as root to install packages" >&2; exit 1; fi; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing; \
	fi

# configure-and-build of one tree: $(call build-tree,DIR,EXTRA CMAKE FLAGS)
define build-tree
	cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(2) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(1) -j $(JOBS)
endef

build: deps
	$(call build-tree,build,)

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS) --timeout 600

# Sanitizer trees build neither the benchmarks nor the command-line tool (its
# tests drive the same library the other tests do; the GStreamer plugin's
# element is tested in-process, without GStreamer's own tools), at -O1 with line tables
# only, which halves their build time and still names every frame. The
# thread-sanitizer tree runs the tests of the parts whose threads meet:
# platform, runtime, interface, HostProc, library, soak.
SANITIZER_FLAGS := -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
SANITIZER_PARTS := $(SANITIZER_FLAGS) -DKESTREL_PARTS="src;include;hostproc;drivers;plugins;tests" \
                   -DKESTREL_TEST_PARTS="c_api;driver_api;dropin;gstreamer;hostproc;library;platform;remote;rpcrt;simcam;soak;testdriver;trace"
TSAN_PARTS      := $(SANITIZER_FLAGS) -DKESTREL_PARTS="src;include;hostproc;drivers;tests" \
                   -DKESTREL_TEST_PARTS="platform;rpcrt;remote;hostproc;testdriver;library;soak"

test-asan: deps
	$(call build-tree,build-asan,-DKESTREL_SANITIZE=address $(SANITIZER_PARTS))
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest --test-dir build-asan --output-on-failure -j $(JOBS) --timeout 900

# ThreadSanitizer cannot map its shadow under the kernel's full ASLR entropy,
# so the tests run with address randomisation off.
test-tsan: deps
	$(call build-tree,build-tsan,-DKESTREL_SANITIZE=thread $(TSAN_PARTS))
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	    setarch $$(uname -m) -R ctest --test-dir build-tsan --output-on-failure -j $(JOBS) --timeout 900

# What CI runs: the suite, the demo, both sanitizer suites, a short fuzzing
# pass and the layout check.
ci: test demo test-asan test-tsan fuzz-short format-check

# clang-format over every C and C++ file the repository tracks, with the
# nearest .clang-format; format-check changes nothing and fails on a
# difference.
SOURCES = git ls-files -z '*.c' '*.cpp' '*.h'
format: deps
	$(SOURCES) | xargs -0 clang-format -i
format-check: deps
	$(SOURCES) | xargs -0 clang-format --dry-run -Werror

# The long soak: 64 threads, 8 instances, 2 HostProcs and a chaos thread.
SOAK_SECONDS ?= 60
soak: build
	build/tests/soak/kestrel-soak --seconds $(SOAK_SECONDS)

bench: build
	build/tools/kestrel bench --out build/bench-report
	@set -e; for b in build/bench/*/kestrel-bench-*; do \
	    [ -x "$$b" ] || continue; echo "== $$b"; "$$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true; done

FUZZ_TARGETS := kestrel-fuzz-rpc-server kestrel-fuzz-rpc-client
define build-fuzzers
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	    -DKESTREL_FUZZ=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
endef

# Fuzzing by hand: each target for FUZZ_SECONDS, growing the kept corpus.
fuzz: deps
	$(build-fuzzers)
	@set -e; for name in $(FUZZ_TARGETS); do \
	    corpus=fuzz/corpus/$${name#kestrel-fuzz-}; mkdir -p $$corpus; echo "== $$name"; \
	    build-fuzz/fuzz/rpc/$$name -max_total_time=$${FUZZ_SECONDS:-60} $$corpus; done

# CI's pass: the kept corpus replayed, then a short run; new inputs go to a
# scratch folder, so the tree stays as checked out.
fuzz-short: deps
	$(build-fuzzers)
	@set -e; for name in $(FUZZ_TARGETS); do \
	    scratch=$$(mktemp -d); echo "== $$name"; \
	    build-fuzz/fuzz/rpc/$$name -max_total_time=$${FUZZ_SECONDS:-20} -print_final_stats=1 \
	        $$scratch fuzz/corpus/$${name#kestrel-fuzz-} > $$scratch.log 2>&1 || { tail -60 $$scratch.log; exit 1; }; \
	    grep -E '^(Done|stat::number_of_executed_units)' $$scratch.log; rm -rf $$scratch $$scratch.log; done

# Mutation testing: a fixed sample of small faults in src/, hostproc/ and
# include/ (tools/dev/mutants-sample.json), each built into a lean tree and
# tested by the tests that can see it. MUTANTS_ARGS passes options, e.g.
# MUTANTS_ARGS="--only 3 7".
MUTANT_FLAGS := -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" \
                -DKESTREL_PARTS="src;include;hostproc;drivers;tests" -DKESTREL_WERROR=OFF
mutants: deps
	$(call build-tree,build-mutants,$(MUTANT_FLAGS))
	python3 tools/dev/mutants.py --build build-mutants $(MUTANTS_ARGS)

# The main job on the bundled simulated camera: cameras on two HostProcs,
# images, streaming, PTZ and XML configuration, and a driver crash that only one
# HostProc pays for.
demo: build
	build/tools/kestrel demo

# Stripped binaries under PREFIX (default /usr/local).
install: build
	cmake --install build --prefix $(PREFIX) --strip

# Debian packages of the build tree, split as a distribution splits them, into
# build/packages (debug information in the -dbgsym .ddeb packages).
package: build
	cd build && cpack -G DEB

clean:
	rm -rf build build-asan build-tsan build-fuzz build-mutants
