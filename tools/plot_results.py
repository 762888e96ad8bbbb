#!/usr/bin/env python3
"""A shortcut for `pumak plot` that works without installing the package.

    /usr/bin/python3 tools/plot_results.py TABLE [PNG] [--json FILE|-] [--no-plot]

Same arguments, output and exit statuses as `pumak plot` (see pumak/plot.py).
"""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
from pumak.plot import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
