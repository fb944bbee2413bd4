# Two entry points for people: `make test` and `make run`. Plain `make` builds the release tree.
# `make bench` and `make fuzz` measure and harden; each has a build tree of its own.
BUILD       ?= build
TEST_BUILD  ?= build-test
BENCH_BUILD ?= build-bench
FUZZ_BUILD  ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS        ?= $(shell nproc)
# The neutral line client the tickertalk bench compares the service and Redis with; it lives
# outside the repository, and the reference is skipped where it is absent.
LINEBENCH_SRC ?= ../shared/tools/linebench.c
RUN_ARGS    ?=

.PHONY: all build deps test run bench fuzz stress clean install deb

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# Debug build with AddressSanitizer and UndefinedBehaviorSanitizer; any report fails the run.
test: deps
	@cmake -S . -B $(TEST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORV_SANITIZE=ON >/dev/null
	@cmake --build $(TEST_BUILD) -j $(JOBS)
	@cd $(TEST_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# Installs the programs and manual pages under PREFIX (default /usr/local); DESTDIR stages them.
PREFIX ?= /usr/local
install: build
	@DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package of the release build in $(BUILD)/, registering the service when installed.
deb: build
	@bash scripts/install-deps.sh deb
	@cd $(BUILD) && cpack -G DEB

# An unregistered service does not start: register it for console use first (through sudo
# when not root), then start it.
run: build
	@$(BUILD)/orv_ticker --RegServer
	@exec $(BUILD)/orv_ticker $(RUN_ARGS)

# Release build; each benchmark prints "name value unit" lines and writes $(BUILD)/bench/<name>.json;
# a table of every figure against its bar in bench/bars.txt closes the run.
bench:
	@bash scripts/install-deps.sh bench
	@cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DORV_BENCH=ON >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS)
	@if [ -f $(LINEBENCH_SRC) ]; then cc -O2 -o $(BENCH_BUILD)/linebench $(LINEBENCH_SRC); fi
	@$(BENCH_BUILD)/bench/orv_bench_engine --json=$(BUILD)/bench/engine.json
	@$(BENCH_BUILD)/bench/orv_bench_feed --json=$(BUILD)/bench/feed.json
	@$(BENCH_BUILD)/bench/orv_bench_renderer --json=$(BUILD)/bench/renderer.json
	@$(BENCH_BUILD)/bench/orv_bench_web --json=$(BUILD)/bench/web.json
	@$(BENCH_BUILD)/bench/orv_bench_tickertalk --connections 10 --pipeline 32 --seconds 5 \
	  --json=$(BUILD)/bench/tickertalk.json
	@$(BENCH_BUILD)/bench/orv_bench_automation --json=$(BUILD)/bench/automation.json
	@$(BENCH_BUILD)/bench/orv_bench_state --json=$(BUILD)/bench/state.json
	@$(BENCH_BUILD)/bench/orv_bench_summary bench/bars.txt $(BUILD)/bench

# clang build with AddressSanitizer and UndefinedBehaviorSanitizer; each target runs FUZZ_SECONDS.
fuzz:
	@bash scripts/install-deps.sh fuzz
	@cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=OFF -DORV_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	@bash scripts/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Load and fault run, loopback only, about a minute per service: against the release build,
# where latency and memory mean something, then against the sanitizer build for its reports.
stress: build
	@cmake -S . -B $(TEST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORV_SANITIZE=ON >/dev/null
	@cmake --build $(TEST_BUILD) -j $(JOBS) --target orv_ticker orv_ticker_web orv_stress
	@echo "release service:"
	@$(TEST_BUILD)/stress/orv_stress --service $(BUILD)/orv_ticker
	@echo "sanitizer service:"
	@$(TEST_BUILD)/stress/orv_stress --service $(TEST_BUILD)/orv_ticker --sanitizer-build --rounds 2

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD)
