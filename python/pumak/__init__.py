"""pumak: a point model of a cryoconite hole on a glacier, in Python.

    site = pumak.read_site("example/run")
    results = pumak.run(site.parameters, site.met)

The model itself is compiled (pumak._core) and shared with the programs
pumak_metrun, pumak_fixed_a and pumak_fixed_b: a run here is bit for bit
the program's run. The command `pumak` lists the command-line tools.

A station's own file is read by `pumak.stations.read` (the record with its
units, before any site exists); results go to NetCDF with `to_xarray` and
`write_netcdf`; `pumak.plot` draws them. These load on first use.
"""

import importlib

from pumak.errors import GapError, InputError, OutputError, SourceError

# Name -> module that defines it. The modules load on first use, so that
# `import pumak` stays light and the command-line tools that do not run the
# model work before the compiled core is built.
_PUBLIC = {
    "Site": "pumak.model",
    "read_site": "pumak.model",
    "run": "pumak.model",
    "run_site": "pumak.model",
    "write_site": "pumak.model",
    "program_name": "pumak.model",
    "read_results": "pumak.results",
    "to_xarray": "pumak.cf",
    "write_netcdf": "pumak.cf",
    "ensemble": "pumak.ensembles",
}
# Subpackages and modules reachable as pumak.NAME once pumak is imported.
_SUBMODULES = ("stations", "cf", "plot", "plots")

__all__ = ["InputError", "SourceError", "GapError", "OutputError", "__version__", *_PUBLIC, *_SUBMODULES]


def __getattr__(name):
    if name == "__version__":
        return _core_module().version
    if name in _PUBLIC:
        if name in ("read_site", "run", "run_site", "write_site", "program_name", "Site",
                    "read_results", "ensemble"):
            _core_module()
        value = getattr(importlib.import_module(_PUBLIC[name]), name)
        globals()[name] = value
        return value
    if name in _SUBMODULES:
        return importlib.import_module(f"pumak.{name}")
    raise AttributeError(f"module 'pumak' has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(__all__))


def _core_module():
    try:
        return importlib.import_module("pumak._core")
    except ImportError as exc:
        raise ImportError(
            "pumak's compiled core (pumak._core) is not built or does not load for this "
            f"interpreter ({exc}); install the package into a venv made with "
            "'/usr/bin/python3 -m venv --system-site-packages VENV': "
            "VENV/bin/pip install --no-build-isolation --no-index . (README, Python)") from exc
