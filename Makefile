PYTHON ?= /usr/bin/python3
BUILD  ?= build
SANITIZE_BUILD ?= build-sanitize
JOBS   ?= $(shell nproc 2>/dev/null || echo 4)

.PHONY: all deps build demo test test-release test-sanitize bench clean

all: build

deps:
	@sh scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DPython3_EXECUTABLE=$(PYTHON) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	PYTHONPATH=$(BUILD) $(PYTHON) examples/quickstart.py

# Every test: the release build's suites, then the same suites under the sanitizers.
test: test-release test-sanitize

test-release: build
	cd $(BUILD) && ctest --output-on-failure
	PYTHONPATH=$(BUILD) $(PYTHON) -m pytest -q tests

# AddressSanitizer and UndefinedBehaviorSanitizer over the engine tests and pytest, in a
# build folder of their own. The interpreter is not instrumented: the ASan runtime (with the
# C++ runtime, whose throws it intercepts) is preloaded, and leaks are looked for in the
# engine tests only, since the interpreter keeps its own allocations to the end.
test-sanitize: deps
	@cmake -S . -B $(SANITIZE_BUILD) -DPython3_EXECUTABLE=$(PYTHON) -DSC_SANITIZE=ON >/dev/null
	@cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure
	@# Reports go to files (one per process, children included), printed if there are any. The
	@# path is quoted for the sanitizers, whose options end at a space.
	@rm -f $(SANITIZE_BUILD)/report.*
	SC_SANITIZED=1 SC_BUILD_DIR=$(SANITIZE_BUILD) PYTHONPATH=$(SANITIZE_BUILD) \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS="detect_leaks=0:log_path='$(abspath $(SANITIZE_BUILD))/report'" \
	  UBSAN_OPTIONS="print_stacktrace=1:log_path='$(abspath $(SANITIZE_BUILD))/report'" \
	  $(PYTHON) -m pytest -q -p no:cacheprovider tests || { cat $(SANITIZE_BUILD)/report.* 2>/dev/null; exit 1; }
	@if ls $(SANITIZE_BUILD)/report.* >/dev/null 2>&1; then cat $(SANITIZE_BUILD)/report.*; exit 1; fi

bench:
	@sh scripts/install-deps.sh libbenchmark-dev libopenblas0-pthread python3-brian
	@cmake -S . -B $(BUILD) -DPython3_EXECUTABLE=$(PYTHON) -DSC_BUILD_BENCH=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@# Every benchmark runs: a missed target is printed, and only a benchmark that cannot run
	@# fails the target, once all have run. C++ programs that a script of the same name drives
	@# are run by that script; other modules in bench/ are helpers the scripts import.
	@failed=""; \
	for b in $(BUILD)/bench_*; do \
	  if [ -f "$$b" ] && [ -x "$$b" ] && [ ! -f "bench/$$(basename $$b).py" ]; then "$$b" || failed="$$failed $$b"; fi; \
	done; \
	for s in bench/bench_*.py; do \
	  if [ -f "$$s" ]; then PYTHONPATH=$(BUILD) $(PYTHON) "$$s" || failed="$$failed $$s"; fi; \
	done; \
	if [ -n "$$failed" ]; then echo "benchmarks that could not run:$$failed" >&2; exit 1; fi

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
