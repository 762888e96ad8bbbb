"""What every command of `pumak` shares: its argument parser, its failures and its progress.

A command is a function ``main(argv) -> status`` that builds its parser
with `parser` and runs its work through `run`, which turns the package's
errors into one line on standard error and the exit status of
`pumak.errors`, and ends quietly when standard output is a closed pipe.
"""

import argparse
import os
import signal
import sys

from pumak.errors import SYSTEM_ERRNOS, InputError, OutputError

PROGRAM = "pumak"


class OneLineParser(argparse.ArgumentParser):
    """An argument parser whose refusals are one line and exit status 2 (``--help`` shows the usage)."""

    def error(self, message):
        self.exit(2, f"{self.prog}: {message}\n")


def parser(command, description, **options):
    """The argument parser of ``pumak COMMAND``.

    Parameters
    ----------
    command : str
        The command's words after ``pumak`` ("prepare", "ensemble merge").
    description : str
        One paragraph for ``--help``.
    **options
        Passed on to `argparse.ArgumentParser` (epilog, formatter_class).
    """
    return OneLineParser(prog=f"{PROGRAM} {command}", description=description, **options)


#: Most engine threads a command takes: more gain nothing on any machine the engine runs on.
MAX_THREADS = 1024
#: Largest random seed (the generators take 32 bits).
MAX_SEED = 2**32 - 1


def _whole(text, low, high, what):
    try:
        value = int(text)
    except (TypeError, ValueError):
        raise argparse.ArgumentTypeError(f"{text!r}: expected {what}") from None
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"{text!r}: expected {what} from {low} to {high}")
    return value


def positive_int(text):
    """An argument that is a whole number from 1 to 2**31 - 1 (argparse ``type``)."""
    return _whole(text, 1, 2**31 - 1, "a whole number")


def non_negative_int(text):
    """An argument that is a whole number from 0 to 2**31 - 1 (argparse ``type``)."""
    return _whole(text, 0, 2**31 - 1, "a whole number")


def threads(text):
    """An argument that is a number of engine threads, 1 to `MAX_THREADS` (argparse ``type``)."""
    return _whole(text, 1, MAX_THREADS, "a number of threads")


def seed(text):
    """An argument that is a random seed, 0 to `MAX_SEED` (argparse ``type``)."""
    return _whole(text, 0, MAX_SEED, "a seed")


def finite_float(text):
    """An argument that is a finite real number: NaN and infinities are refused (argparse ``type``)."""
    try:
        value = float(text)
    except (TypeError, ValueError):
        raise argparse.ArgumentTypeError(f"{text!r}: expected a number") from None
    if value != value or value in (float("inf"), float("-inf")):
        raise argparse.ArgumentTypeError(f"{text!r}: expected a finite number")
    return value


def say(command, text, stream=None):
    """Prints ``pumak COMMAND: text`` on standard error (or `stream`)."""
    print(f"{PROGRAM} {command}: {text}", file=stream or sys.stderr)


def _quiet_stdout():
    """After a closed pipe: standard output goes nowhere, so the interpreter's last flush is silent."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def run(command, work):
    """Runs ``work() -> status`` and reports its failure as ``pumak COMMAND: ...`` in one line.

    Returns
    -------
    int
        The status of `work`; the error's exit status for the package's
        errors (2 bad input, 1 a report, 4 an output the system refused);
        4 for any other refusal of the system, 130 for Ctrl-C and the
        signal's 128 + N for SIGTERM and SIGHUP; 0 when standard output is a
        closed pipe (the reader took what it wanted).
    """
    try:
        return work()
    except BrokenPipeError:
        _quiet_stdout()
        return 0
    except InputError as error:
        for line in error.lines():
            say(command, line)
        return error.exit_status
    except OutputError as error:
        say(command, str(error))
        return error.exit_status
    except MemoryError:
        say(command, "out of memory")
        return 4
    except OSError as error:
        where = f"{os.fsdecode(error.filename)}: " if error.filename else ""
        say(command, f"{where}{error.strerror or error}")
        return 4 if error.errno in SYSTEM_ERRNOS else 2
    except KeyboardInterrupt as interrupt:
        name = str(interrupt) if str(interrupt) in ("SIGTERM", "SIGHUP") else "SIGINT"
        say(command, "interrupted; earlier outputs are unchanged")
        return 128 + int(signal.Signals[name])


def progress(total, unit, description):
    """A progress bar on a terminal (tqdm); None when standard error is not one.

    Parameters
    ----------
    total : int
        Steps to go.
    unit : str
        What a step is ("member", "hour").
    description : str
        A few words shown before the bar.
    """
    if not sys.stderr.isatty():
        return None
    from tqdm import tqdm
    return tqdm(total=total, unit=unit, desc=description, leave=False, dynamic_ncols=True)


class Stages:
    """The stage of a long piece of work on one line of a terminal; nothing when stderr is not one."""

    def __init__(self, command, stream=None):
        stream = stream or sys.stderr
        self.command = command
        self.stream = stream if stream.isatty() else None

    def __call__(self, text):
        if self.stream:
            self.stream.write(f"\r\033[K{self.command}: {text}")
            self.stream.flush()

    def done(self):
        if self.stream:
            self.stream.write("\r\033[K")
            self.stream.flush()


__all__ = ["OneLineParser", "parser", "say", "run", "progress", "Stages", "positive_int", "threads", "seed",
           "finite_float"]
