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
            libturbojpeg0-dev libcli11-dev \
            libgtest-dev libgmock-dev libbenchmark-dev \
            clang libclang-rt-14-dev gnuplot-nox python3-impacket

.PHONY: all deps build test test-asan test-tsan bench demo fuzz install clean

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

test-asan: deps
	$(call build-tree,build-asan,-DKESTREL_SANITIZE=address)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest --test-dir build-asan --output-on-failure -j $(JOBS) --timeout 900

# ThreadSanitizer cannot map its shadow under the kernel's full ASLR entropy,
# so the tests run with address randomisation off.
test-tsan: deps
	$(call build-tree,build-tsan,-DKESTREL_SANITIZE=thread)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	    setarch $$(uname -m) -R ctest --test-dir build-tsan --output-on-failure -j $(JOBS) --timeout 900

bench: build
	build/tools/kestrel bench --out build/bench-report
	@set -e; for b in build/bench/*/kestrel-bench-*; do \
	    [ -x "$$b" ] || continue; echo "== $$b"; "$$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true; done

fuzz: deps
	$(call build-tree,build-fuzz,-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKESTREL_FUZZ=ON)
	@set -e; for f in build-fuzz/fuzz/*/kestrel-fuzz-*; do \
	    [ -x "$$f" ] || continue; name=$$(basename $$f); corpus=fuzz/corpus/$${name#kestrel-fuzz-}; \
	    mkdir -p $$corpus; echo "== $$name"; "$$f" -max_total_time=$${FUZZ_SECONDS:-60} $$corpus; done

demo: build
	@if [ -x build/tools/kestrel ]; then build/tools/kestrel demo; \
	else echo "The kestrel command is not built yet, so there is no demo to run (the libraries and tests are built)."; fi

install: build
	cmake --install build --prefix $(PREFIX)

clean:
	rm -rf build build-asan build-tsan build-fuzz
