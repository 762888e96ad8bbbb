#!/usr/bin/env python3
"""A shortcut for `pumak plot` that runs the package of this tree without installing it.

    /usr/bin/python3 tools/plot_results.py TABLE [PNG] [--json FILE|-] [--no-plot]

Same arguments, output and exit statuses as `pumak plot` (see pumak/plot.py).
The table is read through the compiled core, which must be built in place
first (it lands in python/pumak/):

    cmake -S . -B build -DPUMAK_BUILD_PYTHON=ON && cmake --build build -j2

Without it, the script says so in one line (status 2); an installed package
runs the same as `.venv/bin/pumak plot`.
"""
import importlib.util
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

if __name__ == "__main__":
    if importlib.util.find_spec("pumak._core") is None:
        print("plot_results: pumak's compiled core is not built in this tree; build it in place with "
              "'cmake -S . -B build -DPUMAK_BUILD_PYTHON=ON && cmake --build build -j2', "
              "or use an installed package: .venv/bin/pumak plot", file=sys.stderr)
        sys.exit(2)
    from pumak.plot import main

    sys.exit(main())
