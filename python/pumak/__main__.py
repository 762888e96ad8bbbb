"""The command line: python3 -m pumak COMMAND [ARGUMENTS]; `python3 -m pumak COMMAND --help` for one."""

import importlib
import sys

# Command -> what it does. Each is the module pumak.<command> (or the one MODULES
# names) with main(argv) -> exit status.
COMMANDS = {
    "plot": "plot a results table and summarise the fit of the surface lowering",
    "prepare": "turn a weather station's record into a site the model reads",
    "check": "check a site's files and say what the model will make of them",
    "ensemble": "run the model over many parameter sets",
    "calibrate": "fit parameters to the observed surface lowering",
}


# The ensemble command lives in pumak.ensembles, so that pumak.ensemble stays
# the function.
MODULES = {"ensemble": "pumak.ensembles"}


def usage():
    lines = ["usage: python3 -m pumak COMMAND [ARGUMENTS]", "", "commands:"]
    lines += [f"  {name:<10} {what}" for name, what in COMMANDS.items()]
    lines += ["", "python3 -m pumak COMMAND --help describes a command; --version prints the model version."]
    return "\n".join(lines)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv or argv[0] in ("-h", "--help"):
        print(usage(), file=sys.stdout if argv else sys.stderr)
        return 0 if argv else 2
    if argv[0] == "--version":
        import pumak
        print(f"pumak {pumak.__version__}")
        return 0
    command = argv[0]
    if command not in COMMANDS:
        print(f"pumak: unknown command {command!r}; the commands are {', '.join(COMMANDS)}", file=sys.stderr)
        return 2
    name = MODULES.get(command, f"pumak.{command}")
    try:
        module = importlib.import_module(name)
    except ModuleNotFoundError as exc:
        if exc.name != name:
            raise
        print(f"pumak: the command {command} is not part of this installation "
              f"(python/{name.replace('.', '/')}.py is missing)", file=sys.stderr)
        return 2
    return module.main(argv[1:])


if __name__ == "__main__":
    sys.exit(main())
