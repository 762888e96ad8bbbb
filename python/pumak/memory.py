"""The memory a piece of work would need, refused before anything is allocated.

`run`, `write_site`, `read_results`, `ensemble` and `calibrate` all ask
`refuse_beyond` with the bytes they are about to allocate, so that work too
large for the machine ends with one line giving both sizes instead of the
system's out-of-memory killer.
"""

import os
import resource

from pumak.errors import InputError


def available():
    """The memory this process can still take: the system's available memory, within RLIMIT_AS.

    Returns
    -------
    int or None
        Bytes (``MemAvailable`` of /proc/meminfo, else the free physical
        pages, at most the address-space limit); None where neither is known.
    """
    found = None
    try:
        with open("/proc/meminfo", "rb") as stream:
            for line in stream:
                if line.startswith(b"MemAvailable:"):
                    found = int(line.split()[1]) * 1024
                    break
    except (OSError, ValueError, IndexError):
        pass
    if found is None:
        try:
            found = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        except (OSError, ValueError, AttributeError):
            return None
    limit = resource.getrlimit(resource.RLIMIT_AS)[0]
    if limit != resource.RLIM_INFINITY:
        found = min(found, limit)
    return found


def size_text(n_bytes):
    """A size for a message: ``1.2 MiB``, ``3.0 GiB``, ``512 bytes``.

    Parameters
    ----------
    n_bytes : int
        The size in bytes.

    Returns
    -------
    str
        In the largest binary unit it reaches, with one decimal.
    """
    for unit, scale in (("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if n_bytes >= scale:
            return f"{n_bytes / scale:.1f} {unit}"
    return f"{n_bytes} bytes"


def refuse_beyond(needed, what, item, advice=""):
    """Refuses work that would need more memory than this process can take, before it starts.

    Parameters
    ----------
    needed : int
        Bytes the work would allocate.
    what : str
        The start of the message, up to the size: ``"n_days: a run of 400
        days (9600 hours) needs"``.
    item : str
        The argument that sets the size (the error's ``.item``).
    advice : str, optional
        Appended to the message (``" (run the members in shards)"``).

    Raises
    ------
    InputError
        `needed` exceeds `available`; the message gives both sizes:
        ``WHAT 1.2 MiB of memory, 1.0 MiB is available ADVICE``.
    """
    free = available()
    if free is not None and needed > free:
        raise InputError(f"{what} {size_text(needed)} of memory, {size_text(free)} is available{advice}",
                         item=item)


__all__ = ["available", "size_text", "refuse_beyond"]
