"""The command line: pumak COMMAND [ARGUMENTS] (or python3 -m pumak); `pumak COMMAND --help` for one."""

import importlib
import sys

from pumak.cli import PROGRAM, _quiet_stdout

# Command -> what it does. Each is the module pumak.<command> (or the one MODULES
# names) with main(argv) -> exit status.
COMMANDS = {
    "run": "run a site in this process and write the program's results table",
    "plot": "plot a results table and summarise the fit of the surface lowering",
    "prepare": "turn a weather station's record into a site the model reads",
    "check": "check a site's files and say what the model will make of them",
    "ensemble": "run the model over many parameter sets",
    "calibrate": "fit parameters to the observed surface lowering",
    "verify": "check a results file's digests and run its model again, bit for bit",
}


# The ensemble command lives in pumak.ensembles, so that pumak.ensemble stays
# the function.
MODULES = {"ensemble": "pumak.ensembles", "run": "pumak.runcommand"}


def usage():
    lines = [f"usage: {PROGRAM} COMMAND [ARGUMENTS]", "", "commands:"]
    lines += [f"  {name:<10} {what}" for name, what in COMMANDS.items()]
    lines += ["", f"{PROGRAM} COMMAND --help describes a command; {PROGRAM} --version prints the "
              "version of the model and the package."]
    return "\n".join(lines)


def dispatch(argv):
    """Runs the command argv names; returns its exit status."""
    if not argv or argv[0] in ("-h", "--help"):
        print(usage(), file=sys.stdout if argv else sys.stderr)
        return 0 if argv else 2
    if argv[0] == "--version":
        import pumak
        print(f"{PROGRAM} {pumak.__version__}")
        return 0
    command = argv[0]
    if command not in COMMANDS:
        print(f"{PROGRAM}: unknown command {command!r}; the commands are {', '.join(COMMANDS)}",
              file=sys.stderr)
        return 2
    name = MODULES.get(command, f"pumak.{command}")
    try:
        module = importlib.import_module(name)
    except ModuleNotFoundError as exc:
        if exc.name != name:
            raise
        print(f"{PROGRAM}: the command {command} is not part of this installation "
              f"(python/{name.replace('.', '/')}.py is missing)", file=sys.stderr)
        return 2
    return module.main(argv[1:])


def main(argv=None):
    """The ``pumak`` command (the console script and ``python3 -m pumak``); returns the exit status.

    A reader that closes standard output early (``pumak --help | head -1``)
    ends the command quietly: what is still buffered is flushed here, inside
    the command, rather than by the interpreter at exit, where a closed pipe
    would be reported with a traceback. The status is then the command's
    when it had finished its work, 0 when the closed pipe stopped it.
    """
    argv = sys.argv[1:] if argv is None else list(argv)
    status = None
    try:
        try:
            status = dispatch(argv)
        finally:
            sys.stdout.flush()
    except BrokenPipeError:
        _quiet_stdout()
        return 0 if status is None else status
    return status


if __name__ == "__main__":
    sys.exit(main())
