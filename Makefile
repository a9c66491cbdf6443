# The two commands that matter: `make demo` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
PREFIX     ?= /usr/local
CMAKE_ARGS ?=

.PHONY: all setup configure build test test-sanitizers demo install clean

all: build

setup:
	@bash scripts/setup.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)

configure: setup $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Every test runs inside a private network namespace: nothing a test does can leave this machine.
test: build
	bash scripts/run_tests.sh $(BUILD)
	bash scripts/run_fuzzers.sh $(FUZZ_BUILD) 10

# The suite against sanitizer builds: AddressSanitizer with UndefinedBehaviorSanitizer for
# everything (the programs the end-to-end tests start included), ThreadSanitizer for the
# threaded parts; any report fails it.
test-sanitizers: setup
	JOBS=$(JOBS) bash scripts/run_sanitizers.sh $(ASAN_BUILD) $(TSAN_BUILD)

demo: build
	bash scripts/demo.sh $(BUILD)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
