#!/usr/bin/env bash
# Sets the machine up, then runs the generator's command line with the given
# arguments (size and ratios) and prints what it produced and how fast.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
exec .venv/bin/python -m vorn_py "$@"
