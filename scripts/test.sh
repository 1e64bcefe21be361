#!/usr/bin/env bash
# Runs every test: the C++ engine tests, then the Python suite against the
# installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

export PATH="$PWD/.venv/bin:$PATH"

# One local S3-compatible store for the whole run, stopped however the run
# ends (and by itself should this shell be killed).
s3_server="$PWD/scripts/s3-server.sh"
s3_dir="$(mktemp -d)"
trap '"$s3_server" stop "$s3_dir"; rm -rf "$s3_dir"' EXIT
s3_status=0
"$s3_server" start "$s3_dir" --owner $$ >/dev/null || s3_status=$?
# Status 3: the packages are missing, and the tests skip saying so.
case $s3_status in
    0) export VORN_TEST_S3_DIR="$s3_dir" ;;
    3) ;;
    *) exit "$s3_status" ;;
esac
cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORN_BUILD_TESTS=ON -DVORN_BUILD_EXTENSION=OFF >/dev/null
cmake --build build/cpp
build/cpp/vorn_cpp_tests

# Run from outside the source tree so that the installed package is tested.
cd tests
python -m pytest -q python "$@"
