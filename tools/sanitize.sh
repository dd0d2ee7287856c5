#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer (no recovery) and runs
# the whole pytest suite against it.
#
# Usage: tools/sanitize.sh PYTHON [pytest arguments...]
#   PYTHON  an interpreter whose environment has the package's dependencies, pytest, hypothesis,
#           pybind11, cmake and ninja (the Makefile's `sanitize` target prepares .venv so).
#
# The interpreter itself is not instrumented: the ASan runtime is preloaded into it (it must be
# the first library loaded) and leak detection is off, since CPython keeps much of its memory
# until exit by design. Leaks of the module's own objects are the business of test_leaks.py.
set -euo pipefail
PY=${1:?usage: tools/sanitize.sh PYTHON [pytest arguments...]}
shift
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build/sanitize
mkdir -p "$BUILD"
CXX=${CXX:-g++}
BIN=$(dirname "$PY")
export PATH="$BIN:$PATH"

cmake -S . -B "$BUILD/cmake" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$CXX" \
    -DKESTROVA_SANITIZE=address,undefined \
    -DPython_EXECUTABLE="$PY" \
    -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)" >"$BUILD/cmake.log" 2>&1 ||
    { cat "$BUILD/cmake.log"; exit 1; }
cmake --build "$BUILD/cmake"

# The package as it would be installed, with the instrumented module in it; found before any
# installed copy through PYTHONPATH, which subprocesses started by the tests inherit too.
rm -rf "$BUILD/py"
mkdir -p "$BUILD/py"
cp -r src/kestrova "$BUILD/py/kestrova"
cp "$BUILD"/cmake/hough*.so "$BUILD/py/kestrova/"

ASAN_LIB=$("$CXX" -print-file-name=libasan.so)
UBSAN_LIB=$("$CXX" -print-file-name=libubsan.so)
[ -e "$ASAN_LIB" ] || { echo "no ASan runtime for $CXX" >&2; exit 1; }
# A stray compiler cache from another build must not shadow the instrumented module.
export PYTHONDONTWRITEBYTECODE=1
export PYTHONPATH="$BUILD/py${PYTHONPATH:+:$PYTHONPATH}"
# allocator_may_return_null: an allocation too large to satisfy fails as it would without the
# sanitizer (MemoryError, std::bad_alloc) instead of ending the process.
ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1
export ASAN_OPTIONS=$ASAN_OPTIONS:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export KESTROVA_SANITIZED=1
export LD_PRELOAD="$ASAN_LIB:$UBSAN_LIB"
"$PY" -c "import kestrova.hough as h; assert h.__file__.startswith('$BUILD/py'), h.__file__"
"$PY" -m pytest -q -p no:cacheprovider "$@"
