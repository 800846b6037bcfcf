# Entry point: wraps the CMake presets. `make test` installs what is missing, builds every tree
# (native sanitizers, Windows, fuzzers) and runs every test tier.
SHELL := /bin/bash
JOBS ?= 2
FUZZ_SECONDS ?= 300
TEST_PRESETS := asan tsan windows fuzz

.PHONY: all deps test build-% configure-% program-% fuzz bench run demo demo-windows screenshots dist clean

all: build-debug

deps:
	@scripts/install-deps.sh

configure-%: deps
	@cmake --preset $* >/dev/null

build-%: configure-%
	@cmake --build --preset $* -j $(JOBS)

program-%: configure-%
	@cmake --build --preset $* -j $(JOBS) --target tovrel-radio

test: deps $(addprefix build-,$(TEST_PRESETS))
	@status=0; \
	for p in $(TEST_PRESETS); do \
	  echo "=== tests: $$p ==="; \
	  scripts/run-tests.sh $$p || status=1; \
	done; \
	if [ $$status -ne 0 ]; then echo "SOME TESTS FAILED"; fi; \
	exit $$status

fuzz: deps
	@cmake --preset fuzz -DTOVREL_FUZZ_SECONDS=$(FUZZ_SECONDS) >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)
	@scripts/run-tests.sh fuzz

# The native monitor from its build folder, with the config.json beside it (created on first run).
run: program-release
	@cd build/release && ./tovrel-radio

# The monitor against the demo station on loopback; Ctrl+C stops everything.
demo: program-release
	@scripts/demo.sh native

demo-windows: program-windows
	@scripts/demo.sh windows

# Benchmarks (not part of `make test`): the web server against a minimal reference server,
# natively and under Wine, then the whole program's latency, memory and CPU over a demo-like run
# (BENCH_PROGRAM_SECONDS, default 300).
BENCH_PROGRAM_SECONDS ?= 300
bench: deps program-release
	@bench/run.sh
	@python3 bench/program_bench.py build/release/tovrel-radio --seconds $(BENCH_PROGRAM_SECONDS)

# The README's pictures (docs/images/): the demo's window under Wine at 96 DPI and at 150 %, and
# its web page in headless Chromium. Not part of `make test`.
screenshots: deps program-release program-windows
	@scripts/screenshots.sh

# What is shipped, into build/dist: the portable Windows zip, the Windows installer and the Linux
# archive with its systemd unit, each with a .sha256 beside it.
dist: deps
	@JOBS=$(JOBS) packaging/dist.sh

clean:
	rm -rf build
