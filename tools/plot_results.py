#!/usr/bin/env python3
"""A shortcut for `pumak plot` from a source tree.

    /usr/bin/python3 tools/plot_results.py TABLE [PNG] [--json FILE|-] [--no-plot]

Same arguments, output and exit statuses as `pumak plot` (see pumak/plot.py).
It uses this tree's package when its compiled core is built in place
(`cmake -S . -B build -DPUMAK_BUILD_PYTHON=ON && cmake --build build`), and
the installed package otherwise.
"""
import sys
from pathlib import Path

_TREE = Path(__file__).resolve().parents[1] / "python"
if any((_TREE / "pumak").glob("_core*.so")):
    sys.path.insert(0, str(_TREE))

from pumak.__main__ import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(["plot", *sys.argv[1:]]))
