"""The start of the vorn-gen command line (also `python -m vorn_py`).

An interrupt during start-up ends the program with one line and status 130,
not a traceback from the middle of an import: the handler for it is in place
before the command line and its libraries are imported.
"""

import os
import signal
import sys
from types import FrameType

from vorn_py._status import EXIT_INTERRUPTED


def run(prog: str = "vorn-gen") -> int:
    """Start the command line; returns the exit status."""

    def interrupted_while_starting(signum: int, frame: FrameType | None) -> None:
        try:
            os.write(2, f"{prog}: interrupted\n".encode())
        except OSError:
            pass
        raise SystemExit(EXIT_INTERRUPTED)

    # An interrupt that the parent chose to ignore stays ignored.
    starting = signal.getsignal(signal.SIGINT) is signal.default_int_handler
    if starting:
        signal.signal(signal.SIGINT, interrupted_while_starting)
    from vorn_py.cli import main

    if starting:
        # From here on an interrupt is a KeyboardInterrupt, which the command
        # line turns into a report of what it had done.
        signal.signal(signal.SIGINT, signal.default_int_handler)
    return main(prog=prog)


if __name__ == "__main__":
    sys.exit(run(prog="python -m vorn_py"))
