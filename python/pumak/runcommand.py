"""``pumak run``: runs a site in this process and writes the program's results table, byte for byte.

    pumak run SITE [--program NAME] [--netcdf FILE] [--utc-offset HOURS] [--quiet]

SITE is a run directory (it holds parameter.ini) or a site's folder (it
holds run/parameter.ini). The table goes where the program writes it
(``out_file`` of parameter.ini, relative to the run directory), with the
program's bytes, whole or not at all; ``--netcdf`` writes the CF-1.11 /
ACDD-1.3 file of the run too (sealed, so that ``pumak verify`` can check
it). One line per file written, unless ``--quiet``.
"""

import os
import sys
import time

from pumak import _core, cli, memory, outputs
from pumak.errors import InputError

# The status the programs end with when the results table cannot be written.
_TABLE_STATUS = 4


def run_directory(site):
    """The run directory of `site`: `site` itself when it holds parameter.ini, else its run/.

    Raises
    ------
    InputError
        Neither holds parameter.ini.
    """
    for candidate in (site, os.path.join(site, "run")):
        if os.path.isfile(os.path.join(candidate, "parameter.ini")):
            return candidate
    raise InputError(f"{site}: neither a run directory nor a site's folder (no parameter.ini in it or in "
                     f"{os.path.join(site, 'run')})", file=site)


def table_path(run_dir, out_file):
    """Where the program started in `run_dir` writes the table `out_file`.

    Raises
    ------
    InputError
        A blank `out_file`, or one that is an input of the run; the
        program's status 4.
    """
    name = out_file.strip()
    if not name:
        raise InputError("cannot create the results file: out_file in parameter.ini is blank",
                         file=os.path.join(run_dir, "parameter.ini"), item="out_file", status=_TABLE_STATUS)
    return os.path.join(run_dir, name)


def _refuse_inputs(path, run_dir, met_file):
    for input_file in (os.path.join(run_dir, "parameter.ini"), _core.met_file_path(met_file, run_dir)):
        if os.path.exists(path) and os.path.exists(input_file) and os.path.samefile(path, input_file):
            raise InputError(f"cannot create {path}: it is the input file {input_file}", file=path,
                             item="out_file", status=_TABLE_STATUS)


def run(site, program="pumak_metrun", netcdf=None, utc_offset=None):
    """Runs `site` as its program would and writes the table (and `netcdf`).

    The table goes straight from the compiled core's readers, model and
    formatter (the programs') to the file; pandas and xarray are loaded only
    for `netcdf`.

    Parameters
    ----------
    site : str
        A run directory or a site's folder.
    program : str
        The program's full or short name.
    netcdf : str, optional
        A NetCDF file to write as well (`pumak.to_xarray`, `pumak.write_netcdf`).
    utc_offset : float, optional
        Local solar time minus UTC, in hours; default: the site's provenance.

    Returns
    -------
    tuple
        The table's path and the hours run.

    Raises
    ------
    InputError
        The site, as the program would refuse it (with its exit status).
    OutputError
        The system refused a file; the earlier one is unchanged.
    """
    try:
        name = _core.program_layout(program)["program"]
    except ValueError as error:
        raise InputError(f"--program {program}: {error}", item="--program") from None
    run_dir = run_directory(site)
    directory = os.fsencode(run_dir)
    parameters = _core.read_parameters(directory, name)
    hours = max(int(parameters["n_days"]), 0) * 24
    memory.refuse_beyond(hours * 4 * (len(_core.result_columns()) + len(_core.met_columns())),
                         f"n_days: a run of {parameters['n_days']} days ({hours} hours) needs", "n_days")
    met = _core.read_met(directory, parameters)
    path = table_path(run_dir, parameters["out_file"])
    _refuse_inputs(path, run_dir, parameters["met_file"])
    columns = _core.run(parameters, met, name)
    dataset = None
    if netcdf is not None:
        import pandas as pd

        from pumak.cf import to_xarray
        from pumak.model import read_provenance
        from pumak.results import results_frame
        dataset = to_xarray(results_frame(columns, program=name), parameters, pd.DataFrame(met),
                            utc_offset=utc_offset, program=name, provenance=read_provenance(run_dir),
                            run_dir=run_dir)
    def write_table(unfinished):
        descriptor = os.open(unfinished, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        try:
            _core.write_results(columns, descriptor)
        finally:
            os.close(descriptor)

    outputs.write_file(path, write_table)
    if dataset is not None:
        from pumak.cf import write_netcdf
        write_netcdf(dataset, netcdf)
    return path, hours


def _command(argv):
    parser = cli.parser("run", "Runs a site in this process and writes the program's results table, byte for byte.")
    parser.add_argument("site", metavar="SITE", help="the run directory (holds parameter.ini) or the site's folder")
    parser.add_argument("--program", default="pumak_metrun",
                        help="pumak_metrun (default), pumak_fixed_a or pumak_fixed_b (or metrun, fixed_a, fixed_b)")
    parser.add_argument("--netcdf", metavar="FILE", help="write the run as a CF-1.11 / ACDD-1.3 NetCDF file too")
    parser.add_argument("--utc-offset", type=float, metavar="HOURS",
                        help="local solar time minus UTC (default: the site's provenance.json; else unknown)")
    parser.add_argument("--quiet", action="store_true", help="print nothing on success")
    args = parser.parse_args(argv)
    started = time.perf_counter()
    if args.netcdf is not None and not os.path.isdir(os.path.dirname(os.path.abspath(args.netcdf))):
        raise InputError(f"--netcdf {args.netcdf}: no directory {os.path.dirname(os.path.abspath(args.netcdf))}",
                         item="--netcdf")
    path, hours = run(args.site, args.program, args.netcdf, args.utc_offset)
    if not args.quiet:
        seconds = time.perf_counter() - started
        print(f"{path}: {hours} hours" + (f"; {args.netcdf}" if args.netcdf else "") + f", {seconds:.2f} s")
    return 0


def main(argv=None):
    """``pumak run``; returns the exit status (the program's statuses: 2 parameter.ini, 3 the met file,
    4 the results table; 128 + N stopped by signal N)."""
    argv = sys.argv[1:] if argv is None else list(argv)
    return cli.run("run", lambda: _command(argv))


if __name__ == "__main__":
    sys.exit(main())
