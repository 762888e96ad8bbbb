"""Checks that the C++ folders include one another one way only.

The folders form layers, from the ground up::

    physics < records < io < model < experiments < driver < programs

A file may include headers of its own folder and of folders below it.
Every ``#include "..."`` line of the layered folders that reaches up (or
into a folder outside the order), and every ``#include <...>`` of a layer's
header, is reported as ``FILE:LINE: ...``, and the exit status is 1. The tests, benchmarks, fuzzers and the Python
binding sit above all layers and are not checked.

Usage: include_layers.py [ROOT]   (ROOT: the source tree, by default the
one holding this script)
"""

import re
import sys
from pathlib import Path

LAYERS = ("physics", "records", "io", "model", "experiments", "driver", "programs")
SOURCE_SUFFIXES = {".hpp", ".cpp", ".h", ".cc"}
INCLUDE = re.compile(r'^\s*#\s*include\s*(?:"([^"]+)"|<([^>]+)>)')


def layer_of(path, root):
    """The layer (first folder below `root`) that `path` lies in, or None."""
    try:
        parts = path.resolve().relative_to(root.resolve()).parts
    except ValueError:
        return None
    return parts[0] if len(parts) > 1 and parts[0] in LAYERS else None


def target_of(included, source, root):
    """The file an include names, as the compiler finds it with -I ROOT:
    next to the including file first, then below ROOT."""
    beside = source.parent / included
    return beside if beside.exists() else root / included


def violations(root):
    """Every include of a layered folder that reaches up or out, as lines."""
    root = Path(root)
    order = " < ".join(LAYERS)
    found = []
    for layer in LAYERS:
        sources = sorted(p for p in (root / layer).rglob("*") if p.suffix in SOURCE_SUFFIXES)
        if not sources:
            raise FileNotFoundError(f"{root / layer}: no C++ sources; is {root} the source tree?")
        rank = LAYERS.index(layer)
        for source in sources:
            lines = source.read_text(encoding="utf-8", errors="replace").splitlines()
            for number, line in enumerate(lines, start=1):
                match = INCLUDE.match(line)
                if match is None:
                    continue
                quoted, angled = match.groups()
                if angled is not None and Path(angled).parts[0] not in LAYERS:
                    continue  # a system header
                included = quoted or angled
                found_at = target_of(included, source, root) if quoted else root / included
                target = layer_of(found_at, root)
                where = f"{source.relative_to(root)}:{number}"
                if target is None:
                    found.append(f'{where}: includes "{included}", which is in no folder of the order {order}')
                elif LAYERS.index(target) > rank:
                    found.append(f'{where}: includes "{included}": {layer}/ is below {target}/ ({order})')
    return found


def main(argv):
    root = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent
    try:
        found = violations(root)
    except OSError as error:
        print(f"include_layers: {error}", file=sys.stderr)
        return 2
    for line in found:
        print(line, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
