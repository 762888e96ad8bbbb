"""The package as a user installs it: one version everywhere, the `pumak` command, closed pipes,
the stub of the compiled core, the wheel in a second venv, and the refusals of the build.

tools/test_all.sh runs these (and every other Python test) against the package installed into a
fresh venv, from outside the tree, with PUMAK_TEST_INSTALLED=1 and PUMAK_WHEEL naming the wheel it
built; in place (PYTHONPATH=python) the tests that need an installation are skipped.
"""
import ast
import importlib.metadata
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import pumak
from pumak import _core
from conftest import INSTALLED, ROOT, assert_same_bits, program_path

WHEEL = os.environ.get("PUMAK_WHEEL")
PROGRAMS = ("pumak_metrun", "pumak_fixed_a", "pumak_fixed_b")
SYSTEM_PYTHON = "/usr/bin/python3"


def project_version():
    return re.search(r"^project\(pumak VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text(), re.MULTILINE)[1]


def console_script():
    """The `pumak` command installed beside this interpreter, or None."""
    script = Path(sys.executable).parent / "pumak"
    return script if script.exists() else None


def pumak_commands():
    """The ways to start the command line here: `python -m pumak`, and the console script when installed."""
    commands = [pytest.param([sys.executable, "-m", "pumak"], id="python -m pumak")]
    if INSTALLED or console_script():
        commands.append(pytest.param([str(Path(sys.executable).parent / "pumak")], id="pumak"))
    return commands


def version_of(source):
    if source == "pumak --version":
        script = console_script()
        if script is None:
            if INSTALLED:
                pytest.fail(f"no console script pumak beside {sys.executable}")
            pytest.skip("the package is not installed here (no console script)")
        return subprocess.run([script, "--version"], capture_output=True, text=True, check=True).stdout
    if source == "python -m pumak --version":
        return subprocess.run([sys.executable, "-m", "pumak", "--version"], capture_output=True, text=True,
                              check=True).stdout
    if source.startswith("pumak_"):
        return subprocess.run([program_path(source.removeprefix("pumak_")), "--version"], capture_output=True,
                              text=True, check=True).stdout
    if source == "package metadata":
        try:
            return "pumak " + importlib.metadata.version("pumak")
        except importlib.metadata.PackageNotFoundError:
            if INSTALLED:
                raise
            pytest.skip("the package is not installed here (no metadata)")
    if source.startswith("CITATION.cff"):
        text = (ROOT / "CITATION.cff").read_text()
        indent = "  " if "preferred" in source else ""
        block = text.split("preferred-citation:")[1] if indent else text.split("preferred-citation:")[0]
        return "pumak " + re.search(rf"^{indent}version: *(\S+)$", block, re.MULTILINE)[1]
    raise AssertionError(source)


@pytest.mark.parametrize("source", ["pumak --version", "python -m pumak --version", "pumak_metrun",
                                    "pumak_fixed_a", "pumak_fixed_b", "package metadata", "CITATION.cff",
                                    "CITATION.cff preferred-citation"])
def test_one_version_everywhere(source):
    """The console script, the programs, the metadata and the citation give the CMake project's version."""
    name = "pumak" if not source.startswith("pumak_") else source
    assert pumak.__version__ == project_version()
    assert version_of(source).strip() == f"{name} {project_version()}"


def test_installed_package_is_used_and_complete():
    """Installed: the package, its core, stub and marker come from the venv, not from the tree."""
    if not INSTALLED:
        pytest.skip("in place (PUMAK_TEST_INSTALLED is not 1)")
    package = Path(pumak.__file__).resolve().parent
    assert Path(sys.prefix).resolve() in package.parents
    assert Path(_core.__file__).resolve().parent == package
    assert {"py.typed", "_core.pyi"} <= {p.name for p in package.iterdir()}
    # every module of the tree, subpackages included
    modules = {str(p.relative_to(ROOT / "python" / "pumak")) for p in (ROOT / "python" / "pumak").rglob("*.py")}
    assert modules <= {str(p.relative_to(package)) for p in package.rglob("*.py")}
    # From another directory, without any PYTHONPATH, the same package answers.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    shown = subprocess.run([sys.executable, "-c", "import pumak; print(pumak.__file__, pumak.__version__)"],
                           cwd="/", env=env, capture_output=True, text=True, check=True).stdout.split()
    assert shown == [pumak.__file__, project_version()]


def test_run_of_example_is_the_programs_table(tmp_path):
    """The package's run of the shipped example is pumak_metrun's table, to the bit."""
    site = tmp_path / "example"
    shutil.copytree(ROOT / "example" / "run", site / "run")
    shutil.copytree(ROOT / "example" / "data", site / "data")
    done = subprocess.run([program_path("metrun")], cwd=site / "run", capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    table = site / "run" / "results_kpc_l.csv"
    assert_same_bits(pumak.run_site(site / "run"), pumak.read_results(table))
    assert len(pumak.read_results(table)) == 720


def closed_pipe_run(command, args, buffered):
    """Runs the command with standard output a pipe whose reader has already gone (`| head -0`)."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    if not buffered:
        env["PYTHONUNBUFFERED"] = "1"
    reader, writer = os.pipe()
    os.close(reader)
    try:
        return subprocess.run(command + args, stdout=writer, stderr=subprocess.PIPE, text=True, env=env,
                              timeout=120)
    finally:
        os.close(writer)


NOT_A_DIRECTORY = (2, "pumak check: /nonexistent/run: not a directory\n")
GOLDEN_ERROR = str(ROOT / "tests" / "data" / "golden" / "fixed_a_kpc_l" / "run")  # a site check finds an error in


# Each way of writing into the closed pipe once: the parser's help, a summary on stderr, a refusal, and a
# check that found an error, which keeps its status and summary when its output was buffered (it finished
# before the pipe was found closed) and ends quietly when unbuffered (the closed pipe stopped it). The
# console script runs the same main as `python -m pumak`: two cases show it ends the same way.
PIPE_CASES = {
    "help": (["--help"], False, (0, "")),
    "version": (["--version"], True, (0, "")),
    "plot help": (["plot", "--help"], True, (0, "")),
    "check": (["check", str(ROOT / "example" / "run")], False, (0, "0 error(s), 0 warning(s)\n")),
    "refusal": (["check", "/nonexistent/run"], True, NOT_A_DIRECTORY),
    "error buffered": (["check", GOLDEN_ERROR], True, (1, "1 error(s), 0 warning(s)\n")),
    "error unbuffered": (["check", GOLDEN_ERROR], False, (0, "")),
}


def closed_pipe_cases():
    for command in pumak_commands():
        for name, case in PIPE_CASES.items():
            if command.id == "python -m pumak" or name in ("version", "error buffered"):
                yield pytest.param(command.values[0], *case, id=f"{command.id}: {name}")


@pytest.mark.parametrize("command, args, buffered, expected", closed_pipe_cases())
def test_closed_pipe_ends_quietly(command, args, buffered, expected):
    """`pumak ... | head -1`: a status and at most the command's own line, never a traceback."""
    done = closed_pipe_run(command, args, buffered)
    assert (done.returncode, done.stderr) == expected


@pytest.mark.parametrize("command", pumak_commands())
def test_usage_names_pumak(command):
    done = subprocess.run(command + ["--help"], capture_output=True, text=True, check=True)
    assert done.stdout.startswith("usage: pumak COMMAND")
    assert "python3 -m" not in done.stdout


def test_import_is_light_and_every_public_name_loads_on_first_use():
    """`import pumak` loads neither numpy, pandas nor the core; each name of __all__ then resolves."""
    code = ("import sys, pumak\n"
            "print(sorted({'numpy', 'pandas', 'pumak._core'} & set(sys.modules)))\n"
            "print([name for name in pumak.__all__ if getattr(pumak, name, None) is None])\n"
            "print(callable(pumak.stations.read), callable(pumak.write_netcdf), issubclass(pumak.OutputError, OSError))")
    shown = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert shown == "[]\n[]\nTrue True True\n"


def binding_signatures():
    """Name -> (parameter names, number with a default) of every function of _core, from pybind11's docstrings."""
    signatures = {}
    for name in dir(_core):
        function = getattr(_core, name)
        if name.startswith("_") or not callable(function):
            continue
        first = function.__doc__.splitlines()[0]
        inside = re.fullmatch(rf"{name}\((.*)\) -> .+", first)[1]
        parameters, depth, part = [], 0, ""
        for c in inside + ",":  # split at the commas outside brackets: "columns: List[str] = []"
            if c in "[(":
                depth += 1
            elif c in "])":
                depth -= 1
            if c == "," and depth == 0:
                if part.strip():
                    parameters.append(part.strip())
                part = ""
            else:
                part += c
        signatures[name] = ([p.split(":")[0] for p in parameters], sum(" = " in p for p in parameters))
    return signatures


def stub_signatures():
    """Name -> (parameter names, number with a default) of every function in _core.pyi beside the package."""
    tree = ast.parse((Path(pumak.__file__).parent / "_core.pyi").read_text())
    return {node.name: ([a.arg for a in node.args.args], len(node.args.defaults))
            for node in tree.body if isinstance(node, ast.FunctionDef)}


def stub_attributes():
    tree = ast.parse((Path(pumak.__file__).parent / "_core.pyi").read_text())
    return {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}


@pytest.mark.parametrize("name", sorted(set(binding_signatures()) | set(stub_signatures())))
def test_stub_matches_binding(name):
    """Every function bound in python/src has its signature in _core.pyi, and the stub has no other."""
    assert stub_signatures().get(name) == binding_signatures().get(name)


def test_stub_attributes_match_binding():
    values = {name for name in dir(_core) if not name.startswith("_") and not callable(getattr(_core, name))}
    assert stub_attributes() == values


def pip(venv, *args, cwd=None):
    return subprocess.run([venv / "bin" / "pip", *args], capture_output=True, text=True, cwd=cwd, timeout=900)


def test_wheel_installs_into_second_venv_and_uninstalls(tmp_path):
    """The wheel tools/test_all.sh built: installed into a fresh venv, used from elsewhere, removed whole."""
    if not WHEEL:
        pytest.skip("PUMAK_WHEEL names no wheel (tools/test_all.sh builds one)")
    venv = tmp_path / "second venv"
    subprocess.run([SYSTEM_PYTHON, "-m", "venv", "--system-site-packages", venv], check=True)
    done = pip(venv, "install", "--no-index", WHEEL)
    assert done.returncode == 0, done.stdout + done.stderr
    site = Path(subprocess.run([venv / "bin" / "python", "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                               capture_output=True, text=True, check=True).stdout.strip())
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    shown = subprocess.run([venv / "bin" / "python", "-c", "import sys, pumak, pumak._core; print(pumak.__file__); "
                            "print(pumak.run_site(sys.argv[1])['sd_calc'].iloc[-1])", ROOT / "example" / "run"],
                           cwd=tmp_path, env=env, capture_output=True, text=True)
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout.splitlines()[0] == str(site / "pumak" / "__init__.py")
    expected = pumak.run_site(ROOT / "example" / "run")["sd_calc"].iloc[-1]
    assert shown.stdout.splitlines()[1] == str(expected)
    check = subprocess.run([venv / "bin" / "pumak", "check", ROOT / "example" / "run"], cwd=tmp_path, env=env,
                           capture_output=True, text=True)
    assert (check.returncode, check.stderr) == (0, "0 error(s), 0 warning(s)\n")
    # the programs are in the wheel and on the venv's PATH, built as CMake builds them
    with zipfile.ZipFile(WHEEL) as wheel:
        scripts = {Path(name).name for name in wheel.namelist() if ".data/scripts/" in name}
    assert scripts == set(PROGRAMS)
    for program in PROGRAMS:
        shown = subprocess.run([program, "--version"], env=dict(env, PATH=str(venv / "bin")), capture_output=True,
                               text=True, check=True).stdout
        assert shown == f"{program} {project_version()}\n"
    assert {"_core.pyi", "py.typed"} <= {p.name for p in (site / "pumak").iterdir()}

    done = pip(venv, "uninstall", "--yes", "pumak")
    assert done.returncode == 0, done.stderr
    assert not [p.name for p in site.iterdir() if p.name.lower().startswith("pumak")]
    assert not [name for name in ("pumak", *PROGRAMS) if (venv / "bin" / name).exists()]


def test_interpreter_without_numpy_is_refused_in_one_line(tmp_path):
    """pip install with a venv that cannot see Debian's packages: one line naming the interpreter to use."""
    venv = tmp_path / "plain"
    made = subprocess.run([SYSTEM_PYTHON, "-m", "venv", venv], capture_output=True, text=True)
    if made.returncode != 0 or not (venv / "bin" / "pip").exists():
        pytest.skip(f"no venv with pip from {SYSTEM_PYTHON}: {made.stderr.strip()}")
    done = pip(venv, "install", "--no-build-isolation", "--no-index", ROOT, cwd=tmp_path)
    assert done.returncode != 0
    said = [line.strip() for line in (done.stdout + done.stderr).splitlines() if "pumak build:" in line]
    assert len(said) == 1
    assert said[0].startswith(f"pumak build: {venv}/bin/python") and "cannot see numpy and pandas" in said[0]
    assert "/usr/bin/python3 -m venv --system-site-packages" in said[0]
    assert "Traceback" not in done.stdout + done.stderr


@pytest.mark.parametrize("cmake_version, header_version, said", [
    ("0.2.0", "0.2.0", "0.2.0"),
    ("0.3.0", "0.2.0", "pumak build: CMakeLists.txt says version 0.3.0, model/version.hpp 0.2.0: make them agree"),
    ("0.2.0", "0.2.1", "pumak build: CMakeLists.txt says version 0.2.0, model/version.hpp 0.2.1: make them agree"),
])
def test_build_takes_the_one_version(tmp_path, cmake_version, header_version, said):
    """setup.py gives the CMake project's version and refuses a model/version.hpp that says another."""
    for name in ("setup.py", "pyproject.toml", "README.md"):
        shutil.copy(ROOT / name, tmp_path / name)
    (tmp_path / "model").mkdir()
    (tmp_path / "python" / "pumak").mkdir(parents=True)
    cmake = (ROOT / "CMakeLists.txt").read_text()
    (tmp_path / "CMakeLists.txt").write_text(re.sub(r"(project\(pumak VERSION )\S+", rf"\g<1>{cmake_version}", cmake))
    header = (ROOT / "model" / "version.hpp").read_text()
    (tmp_path / "model" / "version.hpp").write_text(re.sub(r'pumak_version = "[^"]*"',
                                                           f'pumak_version = "{header_version}"', header))
    done = subprocess.run([SYSTEM_PYTHON, "setup.py", "--version"], cwd=tmp_path, capture_output=True, text=True)
    ok = cmake_version == header_version
    assert done.returncode == (0 if ok else 1)
    assert (done.stdout if ok else done.stderr).strip().splitlines()[-1] == said
