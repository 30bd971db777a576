# Set-up, build and tests from a fresh checkout: `make demo`, `make test`.

SHELL := /bin/bash
VENV  := .venv
CMAKE := $(VENV)/bin/cmake
PY    := $(VENV)/bin/python
BUILD := build
JOBS  := $(shell nproc 2>/dev/null || echo 2)

# The kernel tables, portable first: their names from the one list of
# instruction sets, src/common/isa_list.h.
KERNEL_TABLES := $(shell sed -n 's/^ORBISK_ISA.[A-Za-z0-9]*, *\([a-z0-9]*\),.*/\1/p' src/common/isa_list.h)
# The kernel tables a build uses: empty for every one the CPU runs, or the
# last to use, so that this machine runs the tests, coverage and the
# benchmark as one with fewer instruction sets would: `make test
# KERNELS=avx2`. Every build below is configured with it each time, so no
# build tree keeps the tables of an earlier run.
KERNELS ?=
ifneq ($(filter-out $(KERNEL_TABLES),$(KERNELS))$(word 2,$(KERNELS)),)
$(error KERNELS=$(KERNELS): name one of $(KERNEL_TABLES), or none for every table the CPU runs)
endif
CAP := ORBISK_MAX_KERNELS=$(KERNELS)

# The first CPython >= 3.13 found: on PATH, under pyenv, or in /usr/bin.
PYTHON_CANDIDATES := python3.13 python3.14 python3.15 python3 \
	$(sort $(wildcard $(HOME)/.pyenv/versions/3.1[3-9]*/bin/python3)) \
	/usr/bin/python3.13 /usr/bin/python3.14
find_python = $(firstword $(foreach p,$(PYTHON_CANDIDATES),$(shell $(p) -c 'import sys; sys.exit(sys.version_info < (3, 13))' >/dev/null 2>&1 && command -v $(p))))

.PHONY: all build tables core-tests demo examples test test-cpp test-python test-companion lint format gtest bench sanitize tsan coverage coverage-report valgrind package fuzz fuzz-smoke clean

all: build

$(VENV)/.ready: requirements-dev.txt
	@base="$(call find_python)"; \
	if [ -z "$$base" ]; then \
	  echo "error: no CPython >= 3.13 found (looked for python3.13 on PATH, under ~/.pyenv/versions and /usr/bin)." >&2; \
	  echo "Install one, for example 'apt-get install python3.13-dev' or 'pyenv install 3.13'." >&2; exit 1; \
	fi; \
	echo "using $$base"; \
	"$$base" -m venv --clear $(VENV) && \
	$(PY) -m pip install -q --upgrade pip && \
	$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

# GoogleTest for the core tests: Debian's package, installed when we can.
gtest:
	@if [ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || [ -f /usr/lib/cmake/GTest/GTestConfig.cmake ] \
	   || ls /usr/lib/*/cmake/GTest/GTestConfig.cmake >/dev/null 2>&1; then exit 0; fi; \
	if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	  echo "installing libgtest-dev"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null; \
	else \
	  echo "error: GoogleTest is missing. Install it (Debian: 'sudo apt-get install libgtest-dev') and run again." >&2; exit 1; \
	fi

# orbisk itself is built and installed into .venv by pip, exactly as
# `pip install .` does it (scikit-build-core, with the build type and options of
# pyproject.toml and CMakeLists.txt and nothing added but the cap on kernel
# tables, which is empty unless KERNELS names one), except that the build tree
# is kept in build/, so a second run compiles only what changed (a new cap:
# one file). The tests import that installed module, stubs included; build/
# keeps its own copy of the module too, for tools that take it through
# PYTHONPATH.
build: $(VENV)/.ready
	$(PY) -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=$(BUILD) -Ccmake.define.$(CAP) .

# The kernel tables the module in build/ uses on this CPU, the last the one
# its indexes take.
tables: build
	$(CMAKE) --build $(BUILD) --target kernel_tables >/dev/null
	@echo "kernel tables: $$($(BUILD)/kernel_tables)"

# The C++ core tests, in the same build tree. Configuring again finds a
# GoogleTest installed since the last build; it changes no option.
core-tests: build | gtest
	$(CMAKE) -S . -B $(BUILD) >/dev/null
	$(CMAKE) --build $(BUILD) --target core_tests kernel_tables -j $(JOBS)

# One process for the whole suite (ctest would start one per test: twice
# the time); a failing test prints its file, line and values.
test-cpp: core-tests
	@echo "kernel tables: $$($(BUILD)/kernel_tables)"
	$(BUILD)/core_tests --gtest_brief=1

test-python: build
	$(PY) -m pytest -q -rs

# The companion's in-process suite, against the orbisk `make build`
# installed (its Ray and Dask tests skip here; companion/ci.sh runs them).
# The companion is installed into .venv too (editable, so it is the
# checkout's), as `make demo` installs it.
test-companion: build
	$(PY) -m pip install -q --no-deps --no-build-isolation -e ./companion
	cd companion && PYTHONPATH=$(CURDIR)/companion $(abspath $(PY)) -m pytest -q -rs -p no:cacheprovider tests

test: test-cpp test-python test-companion

# Style and types in seconds, before any build: ruff (lint, then format)
# over the Python files, clang-format over our C++ (configurations in
# pyproject.toml and .clang-format), mypy --strict over the companion with
# orbisk's stubs from src/. `make format` rewrites what `make lint` refuses,
# with ruff's safe fixes only; the tools are pinned in requirements-lint.txt.
CXX_SOURCES := $(wildcard src/*/*.h src/*/*.cpp tests/cpp/*.h tests/cpp/*.cpp tools/*.cpp bench/*.cpp)
$(VENV)/.lint-ready: $(VENV)/.ready requirements-lint.txt
	$(PY) -m pip install -q -r requirements-lint.txt
	@touch $@

lint: $(VENV)/.lint-ready
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	@echo "clang-format --dry-run -Werror (the $(words $(CXX_SOURCES)) C++ files)"
	@$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)
	$(VENV)/bin/mypy
	$(PY) tools/check_includes.py

format: $(VENV)/.lint-ready
	$(VENV)/bin/ruff check --fix-only .
	$(VENV)/bin/ruff format .
	@echo "clang-format -i (the $(words $(CXX_SOURCES)) C++ files)"
	@$(VENV)/bin/clang-format -i $(CXX_SOURCES)

demo: build
	$(PY) -m pip install -q --no-deps --no-build-isolation -e ./companion
	$(PY) examples/demo.py

# Every example in turn (numpy, which two of them need, is in .venv).
examples: build
	set -e; for f in examples/*.py; do echo "== $$f"; $(PY) $$f; done

# Every test again with AddressSanitizer and UndefinedBehaviorSanitizer; the
# interpreter is not instrumented, so the runtimes are preloaded into it.
SANITIZE_BUILD := build-sanitize
# The largest reference graphs (2,000 and 2,500 nodes) only repeat, at a
# size that triples the run, the paths the 1,500-node cases and the
# 70,000-node graph take; the native run keeps them, the sanitized and
# coverage runs leave them out.
SANITIZE_SKIP := *nodes2500*:*nodes2000*
sanitize: $(VENV)/.ready | gtest
	$(CMAKE) -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORBISK_SANITIZE=ON -D$(CAP) \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DPython_FIND_VIRTUALENV=ONLY >/dev/null
	$(CMAKE) --build $(SANITIZE_BUILD) --target orbisk orbisk_engine core_tests kernel_tables -j $(JOBS)
	@echo "kernel tables: $$($(SANITIZE_BUILD)/kernel_tables)"
# The C++ and Python suites side by side (each mostly one thread), the C++
# suite's report printed after the Python one's.
	@$(SANITIZE_BUILD)/core_tests --gtest_brief=1 --gtest_filter='-$(SANITIZE_SKIP)' > $(SANITIZE_BUILD)/core_tests.log 2>&1 & \
	core=$$!; \
	ORBISK_SANITIZED=1 ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  PYTHONPATH=$(SANITIZE_BUILD) $(PY) -m pytest -q -p no:cacheprovider; py=$$?; \
	wait $$core; cpp=$$?; cat $(SANITIZE_BUILD)/core_tests.log; \
	[ $$py = 0 ] && [ $$cpp = 0 ]

# The engine's threaded batches under ThreadSanitizer: its core tests, then
# its Python tests with the sanitized module, several thread counts each, and
# an index shared by several threads. (Not the forks: ThreadSanitizer ends a
# child of a threaded process that starts a thread; the other runs have them.)
TSAN_BUILD := build-tsan
tsan: $(VENV)/.ready | gtest
	$(CMAKE) -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORBISK_TSAN=ON -D$(CAP) \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DPython_FIND_VIRTUALENV=ONLY >/dev/null
	$(CMAKE) --build $(TSAN_BUILD) --target orbisk orbisk_engine core_tests -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/core_tests --gtest_brief=1 --gtest_filter='*Batch*:FlatSplit.*:Graph.BuildsAndSearchesOnSeveralThreads:Graph.AStop*'
	TSAN_OPTIONS=halt_on_error=1 LD_PRELOAD="$$(g++ -print-file-name=libtsan.so)" PYTHONPATH=$(TSAN_BUILD) \
	  $(PY) -m pytest -q -p no:cacheprovider tests/python/test_engine.py tests/python/test_engine_sets.py \
	  tests/python/test_engine_threads.py tests/python/test_engine_graph.py -k "(thread or ctrl_c) and not fork"

# Line and branch coverage of src/ from the C++ and Python suites, on an
# instrumented build at -O0 (one count per source line and branch). Branches
# are reported twice: all of them, then without the edges taken only when a
# call throws, the branches gcc puts on lines with no code and those on the
# lines the exemption file lists with its reasons. Fails when
# lines or those non-throw branches fall below the floors, which a run can
# set (`make coverage COVERAGE_MIN_BRANCHES=85`). The files of kernel tables
# the run did not use (the CPU lacks them, or KERNELS stops before them) are
# not counted: they are listed apart, as not run here.
COVERAGE_BUILD := build-coverage
COVERAGE_MIN_LINES ?= 97
COVERAGE_MIN_BRANCHES ?= 90
# Lines whose branches no test can take, each under its reason.
COVERAGE_EXEMPT := tests/coverage_exempt.txt
# Its Ctrl-C must land after the batch is converted, which at -O0 takes
# longer than the test waits; the release and sanitized runs keep it.
COVERAGE_DESELECT := --deselect tests/python/test_interrupt.py::test_graph_create_stops_between_insertions
# The files of each kernel table but the portable one (table:file), named
# after their table as CMakeLists.txt finds them.
TABLE_FILES := $(foreach t,$(wordlist 2,$(words $(KERNEL_TABLES)),$(KERNEL_TABLES)),$(addprefix $(t):,$(wildcard src/*/*_$(t).cpp src/*/*_$(t).h)))
COVERAGE_TABLES := $(COVERAGE_BUILD)/kernel_tables.txt
GCOVR = $(VENV)/bin/gcovr --root . --filter src/ --object-directory $(COVERAGE_BUILD) \
	--gcov-suspicious-hits-threshold 0
$(VENV)/bin/gcovr: $(VENV)/.ready
	$(PY) -m pip install -q "gcovr>=8.8,<9"

coverage: $(VENV)/.ready $(VENV)/bin/gcovr | gtest
	$(CMAKE) -S . -B $(COVERAGE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DORBISK_COVERAGE=ON -D$(CAP) \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DPython_FIND_VIRTUALENV=ONLY >/dev/null
	$(CMAKE) --build $(COVERAGE_BUILD) --target orbisk orbisk_engine core_tests kernel_tables -j $(JOBS)
	$(COVERAGE_BUILD)/kernel_tables > $(COVERAGE_TABLES)
	find $(COVERAGE_BUILD) -name '*.gcda' -delete
# The C++ and Python suites side by side (each mostly one thread; the counts
# of both processes are merged into the same files under a lock), the C++
# suite's report printed after the Python one's.
	@$(COVERAGE_BUILD)/core_tests --gtest_brief=1 --gtest_filter='-$(SANITIZE_SKIP)' > $(COVERAGE_BUILD)/core_tests.log 2>&1 & \
	core=$$!; \
	ORBISK_COVERAGE=1 PYTHONPATH=$(COVERAGE_BUILD) $(PY) -m pytest -q -p no:cacheprovider $(COVERAGE_DESELECT); py=$$?; \
	wait $$core; cpp=$$?; cat $(COVERAGE_BUILD)/core_tests.log; \
	[ $$py = 0 ] && [ $$cpp = 0 ]
	@$(MAKE) --no-print-directory coverage-report

# The tables and the floors, from the counts of the last `make coverage`.
coverage-report: $(VENV)/bin/gcovr
	@status=0; \
	used=" $$(cat $(COVERAGE_TABLES)) "; unused=""; unused_exclusions=""; \
	for pair in $(TABLE_FILES); do \
	  case "$$used" in *" $${pair%%:*} "*) ;; *) unused="$$unused $${pair#*:}"; \
	    unused_exclusions="$$unused_exclusions --exclude $${pair#*:}";; esac; \
	done; \
	echo "== kernel tables run:$${used% }"; \
	if [ -n "$$unused" ]; then echo "== not run here, not counted:$$unused"; fi; \
	echo "== lines (missing: the lines no test ran)"; \
	$(GCOVR) $$unused_exclusions --json $(COVERAGE_BUILD)/coverage.json --txt --txt-metric line \
	  --fail-under-line $(COVERAGE_MIN_LINES) || status=1; \
	echo "== all branches"; \
	$(VENV)/bin/gcovr --add-tracefile $(COVERAGE_BUILD)/coverage.json --txt-metric branch \
	  | sed -E 's/%[[:space:]]+[0-9,]+$$/%/'; \
	echo "== non-throw branches: without exception edges, lines with no code and the lines of $(COVERAGE_EXEMPT) (missing: lines of branches not taken)"; \
	exempt="$$(grep -v -e '^#' -e '^$$' $(COVERAGE_EXEMPT) | paste -sd'|')"; \
	$(GCOVR) $$unused_exclusions --exclude-throw-branches --exclude-unreachable-branches --exclude-branches-by-pattern "(?:$$exempt)" \
	  --txt-metric branch --fail-under-branch $(COVERAGE_MIN_BRANCHES) || status=1; \
	if [ $$status != 0 ]; then \
	  echo "coverage below the floors: lines $(COVERAGE_MIN_LINES)%, non-throw branches $(COVERAGE_MIN_BRANCHES)%" >&2; exit 1; \
	fi

# The core tests under valgrind's memcheck: no invalid access, no
# uninitialised read, no definite leak. The tests replace operator new to
# inject failures, so valgrind must leave the executable's own allocation
# functions in place and watch malloc beneath them.
# The largest graphs and scans (tens of thousands of nodes, which memcheck
# would take most of an hour over), and the rows of one query split among
# threads (40,000 rows, every thread count: memcheck runs threads one at a
# time), are left to the native, sanitized and tsan runs. So is the forked
# child's pool: memcheck counts the parent's thread records, which the
# child inherits without their threads, as lost at the child's exit.
VALGRIND_SKIP := BigGraphs/*:*nodes2500*:*nodes2000*:*nodes1500*:*rows70013*:FlatSplit.*:BatchPool.AForkedChild*
# memcheck runs a process's threads one at a time, so the tests are split
# into one share a core, run side by side (GoogleTest's shards).
VALGRIND_SHARDS ?= $(JOBS)
valgrind: core-tests
	@status=0; pids=""; \
	for i in $$(seq 0 $$(($(VALGRIND_SHARDS) - 1))); do \
	  GTEST_TOTAL_SHARDS=$(VALGRIND_SHARDS) GTEST_SHARD_INDEX=$$i \
	    valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
	    --soname-synonyms=somalloc=nouserintercepts $(BUILD)/core_tests --gtest_brief=1 \
	    --gtest_filter='-$(VALGRIND_SKIP)' & pids="$$pids $$!"; \
	done; \
	for p in $$pids; do wait $$p || status=1; done; \
	if [ $$status != 0 ]; then echo "valgrind: a shard failed" >&2; fi; exit $$status

# Structured fuzzing of every callable with atheris (in fuzz/.venv only); the
# scratch corpus lives outside the checkout so fuzz/corpus stays small.
FUZZ_CORPUS := /tmp/orbisk-fuzz-corpus
fuzz/.venv/.ready: fuzz/requirements.txt $(VENV)/.ready
	$(PY) -m venv fuzz/.venv && fuzz/.venv/bin/pip install -q -r fuzz/requirements.txt
	@touch $@

fuzz: build fuzz/.venv/.ready
	mkdir -p $(FUZZ_CORPUS)
	PYTHONPATH=$(BUILD) fuzz/.venv/bin/python fuzz/fuzz_orbisk.py -atheris_runs=1000000 $(FUZZ_CORPUS) fuzz/corpus

fuzz-smoke: build fuzz/.venv/.ready
	mkdir -p $(FUZZ_CORPUS)
	PYTHONPATH=$(BUILD) fuzz/.venv/bin/python fuzz/fuzz_orbisk.py -max_total_time=30 $(FUZZ_CORPUS) fuzz/corpus

# The sdist and the wheel; `python -m build` makes the wheel from the sdist,
# so a file missing from the sdist fails here. The wheel is installed in a
# fresh environment and the Python tests run there (they then import the
# installed module, not build/). With KERNELS, the wheel is capped as
# `make build` is.
PACKAGE_CAP := $(if $(KERNELS),-Ccmake.define.$(CAP))
package: $(VENV)/.ready
	rm -rf dist
	$(PY) -m build $(PACKAGE_CAP) --outdir dist . >/dev/null
	set -e; env=$$(mktemp -d); art=$$(ls dist/*.whl); \
	  echo "== $$art (built from $$(ls dist/*.tar.gz))"; \
	  $(PY) -m venv $$env; \
	  $$env/bin/pip install -q "$$art" pytest numpy mypy hypothesis; \
	  PYTHONPATH= $$env/bin/python -m pytest -q -p no:cacheprovider tests/python; \
	  rm -rf $$env

# Side by side with numpy, faiss and hnswlib (installed in bench/.venv only);
# writes docs/bench.md and docs/bench.png, then the batches beside faiss and
# scikit-learn, docs/batch.md, what an index costs around its searches, docs/files.md,
# and the graph beside hnswlib and faiss's HNSW (printed: docs/graph.md quotes it).
bench: build
	bench/run.sh $(BUILD)
	bench/run.sh $(BUILD) --batch --out docs/batch.md
	bench/run.sh $(BUILD) --files --out docs/files.md
	bench/run.sh $(BUILD) --graph --sets glove100k,glove400k,clustered --isa best,avx2 --batch

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(TSAN_BUILD) $(COVERAGE_BUILD) dist
