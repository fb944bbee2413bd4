# Two entry points for people: `make test` and `make run`. Plain `make` builds the release tree.
BUILD       ?= build
TEST_BUILD  ?= build-test
JOBS        ?= $(shell nproc)
RUN_ARGS    ?=

.PHONY: all build deps test run clean

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

run: build
	@if [ -x $(BUILD)/orv_ticker ]; then exec $(BUILD)/orv_ticker $(RUN_ARGS); \
	else echo "built $(BUILD)/; the service executable orv_ticker is not part of this tree yet"; fi

clean:
	rm -rf $(BUILD) $(TEST_BUILD)
