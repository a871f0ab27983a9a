# ferroglyph: `make demo` runs the demo, `make test` runs every test.
# Both do whatever setup is still missing (tools/setup.sh).

VENV      := .venv
PY        := $(VENV)/bin/python
CMAKE     := $(VENV)/bin/cmake
CTEST     := $(VENV)/bin/ctest
NINJA     := $(abspath $(VENV)/bin/ninja)
PREFIX_FILE := .deps/openjph-prefix
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)

SOURCES := $(shell find src CMakeLists.txt pyproject.toml -type f -not -name '*.pyc' 2>/dev/null)
BRIDGE_TEST_SOURCES := $(shell find tests/bridge -type f 2>/dev/null)

.PHONY: all demo test lint setup install test-bridge test-bridge-asan test-python test-fuzz-smoke \
        test-wheel wheel sdist fuzz fuzz-build sweep leakcheck format clean bench bench-encode \
        bench-components bench-pillow bench-lossy bench-rate bench-region

all: install

setup:
	@bash tools/setup.sh

# The package, installed (not editable) into the project's environment.
$(VENV)/.installed: $(SOURCES) | setup
	@echo "[build] ferroglyph into $(VENV)"
	@P=$$(cat $(PREFIX_FILE)); \
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
	  --config-settings=cmake.define.FERROGLYPH_WERROR=ON \
	  $${P:+--config-settings=cmake.define.CMAKE_PREFIX_PATH=$$P} .
	@touch $@

install: setup $(VENV)/.installed

demo: install
	@$(PY) demo/demo.py

test: install lint test-bridge test-bridge-asan test-python test-fuzz-smoke test-wheel

# The package's style and types: ruff (its default rules, import order, bugbear,
# pyupgrade) and mypy --strict, configured in pyproject.toml.
lint: setup
	@echo "[lint] ruff and mypy --strict on src/ferroglyph"
	@$(VENV)/bin/ruff check src/ferroglyph
	@$(VENV)/bin/mypy

define bridge_tests
	@P=$$(cat $(PREFIX_FILE)); \
	$(CMAKE) -S . -B build/$(1) -G Ninja -DCMAKE_MAKE_PROGRAM=$(NINJA) \
	  -DFERROGLYPH_BUILD_TESTS=ON -DFERROGLYPH_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo $(2) \
	  $${P:+-DCMAKE_PREFIX_PATH=$$P} > build/$(1).configure.log || { cat build/$(1).configure.log; exit 1; }
	@$(CMAKE) --build build/$(1) -j $(JOBS)
	@$(3) $(CTEST) --test-dir build/$(1) --output-on-failure -j $(JOBS)
endef

test-bridge: setup
	@mkdir -p build
	@echo "[test] bridge (GoogleTest)"
	$(call bridge_tests,tests,,)

test-bridge-asan: setup
	@mkdir -p build
	@echo "[test] bridge under AddressSanitizer + UndefinedBehaviorSanitizer"
	$(call bridge_tests,asan,-DFERROGLYPH_SANITIZE=ON,ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1)

test-python: install
	@echo "[test] Python package (pytest)"
	@$(PY) -m pytest -q

# A wheel per CPython 3.10-3.13 found here (or per interpreter in PYTHONS),
# each built in isolation as pip does, audited and, where this machine could
# install the result, repaired to its manylinux tag (tools/wheels.py).
PYTHONS ?=
wheel: setup
	@$(PY) tools/wheels.py build --werror --prefix-file $(PREFIX_FILE) --dist dist \
	  $(if $(strip $(PYTHONS)),--pythons $(PYTHONS))

sdist: setup
	@mkdir -p build
	@$(PY) -m build --sdist --outdir dist . > build/sdist.log 2>&1 || { cat build/sdist.log; exit 1; }
	@ls -1 dist/*.tar.gz

# The project environment's wheel, installed into a fresh environment outside
# the checkout and tested there with nothing but NumPy and pytest.
test-wheel: setup
	@echo "[test] wheel, installed and tested outside the checkout"
	@rm -rf build/wheel-check
	@$(PY) tools/wheels.py build --werror --prefix-file $(PREFIX_FILE) \
	  --dist build/wheel-check --pythons $(abspath $(PY))
	@$(PY) tools/wheels.py check build/wheel-check/*.whl

# The libFuzzer targets (fuzz/), built with clang, ASan and UBSan.
fuzz-build: install
	@mkdir -p build
	@CXX=$$(bash tools/setup_fuzz.sh) && P=$$(cat $(PREFIX_FILE)); \
	$(CMAKE) -S fuzz -B build/fuzz -G Ninja -DCMAKE_MAKE_PROGRAM=$(NINJA) \
	  -DCMAKE_CXX_COMPILER=$$CXX -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  $${P:+-DCMAKE_PREFIX_PATH=$$P} > build/fuzz.configure.log || { cat build/fuzz.configure.log; exit 1; }
	@$(CMAKE) --build build/fuzz -j $(JOBS) > build/fuzz.build.log || { cat build/fuzz.build.log; exit 1; }

# Each fuzz target (and the module-level fuzzer) for FUZZ_SECONDS; findings
# are minimised into fuzz/regressions/, which the tests replay.
FUZZ_SECONDS ?= 1800
fuzz: fuzz-build
	@$(PY) fuzz/run_fuzz.py --seconds $(FUZZ_SECONDS)

# CI: seeds and regressions replayed, then a short run of each native target.
test-fuzz-smoke: fuzz-build
	@echo "[test] fuzz targets, smoke run"
	@$(PY) fuzz/run_fuzz.py --smoke --seconds 20 --targets fuzz_decode_info fuzz_decode fuzz_tile_plan

# Every prefix and thousands of mutations of small codestreams.
sweep: install
	@$(PY) fuzz/sweep.py

# The module's calls, error paths included, repeated: memory and references flat.
leakcheck: install
	@$(PY) tools/leakcheck.py --iterations 3000

format:
	@$(PY) -m pip install -q clang-format >/dev/null
	@find src tests bench -name '*.cpp' -o -name '*.h' | xargs $(VENV)/bin/clang-format -i

clean:
	rm -rf build dist $(VENV)/.installed

# ferroglyph against raw OpenJPH and against other HTJ2K readers; prints the
# table and the figures and records them in BENCHMARKS.md (bench/run_bench.py).
bench: install
	@bash bench/setup.sh
	@mkdir -p build
	@P=$$(cat $(PREFIX_FILE)); \
	$(CMAKE) -S bench -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(NINJA) \
	  -DCMAKE_BUILD_TYPE=Release $${P:+-DCMAKE_PREFIX_PATH=$$P} > build/bench.configure.log \
	  || { cat build/bench.configure.log; exit 1; }
	@$(CMAKE) --build build/bench -j $(JOBS) > build/bench.build.log || { cat build/bench.build.log; exit 1; }
	@$(PY) bench/run_bench.py

# The parallel tiled encode and the released lock, on their own (no peers):
# prints a markdown block for BENCHMARKS.md (bench/encode_parallel.py).
bench-encode: install
	@$(PY) bench/encode_parallel.py

# A 4K 4:2:2 12-bit picture decoded against the same picture coded 4:4:4.
bench-components: install
	@$(PY) bench/components.py

# Pillow through ferroglyph against Pillow's own JPEG 2000 plugin, same HTJ2K files.
bench-pillow: install
	@$(PY) bench/pillow_plugin.py

# Max error and PSNR of every sample type at quality levels and steps, and the
# bounds docs/lossy.md states checked over levels 1-100 (bench/lossy_table.py).
bench-lossy: install
	@$(PY) bench/lossy_table.py --check

# Rate and distortion targets met, passes, and the call's time against one
# encode at the chosen step (bench/rate.py; --levels prints the level table).
bench-rate: install
	@$(PY) bench/rate.py

# Windows of a 16384^2 tiled .jph and a 4096^2 one-tile image against whole
# decodes, and the bytes imread reads for a window (bench/region.py).
bench-region: install
	@$(PY) bench/region.py
