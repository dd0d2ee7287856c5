# Everything runs in a virtual environment of its own, made on first use.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
# The venv's cmake, ninja and clang-format come first.
WITH_VENV := PATH="$(CURDIR)/$(VENV)/bin:$$PATH"
CTEST_BUILD := build/ctest

# Stamps in the venv: the requirements from pyproject.toml, and the package built from the
# sources below. A target is remade only when something it was made from has changed. The
# folders count too: a file added to or removed from one changes the folder's time.
REQUIREMENTS := $(VENV)/.requirements
INSTALLED    := $(VENV)/.installed
SOURCES      := $(shell find src -not -path '*/__pycache__*') pyproject.toml CMakeLists.txt
CXX_SOURCES  := $(shell find src tests/cpp bench -name '*.hpp' -o -name '*.cpp')

.PHONY: demo test install pytest ctest sanitize tsan bench format clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# The build system's requirements (with CMake and Ninja), the dependencies and the test extras,
# so that pip builds without an isolated environment of its own and build/ is reused.
$(REQUIREMENTS): pyproject.toml tools/requirements.py | $(PY)
	@echo "==> installing the requirements of pyproject.toml into $(VENV)"
	$(PY) tools/requirements.py test > $(VENV)/requirements.txt
	$(PY) -m pip install -r $(VENV)/requirements.txt cmake ninja
	touch $@

# Builds the extension incrementally in build/ (the build's steps are shown) and reinstalls the
# package, Python files included.
$(INSTALLED): $(SOURCES) $(REQUIREMENTS)
	@echo "==> building and installing kestrova (CMake build directory: build/)"
	$(WITH_VENV) $(PY) -m pip install -v --no-build-isolation --no-deps .
	touch $@

install: $(INSTALLED)

demo: install
	$(PY) -m kestrova demo

test: pytest ctest

pytest: install
	$(PY) -m pytest -q

# The native kernel alone, with AddressSanitizer and UndefinedBehaviorSanitizer.
ctest: $(REQUIREMENTS)
	$(WITH_VENV) cmake -S tests/cpp -B $(CTEST_BUILD) -G Ninja -DKESTROVA_SANITIZE=address,undefined
	$(WITH_VENV) cmake --build $(CTEST_BUILD)
	$(WITH_VENV) ctest --test-dir $(CTEST_BUILD) --output-on-failure

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer, and the whole pytest
# suite run against it (tools/sanitize.sh).
sanitize: install
	tools/sanitize.sh $(CURDIR)/$(PY)

# The kernel's own tests under ThreadSanitizer, with Clang and LLVM's OpenMP runtime.
tsan: $(REQUIREMENTS)
	$(WITH_VENV) tools/tsan.sh

bench: install
	$(PY) bench/score_map.py

$(VENV)/bin/clang-format: | $(PY)
	$(PY) -m pip install --quiet clang-format

format: $(VENV)/bin/clang-format
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

clean:
	rm -rf build $(VENV)
