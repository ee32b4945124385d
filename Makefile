# Every target bootstraps .venv from the project's own files on first use.
VENV := .venv
PY := $(VENV)/bin/python
BOOT := $(VENV)/.bootstrapped
CXX_SOURCES := $(wildcard src/*.cpp src/*.h src/engine/*.cpp src/engine/*.h)
PYTEST_ARGS ?=

.PHONY: install test test-slow lint demo clean

$(BOOT): pyproject.toml tools/find-python
	rm -rf $(VENV)
	"$$(sh tools/find-python)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "numpy>=2" cmake ninja
	touch $@

# Builds the extension incrementally (build/<wheel tag>) and installs it with
# the test, lint and plot tools.
install: $(BOOT)
	$(PY) -m pip install -q --no-build-isolation ".[test,lint,plot]"

# pytest exits with 5 when a selection collects nothing; that is not a failure.
test: install
	$(PY) -m pytest $(PYTEST_ARGS) || [ $$? -eq 5 ]

test-slow: install
	$(PY) -m pytest -m slow $(PYTEST_ARGS) || [ $$? -eq 5 ]

lint: install
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/clang-tidy --quiet -p "$$(dirname "$$(ls build/*/compile_commands.json | head -n 1)")" \
	  $(filter %.cpp,$(CXX_SOURCES))

demo: install
	$(VENV)/bin/cropmerge demo --plot demo.png

# Times the module side by side with a NumPy implementation and the copy floor,
# checks the speed and memory goals, and writes benchmarks/results.md and
# benchmarks/results.png. BENCH_ARGS="--quick" for a smoke run.
.PHONY: bench
BENCH_ARGS ?=
bench: install
	$(PY) benchmarks/bench.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV)
