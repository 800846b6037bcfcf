# Entry point: wraps the CMake presets. `make test` installs what is missing, builds every tree
# (native sanitizers, Windows, fuzzers) and runs every test tier.
SHELL := /bin/bash
JOBS ?= 2
FUZZ_SECONDS ?= 300
TEST_PRESETS := asan tsan windows fuzz

.PHONY: all deps test build-% configure-% fuzz bench clean

all: build-debug

deps:
	@scripts/install-deps.sh

configure-%: deps
	@cmake --preset $* >/dev/null

build-%: configure-%
	@cmake --build --preset $* -j $(JOBS)

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

clean:
	rm -rf build
