#!/usr/bin/env bash
# The native kernel's tests under ThreadSanitizer.
#
# GCC's OpenMP runtime is not instrumented, so TSan cannot see the ordering that its fork, join
# and barriers provide and reports every parallel region. LLVM's runtime announces that ordering
# to TSan through its Archer tool, so the kernel is built with Clang against it here. Debian's
# clang, libomp-dev and compiler-rt packages are installed when missing (as root).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build/tsan}

have_tools() {
    command -v clang++ >/dev/null &&
        echo 'int main() { return 0; }' |
        clang++ -x c++ -fopenmp=libomp -fsanitize=thread - -o /dev/null 2>/dev/null
}
if ! have_tools; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends clang libomp-dev >/dev/null
    version=$(clang++ -dumpversion | cut -d. -f1)
    # The sanitizer runtimes: their own package from LLVM 14 on, part of clang's before.
    apt-get install -y -qq --no-install-recommends "libclang-rt-$version-dev" >/dev/null ||
        true
    have_tools || { echo "no clang++ with OpenMP and ThreadSanitizer" >&2; exit 1; }
fi

cmake -S tests/cpp -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DKESTROVA_SANITIZE=thread >/dev/null
cmake --build "$BUILD"
ctest --test-dir "$BUILD" --output-on-failure
