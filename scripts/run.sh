#!/usr/bin/env bash
# Sets the machine up, then runs the vorn-gen command line with the given
# arguments, e.g. `generate 1GiB --dedup 2 --compress 3 -o /tmp/vorn.bin`.
set -euo pipefail
cd "$(dirname "$0")/.."
# Set-up chatter goes to standard error, so that `-o -` output stays clean.
scripts/bootstrap.sh >&2
exec .venv/bin/vorn-gen "$@"
