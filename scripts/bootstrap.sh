#!/usr/bin/env bash
# Brings a fresh Debian machine to a working state: build packages, a virtual
# environment in .venv with the test tools, and vorn_py built and installed.
# Safe to run again; it only installs what is missing and rebuilds what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v pkg-config >/dev/null 2>&1 || missing+=(pkg-config)
pkg-config --exists hwloc 2>/dev/null || missing+=(libhwloc-dev)
command -v lstopo-no-graphics >/dev/null 2>&1 || missing+=(hwloc-nox)
python3 -c 'import ensurepip, venv' >/dev/null 2>&1 || missing+=(python3-venv)
python3 -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    || missing+=(python3-dev)
if [ ${#missing[@]} -gt 0 ]; then
    echo "bootstrap: installing ${missing[*]}" >&2
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The local S3-compatible store the object storage tests run against; where
# its packages cannot be installed, those tests are skipped and say why.
scripts/s3-server.sh install \
    || echo "bootstrap: the object storage packages could not be installed" >&2

if [ ! -x .venv/bin/python ]; then
    python3 -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip >/dev/null
.venv/bin/python -m pip install -q "scikit-build-core>=1.0" cmake ninja \
    pytest pytest-timeout hypothesis numpy zstandard lz4 tqdm xxhash mypy types-tqdm
# The extras the tests use, at the versions pyproject.toml names: MPI
# (mpi4py, and MPICH with its mpiexec) and object storage (the AWS SDK).
mapfile -t extras < <(.venv/bin/python -c 'import tomllib
extras = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]
for requirement in extras["mpi"] + extras["s3"]:
    print(requirement)')
.venv/bin/python -m pip install -q "${extras[@]}"
# No build isolation: the build tools above are reused, and build/ keeps the
# CMake tree between runs so that only what changed is recompiled.
.venv/bin/python -m pip install -q --no-build-isolation --no-deps .
