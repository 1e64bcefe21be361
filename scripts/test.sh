#!/usr/bin/env bash
# Runs every test: the C++ engine tests, then the Python suite against the
# installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

export PATH="$PWD/.venv/bin:$PATH"

. scripts/test-store.sh  # one local S3 store for the whole run
cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORN_BUILD_TESTS=ON -DVORN_BUILD_EXTENSION=OFF >/dev/null
cmake --build build/cpp
build/cpp/vorn_cpp_tests

# Run from outside the source tree so that the installed package is tested.
cd tests
python -m pytest -q python "$@"
