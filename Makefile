PYTHON ?= /usr/bin/python3
BUILD  ?= build
JOBS   ?= $(shell nproc 2>/dev/null || echo 4)

.PHONY: all deps build demo test bench clean

all: build

deps:
	@sh scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DPython3_EXECUTABLE=$(PYTHON) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	PYTHONPATH=$(BUILD) $(PYTHON) examples/quickstart.py

test: build
	cd $(BUILD) && ctest --output-on-failure
	PYTHONPATH=$(BUILD) $(PYTHON) -m pytest -q tests

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
	rm -rf $(BUILD)
