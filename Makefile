# Every target bootstraps .venv from the project's own files on first use.
VENV := .venv
PY := $(VENV)/bin/python
BOOT := $(VENV)/.bootstrapped
CXX_SOURCES := $(wildcard src/*.cpp src/*.h src/engine/*.cpp src/engine/*.h)
PYTEST_ARGS ?=

.PHONY: help install test test-slow lint demo docs wheel clean

# `make` alone lists the targets rather than starting a build.
.DEFAULT_GOAL := help

# Every target whose rule carries a `## ` comment, with that comment.
help: ## list the targets
	@awk -F ':.*## ' '/^[a-z][a-z-]*:.*## / { printf "  %-12s %s\n", $$1, $$2 }' $(MAKEFILE_LIST)

$(BOOT): pyproject.toml tools/find-python
	rm -rf $(VENV)
	"$$(sh tools/find-python)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "numpy>=2" cmake ninja
	touch $@

# Builds the extension incrementally (build/<wheel tag>) and installs it with
# the test, lint, plot and batch tools.
install: $(BOOT) ## build the extension into .venv with the test, lint, plot and batch tools
	$(PY) -m pip install -q --no-build-isolation ".[test,lint,plot,batch]"

# pytest exits with 5 when a selection collects nothing; that is not a failure.
test: install ## run the test suite (PYTEST_ARGS="-x -q tests/test_foo.py" for a subset)
	$(PY) -m pytest $(PYTEST_ARGS) || [ $$? -eq 5 ]

test-slow: install ## run the long scale tests only
	CROPMERGE_SLOW=1 $(PY) -m pytest -m slow $(PYTEST_ARGS) || [ $$? -eq 5 ]

lint: install ## clang-format, ruff, mypy and clang-tidy, all must be clean
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(PY) -m mypy
	$(VENV)/bin/clang-tidy --quiet -p "$$(dirname "$$(ls build/*/compile_commands.json | head -n 1)")" \
	  $(filter %.cpp,$(CXX_SOURCES))

demo: install ## merge a synthetic field and draw demo.png
	$(VENV)/bin/cropmerge demo --plot demo.png

# docs/demo.png is the demo's picture; docs/junction.png is drawn by the README's
# "Your own data" example, run as written.
docs: install ## redraw the README's pictures in docs/
	$(VENV)/bin/cropmerge demo --plot docs/demo.png
	$(PY) tools/readme_example.py docs

# A wheel that installs without a compiler on Linux with glibc 2.34 or newer and
# CPython 3.13.
wheel: install ## build the manylinux wheel into dist/
	PYTHON=$(PY) tools/build-wheel dist

# Times the module side by side with Numba and NumPy implementations and the copy
# floor, in four orders of the points and on ids that collide in an unkeyed hash;
# checks the speed and memory goals, and writes benchmarks/results.md and
# benchmarks/results.png. BENCH_ARGS="--quick" for a smoke run. The bench extra
# (Numba) is installed with the module.
.PHONY: bench
BENCH_ARGS ?=
# OpenBLAS's idle threads spin on the cores the contenders need; none of them
# uses BLAS.
bench: $(BOOT) ## time the module against Numba, NumPy and the copy floor, and check_field (BENCH_ARGS=--quick)
	$(PY) -m pip install -q --no-build-isolation ".[plot,bench]"
	OPENBLAS_NUM_THREADS=1 $(PY) benchmarks/bench.py $(BENCH_ARGS)

# Times a batch of 64 fields on a local Dask cluster of one and of two workers side by
# side with a serial loop over the same files, checks the throughput and overhead goals,
# and writes benchmarks/batch_results.md. BENCH_ARGS="--quick" for a smoke run.
.PHONY: bench-batch
bench-batch: install ## time a batch of fields on a local Dask cluster against a serial loop
	OPENBLAS_NUM_THREADS=1 $(PY) benchmarks/bench_batch.py $(BENCH_ARGS)

clean: ## remove build/, dist/, .venv and the demo's demo.png
	rm -rf build dist $(VENV) demo.png

# ---- Sanitizers, stress and fuzzing --------------------------------------------
# Their build trees sit two levels below build/, where `lint` does not look for
# a compile_commands.json.
CHECK_BUILD := build/checks
NATIVE_PATH := PATH="$(abspath $(VENV))/bin:$$PATH"
CHECK_CMAKE := $(NATIVE_PATH) cmake -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: sanitize tsan fuzz test-ft

# The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer build
# of the extension, imported ahead of the installed one (a test checks that it
# was). Any report, in the test process or in a process it starts, fails.
# A failed allocation returns null, as it does without ASan, so that the tests
# of exhausted memory see MemoryError.
ASAN_DIR := $(CHECK_BUILD)/asan
ASAN_REPORTS := $(abspath $(ASAN_DIR))/reports
ASAN_ENV := PYTHONPATH="$(abspath $(ASAN_DIR))" CROPMERGE_EXPECT_NATIVE_DIR="$(abspath $(ASAN_DIR))" \
  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:log_path=$(ASAN_REPORTS)/asan" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$(ASAN_REPORTS)/ubsan" \
  PYTHONMALLOC=malloc
sanitize: install ## the suite under AddressSanitizer and UBSan
	$(CHECK_CMAKE) -S . -B $(ASAN_DIR) -DCMAKE_CXX_COMPILER=g++ -DCROPMERGE_PYTHON_MODULE=ON \
	  -DPython_EXECUTABLE="$(abspath $(PY))" -DCROPMERGE_SANITIZE=address,undefined
	$(NATIVE_PATH) cmake --build $(ASAN_DIR) --target _native
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	$(ASAN_ENV) $(PY) -c 'import _native; print("sanitized build:", _native.__file__)'
	status=0; $(ASAN_ENV) $(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS) || status=$$?; \
	if [ -n "$$(ls -A $(ASAN_REPORTS))" ]; then cat $(ASAN_REPORTS)/*; status=1; fi; \
	[ $$status -eq 0 ] || [ $$status -eq 5 ]

# The engine's stress test under ThreadSanitizer, run by ctest.
TSAN_DIR := $(CHECK_BUILD)/tsan
tsan: $(BOOT) ## the engine's stress test under ThreadSanitizer
	$(CHECK_CMAKE) -S . -B $(TSAN_DIR) -DCMAKE_CXX_COMPILER=g++ -DCROPMERGE_SANITIZE=thread \
	  -DCROPMERGE_NATIVE_TESTS=ON
	$(NATIVE_PATH) cmake --build $(TSAN_DIR)
	cd $(TSAN_DIR) && $(NATIVE_PATH) ctest --output-on-failure

# libFuzzer over the engine for FUZZ_SECONDS, with ASan and UBSan. Needs a clang
# with libFuzzer whose C++ library support reaches std::source_location
# (clang 15 or later); installs Debian's clang-19 when there is none.
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++-19
FUZZ_DIR := $(CHECK_BUILD)/fuzz
fuzz: $(BOOT) ## fuzz the engine for FUZZ_SECONDS (default 60) with libFuzzer
	command -v $(FUZZ_CXX) >/dev/null && \
	  [ -e "$$($(FUZZ_CXX) -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ] || \
	  { apt-get update && apt-get install -y clang-19 libclang-rt-19-dev; }
	$(CHECK_CMAKE) -S . -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  -DCROPMERGE_SANITIZE=address,undefined -DCROPMERGE_FUZZ=ON
	$(NATIVE_PATH) cmake --build $(FUZZ_DIR) --target fuzz_engine
	mkdir -p $(FUZZ_DIR)/corpus $(FUZZ_DIR)/artifacts
	$(FUZZ_DIR)/fuzz_engine -max_total_time=$(FUZZ_SECONDS) -timeout=30 -close_fd_mask=2 \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/artifacts/ $(FUZZ_DIR)/corpus || \
	  { for f in $(FUZZ_DIR)/artifacts/*; do $(FUZZ_DIR)/fuzz_engine "$$f"; done; exit 1; }

# The suite on a free-threaded CPython 3.13t, where one is installed.
FT_VENV := build/venv-ft
test-ft: ## the suite on a free-threaded python3.13t, where one is installed
	@ft="$$(command -v python3.13t || ls "$$(pyenv root 2>/dev/null || echo "$$HOME/.pyenv")"/versions/3.13*t/bin/python3.13t 2>/dev/null | head -n 1)"; \
	if [ -z "$$ft" ]; then echo "test-ft: skipped: no free-threaded python3.13t here"; exit 0; fi; \
	set -e; [ -x $(FT_VENV)/bin/python ] || "$$ft" -m venv $(FT_VENV); \
	$(FT_VENV)/bin/python -m pip install -q "scikit-build-core>=0.10" "numpy>=2" cmake ninja; \
	$(FT_VENV)/bin/python -m pip install -q --no-build-isolation ".[test]"; \
	PYTHON_GIL=0 $(FT_VENV)/bin/python -m pytest $(PYTEST_ARGS) || [ $$? -eq 5 ]
