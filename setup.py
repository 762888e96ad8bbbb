"""Builds the package pumak: its compiled core through the project's own CMake.

The metadata is in pyproject.toml. This file adds what setuptools cannot
know: the version (the CMake project's, checked against model/version.hpp)
and the compiled module pumak._core, which CMake builds with the model's
compiler flags (PUMAK_MODEL_FLAGS in CMakeLists.txt), and the three
programs pumak_metrun, pumak_fixed_a and pumak_fixed_b, which the install
puts on the environment's PATH (VENV/bin), in a build directory
of its own (build/python-package/cmake-*); nothing is written into python/
(except by ``pip install -e``, whose point is a package used in place).

    /usr/bin/python3 -m venv --system-site-packages VENV
    VENV/bin/pip install --no-build-isolation --no-index .
"""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, find_packages, setup
from setuptools.command.build_ext import build_ext
from distutils.command.build_scripts import build_scripts  # setuptools 66 of a venv has no build_scripts of its own

ROOT = Path(__file__).resolve().parent
BUILD_BASE = "build/python-package"
NEEDED_MODULES = ("numpy", "pandas")
# The programs, built by the same CMake call as the core and installed on
# the environment's PATH (its bin/) with the package.
PROGRAMS = ("pumak_metrun", "pumak_fixed_a", "pumak_fixed_b")
PROGRAM_DIR = f"{BUILD_BASE}/programs"


def stop(message):
    """Ends the build with one line on standard error."""
    print(f"pumak build: {message}", file=sys.stderr)
    raise SystemExit(1)


def project_version():
    """The version of the CMake project, which model/version.hpp must repeat."""
    cmake = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    header = (ROOT / "model" / "version.hpp").read_text(encoding="utf-8")
    project = re.search(r"^project\(pumak\s+VERSION\s+([0-9][0-9.]*)", cmake, re.MULTILINE)
    model = re.search(r'pumak_version\s*=\s*"([^"]*)"', header)
    if not project or not model:
        stop("no version in CMakeLists.txt's project() or model/version.hpp's pumak_version")
    if project.group(1) != model.group(1):
        stop(f"CMakeLists.txt says version {project.group(1)}, model/version.hpp "
             f"{model.group(1)}: make them agree")
    return project.group(1)


def interpreter_problem(executable=sys.executable, find_spec=importlib.util.find_spec):
    """None, or one line saying why this interpreter cannot take the package and which one can."""
    missing = [name for name in NEEDED_MODULES if find_spec(name) is None]
    if not missing:
        return None
    return (f"{executable} cannot see {' and '.join(missing)}; install with an interpreter that "
            "sees Debian's packages: /usr/bin/python3, or a venv made with "
            "'/usr/bin/python3 -m venv --system-site-packages VENV' (then VENV/bin/pip install "
            "--no-build-isolation --no-index .)")


def cached_source(build_dir):
    """The source directory a CMake build directory was configured for, or None."""
    cache = build_dir / "CMakeCache.txt"
    if not cache.exists():
        return None
    found = re.search(r"^CMAKE_HOME_DIRECTORY:INTERNAL=(.*)$", cache.read_text(errors="replace"),
                      re.MULTILINE)
    return found.group(1) if found else None


class CMakeBuild(build_ext):
    """build_ext that has CMake build the target _core and copies the module where setuptools wants it."""

    def build_extension(self, ext):
        cmake = shutil.which("cmake")
        if cmake is None:
            stop("cmake is not on PATH; tools/install_deps.sh installs it (as root) or names it")
        # One CMake build directory per interpreter ABI, shared by the wheel
        # and the editable install (setuptools gives the latter a fresh
        # temporary directory each time), so that a rebuild is incremental.
        build_dir = ROOT / BUILD_BASE / f"cmake-{sys.implementation.cache_tag}"
        if cached_source(build_dir) not in (None, str(ROOT)):
            shutil.rmtree(build_dir)  # configured for a tree that has moved
        build_dir.mkdir(parents=True, exist_ok=True)
        configure = [
            cmake, "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DPUMAK_BUILD_PYTHON=ON", "-DPUMAK_PYTHON_IN_PLACE=OFF",
            "-DPUMAK_BUILD_TESTS=OFF", "-DPUMAK_BUILD_BENCHMARKS=OFF",
            "-DPUMAK_BUILD_FUZZERS=OFF", "-DPUMAK_SANITIZE=OFF",
            f"-DPython_EXECUTABLE={sys.executable}",
        ]
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        self.spawn(configure)
        self.spawn([cmake, "--build", str(build_dir), "--target", "_core", *PROGRAMS, "-j", jobs])
        (ROOT / PROGRAM_DIR).mkdir(parents=True, exist_ok=True)
        for program in PROGRAMS:
            shutil.copy2(build_dir / program, ROOT / PROGRAM_DIR / program)
        built = Path((build_dir / "python" / "core_module_path.txt").read_text().strip())
        target = Path(self.get_ext_fullpath(ext.name))
        if built.name != target.name:
            stop(f"CMake built {built.name}, this interpreter loads {target.name}: "
                 f"build with the interpreter that will import it ({sys.executable})")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


class ProgramScripts(build_scripts):
    """build_scripts for compiled programs: copied as they are (no first line to adjust)."""

    def copy_scripts(self):
        self.mkpath(self.build_dir)
        outfiles = []
        for script in self.scripts:
            outfile = os.path.join(self.build_dir, os.path.basename(script))
            shutil.copy2(ROOT / script, outfile)
            outfiles.append(outfile)
        return outfiles, outfiles


# The interpreter that builds the package is the one it is built for (pip
# runs this file with it): one that cannot see Debian's numpy and pandas is
# refused before anything is built, and the line says which one to use. A
# source archive needs no interpreter of that kind.
if "sdist" not in sys.argv[1:]:
    PROBLEM = interpreter_problem()
    if PROBLEM:
        stop(PROBLEM)

# setuptools writes its metadata (pumak.egg-info) there too, not beside the sources.
(ROOT / BUILD_BASE).mkdir(parents=True, exist_ok=True)
setup(
    version=project_version(),
    package_dir={"": "python"},
    packages=find_packages("python"),  # pumak and its subpackages (pumak.stations)
    package_data={"pumak": ["py.typed", "*.pyi"]},
    # A core built in place for PYTHONPATH=python is not the one this build makes.
    exclude_package_data={"pumak": ["*.so"]},
    zip_safe=False,
    ext_modules=[Extension("pumak._core", sources=[])],
    scripts=[f"{PROGRAM_DIR}/{program}" for program in PROGRAMS],
    cmdclass={"build_ext": CMakeBuild, "build_scripts": ProgramScripts},
    options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}},
)
