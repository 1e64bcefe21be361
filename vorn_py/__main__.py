"""`python -m vorn_py`: the same command line as the vorn-gen script."""

import sys

from vorn_py.cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m vorn_py"))
