# make demo  - build everything (the free-threaded interpreter included) and run the demo
# make setup - make the interpreter and environments (once; make test does it when needed)
# make test  - build everything and run all tests (C++, fuzz replays, Python on both builds)
# make test-tsan - the C++ tests and the engine's stress driver under ThreadSanitizer (.ci/run runs it)
# make fuzz  - a fuzzing campaign, FUZZ_SECONDS per harness
# make bench - benchmarks
# make wheels - manylinux wheels for cp313t and cp313 in dist/, each installed and run in a fresh venv
# make format - apply the C++ style (.clang-format) and ruff's import order and fixes
# make lint  - clang-format check, clang-tidy (.clang-tidy) on src/, ruff and mypy --strict on the package
# make help  - this list

VENV      := .venv
VENV_GIL  := .venv-gil
PY        := $(VENV)/bin/python
CMAKE     := $(VENV)/bin/cmake
CPP_BUILD := build/cpp
WERROR    ?= ON
GIL_PYTHON = $(shell tools/find-gil-python)
# The peer libraries of the benchmarks ship no free-threaded wheels: they get a stock CPython of their
# own, the 3.13 above or else a GIL build of 3.13 / 3.12 on PATH or under pyenv.
VENV_PEERS  := .venv-peers
PEER_PYTHON = $(or $(GIL_PYTHON),$(shell for c in python3.13 python3.12 $$HOME/.pyenv/versions/3.1[23]*/bin/python3.1[23]; do \
  command -v "$$c" >/dev/null 2>&1 && "$$c" -c 'import sys, sysconfig; sys.exit(1 if sysconfig.get_config_var("Py_GIL_DISABLED") else 0)' 2>/dev/null \
  && { command -v "$$c"; break; }; done))

.PHONY: help format lint setup demo test build build-gil test-cpp test-tsan test-python test-python-gil fuzz bench wheels clean

demo: build
	PYTHON_GIL=0 $(PY) tools/demo.py

help:
	@sed -n 's/^# make /make /p' Makefile

test: build test-cpp test-python test-python-gil

# Set-up: the interpreter, the Debian packages and the virtual environments, each made once and
# stamped with what it holds (the stamp lists the installed versions); later runs, `make test`
# included, install nothing and need no network until a tool list changes.
setup: $(VENV)/.ready $(VENV_GIL)/.ready build/.system-deps

$(VENV)/.ready: requirements-dev.txt constraints.txt tools/setup-env tools/bootstrap-python
	tools/setup-env $(VENV) "$$(tools/bootstrap-python)"
	$(PY) -m pip freeze --all > $@

# The stock build's environment also holds Dask (requirements-dask.txt): its tests run there, where
# every package it needs comes as a wheel.
$(VENV_GIL)/.ready: requirements-dev.txt requirements-dask.txt constraints.txt tools/setup-env
	@if [ -z "$(GIL_PYTHON)" ]; then echo "no stock CPython 3.13 here: GIL build skipped"; else \
	  tools/setup-env $(VENV_GIL) "$(GIL_PYTHON)" requirements-dask.txt \
	  && $(VENV_GIL)/bin/python -m pip freeze --all > $@; fi

build/.system-deps: tools/install-system-deps
	tools/install-system-deps
	mkdir -p build && dpkg-query -W libgtest-dev zlib1g-dev libbz2-dev liblzma-dev libzstd-dev fluidsynth timgm6mb-soundfont \
	  clang-format clang-tidy > $@

build: $(VENV)/.ready build/.system-deps
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
	  -Ccmake.define.NOTELOOM_WERROR=$(WERROR) .

test-cpp: $(VENV)/.ready build/.system-deps
	$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DNOTELOOM_PYTHON=OFF -DNOTELOOM_TESTS=ON -DNOTELOOM_WERROR=$(WERROR) >/dev/null
	$(CMAKE) --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

# The C++ unit tests and a threaded stress run of the engine stream under ThreadSanitizer (GCC's
# libtsan); any report fails the run.
TSAN_BUILD := build/tsan
test-tsan: $(VENV)/.ready build/.system-deps
	$(CMAKE) -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DNOTELOOM_PYTHON=OFF -DNOTELOOM_TESTS=ON -DNOTELOOM_TSAN=ON -DNOTELOOM_WERROR=$(WERROR) >/dev/null
	$(CMAKE) --build $(TSAN_BUILD)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(VENV)/bin/ctest --test-dir $(TSAN_BUILD) --output-on-failure

# The C++ sources under the style, and the Python package under ruff (the checks of make lint).
CXX_SOURCES = $(shell git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'fuzz/*.cpp')
format: $(VENV)/.ready build/.system-deps
	clang-format -i $(CXX_SOURCES)
	$(VENV)/bin/ruff check --fix -q python/noteloom

TIDY_BUILD := build/tidy
lint: build  # mypy reads the extension's installed stubs
	@echo "clang-format --dry-run -Werror (C++ sources)" && clang-format --dry-run -Werror $(CXX_SOURCES)
	$(CMAKE) -S . -B $(TIDY_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DNOTELOOM_PYTHON=OFF -DNOTELOOM_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
	@echo "clang-tidy (src/core)" && clang-tidy -p $(TIDY_BUILD) --quiet --warnings-as-errors='*' \
	  $(shell git ls-files 'src/core/*.cpp') 2>/dev/null
	$(VENV)/bin/ruff check python/noteloom
	PYTHON_GIL=0 $(PY) -m mypy python/noteloom

test-python: build
	PYTHON_GIL=0 $(PY) -m pytest tests/python

# The module on the stock GIL build of CPython 3.13, when the machine has one.
build-gil: $(VENV_GIL)/.ready build/.system-deps
	@if [ -n "$(GIL_PYTHON)" ]; then \
	  $(VENV_GIL)/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
	    -Ccmake.define.NOTELOOM_WERROR=$(WERROR) .; fi

# The same suite on the stock GIL build.
test-python-gil: build-gil
	@if [ -n "$(GIL_PYTHON)" ]; then $(VENV_GIL)/bin/python -m pytest tests/python; fi

# A fuzzing campaign (clang's libFuzzer): FUZZ_SECONDS per harness. `make test` only replays the
# committed regression corpus (part of test-cpp).
FUZZ_SECONDS ?= 60
fuzz:
	fuzz/run $(FUZZ_SECONDS)

wheels: setup
	tools/build-wheels

# The peer environment is rebuilt when its package list changes.
$(VENV_PEERS)/.ready: bench/requirements-peers.txt
	[ -x $(VENV_PEERS)/bin/python ] || "$(PEER_PYTHON)" -m venv $(VENV_PEERS)
	$(VENV_PEERS)/bin/python -m pip install -q --disable-pip-version-check --only-binary=:all: -r bench/requirements-peers.txt
	touch $@

# Without a stock CPython (or when the peer packages cannot be installed) the side-by-side table
# shows our numbers alone.
bench: build build-gil
	@if [ -z "$(PEER_PYTHON)" ]; then echo "no stock CPython 3.12/3.13 here: peer benchmarks skipped"; \
	  else $(MAKE) --no-print-directory $(VENV_PEERS)/.ready || echo "peer environment not installed: peer benchmarks skipped"; fi
	PYTHON_GIL=0 $(PY) bench/bench_hot_paths.py $$([ -f $(VENV_PEERS)/.ready ] && echo --peer-python $(VENV_PEERS)/bin/python)
	PYTHON_GIL=0 $(PY) bench/bench_engine.py $$([ -f $(VENV_PEERS)/.ready ] && echo --peer-python $(VENV_PEERS)/bin/python) \
	  $$([ -n "$(GIL_PYTHON)" ] && echo --gil-python $(VENV_GIL)/bin/python)
	PYTHON_GIL=0 $(PY) bench/bench_midi_io.py
	PYTHON_GIL=0 $(PY) bench/bench_tokenizer.py
	PYTHON_GIL=0 $(PY) bench/bench_augment.py
	PYTHON_GIL=0 $(PY) bench/bench_sources.py
	@if [ -n "$(GIL_PYTHON)" ]; then $(VENV_GIL)/bin/python bench/bench_dask.py; \
	  else echo "no stock CPython 3.13 here: Dask benchmark skipped"; fi

clean:
	rm -rf build $(VENV) $(VENV_GIL)
