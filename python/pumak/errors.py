"""The errors of the package: one family for bad input, one for outputs the system would not take.

Every command maps them to one line on standard error and an exit status
(`pumak.cli`):

======  ==========================================================
status  meaning
======  ==========================================================
0       done
1       the work found what it reports: `check` errors, gaps too long to fill
2       bad input: an argument, a site file, a station file, a mapping
4       an output the system would not take: a full disk, a file-size limit,
        no permission to write
128+N   stopped by signal N (SIGINT 130, SIGTERM 143)
======  ==========================================================
"""

import errno
import os


class InputError(ValueError):
    """Input the model or a tool cannot take: a file, a parameter, a column or an argument.

    Parameters
    ----------
    message : str
        What is wrong, one line. For a site file it is the programs'
        diagnostic without the program's name.
    file : str, optional
        The file at fault; None for input given in memory.
    line : int, optional
        The line of `file` (from 1); None where no line applies.
    item : str, optional
        The parameter, met column, results column or argument at fault;
        None when the whole file is.
    status : int, optional
        The exit status a command ends with (the program's own status for a
        site file); None means the default of the class.
    """

    #: exit status of a command that fails with this error
    default_status = 2

    def __init__(self, message, file=None, line=None, item=None, status=None):
        super().__init__(message)
        self.message = message
        self.file = file
        self.line = line
        self.item = item
        self.status = status

    @property
    def exit_status(self):
        """The command's exit status: `status` when the error carries one, else the class default."""
        return self.status if self.status is not None else self.default_status

    def lines(self):
        """The lines a command prints for this error (one, but for reports such as `GapError`)."""
        yield str(self)

    def __reduce__(self):  # keeps the attributes across processes (pickle)
        return type(self), (self.message, self.file, self.line, self.item, self.status)


class SourceError(InputError):
    """A station file or a mapping that cannot be read as promised."""


class GapError(InputError):
    """Gaps longer than the longest one filled, in a variable the model needs: exit status 1.

    Parameters
    ----------
    source : str
        The station file.
    gaps : list of dict
        One per gap: ``variable``, ``hours``, ``first``, ``last`` (local solar
        time) and ``utc``.
    max_gap : int
        The longest gap filled, in hours.
    """

    default_status = 1

    def __init__(self, source, gaps, max_gap):
        super().__init__(f"{source}: {len(gaps)} gap(s) longer than {max_gap} h", file=source)
        self.source, self.gaps, self.max_gap = source, gaps, max_gap

    def lines(self):
        for gap in self.gaps:
            yield (f"{self.source}: {gap['variable']}: gap of {gap['hours']} h from {gap['first']} to "
                   f"{gap['last']} (local solar time; UTC {gap['utc']})")
        yield (f"{self.source}: {len(self.gaps)} gap(s) longer than --max-gap {self.max_gap} h; nothing written "
               f"(--longest-complete keeps the longest period without them)")

    def __reduce__(self):
        return type(self), (self.source, self.gaps, self.max_gap)


class OutputError(OSError):
    """An output that could not be written, and why (a full disk is not "Permission denied").

    The earlier file or directory of that name is unchanged and no partial one is left.
    Exit status 4.

    Parameters
    ----------
    path : str
        The output the work was writing.
    cause : OSError
        The system's refusal; its ``strerror`` is the reason shown.
    """

    exit_status = 4

    def __init__(self, path, cause):
        reason = cause.strerror or str(cause) if isinstance(cause, OSError) else str(cause)
        code = cause.errno if isinstance(cause, OSError) else None
        super().__init__(code, reason, os.fsdecode(path))
        self.path = os.fsdecode(path)
        self.reason = reason

    def __str__(self):
        return f"cannot write {self.path}: {self.reason}"

    def __reduce__(self):
        return type(self), (self.path, OSError(self.errno, self.reason))


# errno values that say the system, not the input, stopped an output.
SYSTEM_ERRNOS = frozenset({errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EROFS, errno.EACCES, errno.EPERM,
                           errno.EIO, errno.ENOMEM})
