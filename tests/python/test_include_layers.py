"""The guard of the C++ layer order on a small tree: which includes it names, which it lets pass."""
import importlib.util

import pytest

from conftest import ROOT

_spec = importlib.util.spec_from_file_location("include_layers", ROOT / "tests" / "include_layers.py")
include_layers = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(include_layers)


@pytest.fixture
def tree(tmp_path):
    """One header in every layer, each including nothing."""
    for layer in include_layers.LAYERS:
        (tmp_path / layer).mkdir()
        (tmp_path / layer / "a.hpp").write_text("#pragma once\n")
    return tmp_path


# (file, its text, the report expected, or None for an include that is allowed)
CASES = [
    ("io/b.hpp", '#include "model/a.hpp"\n', 'io/b.hpp:1: includes "model/a.hpp": io/ is below model/'),
    ("physics/b.cpp", '#include <cmath>\n\n#include "records/a.hpp"\n', "physics/b.cpp:3:"),
    ("model/b.cpp", '#include "driver/a.hpp"\n', "model/ is below driver/"),
    ("driver/b.cpp", '#include "programs/a.hpp"\n', "driver/ is below programs/"),
    ("records/b.hpp", '  #  include "io/a.hpp"  // spaced\n', "records/b.hpp:1:"),
    ("model/deep/b.hpp", '#include "experiments/a.hpp"\n', "model/deep/b.hpp:1:"),
    ("io/b.hpp", '#include "../model/a.hpp"\n', "io/ is below model/"),
    ("io/b.hpp", '#include "bench/bench_support.hpp"\n', "in no folder of the order"),
    ("model/b.cpp", '#include "model/a.hpp"\n#include "io/a.hpp"\n#include "physics/a.hpp"\n', None),
    ("programs/b.cpp", "".join(f'#include "{layer}/a.hpp"\n' for layer in include_layers.LAYERS), None),
    ("model/b.cpp", '#include "a.hpp"\n', None),
    ("experiments/b.cpp", '#include "../io/a.hpp"\n', None),
    ("io/b.hpp", '#include <model/a.hpp>\n', "io/b.hpp:1: includes \"model/a.hpp\": io/ is below model/"),
    ("io/b.hpp", '#include <vector>\n#include <sys/stat.h>\n// #include "model/a.hpp"\n', None),
]


@pytest.mark.parametrize("name, text, report", CASES)
def test_an_include_that_runs_up_is_named(tree, name, text, report):
    (tree / name).parent.mkdir(parents=True, exist_ok=True)
    (tree / name).write_text(text)
    found = include_layers.violations(tree)
    if report is None:
        assert found == []
    else:
        assert len(found) == 1 and report in found[0], found


def test_exit_status_and_a_tree_without_a_layer(tree, capsys):
    assert include_layers.main(["include_layers.py", str(tree)]) == 0
    (tree / "io" / "b.hpp").write_text('#include "driver/a.hpp"\n')
    assert include_layers.main(["include_layers.py", str(tree)]) == 1
    assert 'io/b.hpp:1: includes "driver/a.hpp"' in capsys.readouterr().err
    (tree / "records" / "a.hpp").unlink()
    assert include_layers.main(["include_layers.py", str(tree)]) == 2
    assert "records: no C++ sources" in capsys.readouterr().err
