#!/usr/bin/env python3
"""The plot command under its old name: the same as `python3 -m pumak plot`.

    tools/plot_results.py TABLE [PNG] [--json FILE|-] [--no-plot]
"""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
from pumak.plot import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
