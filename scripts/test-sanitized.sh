#!/usr/bin/env bash
# Builds the engine tests and the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the C++ tests and the pytest suite
# against that build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

export PATH="$PWD/.venv/bin:$PATH"

. scripts/test-store.sh  # one local S3 store for the whole run
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=ON \
    -DVORN_BUILD_TESTS=ON -DVORN_BUILD_EXTENSION=ON \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/asan
build/asan/vorn_cpp_tests

# The interpreter itself is not instrumented, so the runtime is preloaded;
# leak checking is off because the interpreter keeps memory until exit.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONPATH="$PWD/build/asan:$PWD"
export VORN_SANITIZED=1
cd tests
python -m pytest -q -p no:cacheprovider python "$@"
