"""The raw native simulation, for callers that drive `zandrel_cpp` themselves."""

from __future__ import annotations

import os
import sys

import zandrel_cpp


def new_core() -> zandrel_cpp.Environment:
    """A native environment, without the banner that its constructor prints."""
    sys.stdout.flush()
    try:
        saved_stdout = os.dup(1)
    except OSError:
        # no file descriptor 1 to silence: the banner goes nowhere anyway
        return zandrel_cpp.Environment()
    try:
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), 1)
            return zandrel_cpp.Environment()
    finally:
        os.dup2(saved_stdout, 1)
        os.close(saved_stdout)
