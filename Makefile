# Everything runs in a virtual environment of its own, made on first use.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
CTEST_BUILD := build/ctest

.PHONY: demo test install pytest ctest sanitize tsan bench format clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# Builds the extension (incrementally, in build/) and installs the package with its test extras.
install: $(PY)
	$(PY) -m pip install --quiet ".[test]"

demo: install
	$(PY) -m kestrova demo

test: pytest ctest

pytest: install
	$(PY) -m pytest -q

# The native kernel alone, with AddressSanitizer and UndefinedBehaviorSanitizer.
ctest: $(PY)
	$(PY) -m pip install --quiet cmake ninja
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S tests/cpp -B $(CTEST_BUILD) -G Ninja \
		-DKESTROVA_SANITIZE=address,undefined
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(CTEST_BUILD)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir $(CTEST_BUILD) --output-on-failure

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer, and the whole pytest
# suite run against it (tools/sanitize.sh).
sanitize: install
	$(PY) -m pip install --quiet pybind11 cmake ninja
	tools/sanitize.sh $(CURDIR)/$(PY)

# The kernel's own tests under ThreadSanitizer, with Clang and LLVM's OpenMP runtime.
tsan: $(PY)
	$(PY) -m pip install --quiet cmake ninja
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" tools/tsan.sh

bench: install
	$(PY) bench/score_map.py

format: $(PY)
	$(PY) -m pip install --quiet clang-format
	$(VENV)/bin/clang-format -i src/*.hpp src/*.cpp tests/cpp/*.cpp bench/*.cpp

clean:
	rm -rf build $(VENV)
