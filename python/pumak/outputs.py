"""Every output of the package appears whole under its name, or not at all.

A file is written to an unfinished file beside it and renamed over the
target; a set of files (a site, calibration results) is written into a new
directory that is then exchanged with the old one in one step. A failure
removes the unfinished work and raises `OutputError` naming the real cause;
an unfinished file or directory left by a killed process
(``.NAME.unfinished-PID``) is removed by the next write to the same target,
once that process is gone.
"""

import contextlib
import ctypes
import ctypes.util
import errno
import os
import re
import shutil
import signal
import stat

from pumak.errors import OutputError

_UNFINISHED = re.compile(r"^\.(?P<name>.+)\.unfinished-(?P<pid>\d+)$")


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def remove_stale(path):
    """Removes unfinished files or directories of `path` left by processes that are gone."""
    directory, name = os.path.split(os.path.abspath(os.fspath(path)))
    try:
        entries = os.listdir(directory)
    except OSError:
        return
    for entry in entries:
        match = _UNFINISHED.match(entry)
        if match and match["name"] == name and int(match["pid"]) != os.getpid() and not _alive(int(match["pid"])):
            stale = os.path.join(directory, entry)
            if os.path.isdir(stale) and not os.path.islink(stale):
                shutil.rmtree(stale, ignore_errors=True)
            else:
                with contextlib.suppress(OSError):
                    os.unlink(stale)


def unfinished_name(path):
    """The name under which `path` is written before it is complete."""
    directory, name = os.path.split(os.path.abspath(os.fspath(path)))
    return os.path.join(directory, f".{name}.unfinished-{os.getpid()}")


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def _terminated_as_interrupt():
    """SIGTERM and SIGHUP unwind the stack like Ctrl-C, so the unfinished work is removed."""
    def interrupt(number, frame):
        raise KeyboardInterrupt(signal.Signals(number).name)

    try:
        previous = {s: signal.signal(s, interrupt) for s in (signal.SIGTERM, signal.SIGHUP)}
    except ValueError:  # not the main thread: signals stay as they are
        yield
        return
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def write_file(path, content):
    """Writes the file `path` whole, or leaves the earlier one unchanged.

    Parameters
    ----------
    path : str or os.PathLike
        The target. A link is followed: its final target is replaced.
    content : str, bytes or callable
        The text (UTF-8, ``\\n`` line ends), the bytes, or a function called
        with the unfinished file's path that writes it (``dataset.to_netcdf``,
        ``figure.savefig``).

    Raises
    ------
    OutputError
        The system refused the write (full disk, file-size limit, no
        permission); nothing of this write is left.
    """
    target = os.path.realpath(os.fspath(path))
    if os.path.isdir(target):
        raise OutputError(path, OSError(errno.EISDIR, os.strerror(errno.EISDIR)))
    remove_stale(target)
    unfinished = unfinished_name(target)
    try:
        with _terminated_as_interrupt():
            try:
                if callable(content):
                    content(unfinished)
                    if not os.path.isfile(unfinished):
                        raise OSError(errno.EIO, "the writer produced no file")
                else:
                    data = content.encode("utf-8") if isinstance(content, str) else bytes(content)
                    descriptor = os.open(unfinished, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_TRUNC, 0o666)
                    with os.fdopen(descriptor, "wb") as stream:
                        stream.write(data)
                _keep_mode(target, unfinished)
                os.replace(unfinished, target)
            except BaseException:
                with contextlib.suppress(OSError):
                    os.unlink(unfinished)
                raise
    except OSError as cause:
        raise OutputError(path, cause) from None


def _keep_mode(target, unfinished):
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except OSError:
        return
    os.chmod(unfinished, mode)


def _copy_links(source, destination, skip):
    """The tree `source` as hard links under `destination`, but for the relative paths in `skip`."""
    for root, directories, files in os.walk(source):
        relative = os.path.relpath(root, source)
        target_root = os.path.normpath(os.path.join(destination, relative))
        os.makedirs(target_root, exist_ok=True)
        shutil.copystat(root, target_root)
        for name in files:
            if os.path.normpath(os.path.join(relative, name)) in skip:
                continue
            source_file = os.path.join(root, name)
            try:
                os.link(source_file, os.path.join(target_root, name), follow_symlinks=False)
            except OSError:
                shutil.copy2(source_file, os.path.join(target_root, name), follow_symlinks=False)
        for name in list(directories):
            if os.path.islink(os.path.join(root, name)):
                os.symlink(os.readlink(os.path.join(root, name)), os.path.join(target_root, name))
                directories.remove(name)


_RENAME_EXCHANGE = 2


def _exchange(a, b):
    """Swaps two directory entries in one step (Linux renameat2); False where the system cannot."""
    libc_name = ctypes.util.find_library("c")
    try:
        libc = ctypes.CDLL(libc_name, use_errno=True)
        renameat2 = libc.renameat2
    except (OSError, AttributeError):
        return False
    at_fdcwd = -100
    result = renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), _RENAME_EXCHANGE)
    if result == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.ENOSYS, errno.EINVAL):
        return False
    raise OSError(code, os.strerror(code), os.fsdecode(b))


def write_directory(path, fill, replaces=()):
    """Writes the directory `path` as a whole: a new one appears, or the earlier one is unchanged.

    Parameters
    ----------
    path : str or os.PathLike
        The directory. When it exists, what it holds outside `replaces` is
        kept (as hard links, so nothing is copied), and the new directory
        takes its place in one step.
    fill : callable
        Called with the unfinished directory's path; writes the new files
        into it (with plain writes: the directory as a whole is the unit).
    replaces : iterable of str
        Paths relative to `path` that `fill` writes anew; they are not
        carried over from the earlier directory.

    Raises
    ------
    OutputError
        The system refused the write; the earlier directory is unchanged.
    """
    target = os.path.realpath(os.fspath(path))
    if os.path.exists(target) and not os.path.isdir(target):
        raise OutputError(path, OSError(errno.ENOTDIR, os.strerror(errno.ENOTDIR)))
    remove_stale(target)
    unfinished = unfinished_name(target)
    skip = {os.path.normpath(p) for p in replaces}
    try:
        with _terminated_as_interrupt():
            try:
                os.makedirs(os.path.dirname(target), exist_ok=True)
                if os.path.isdir(target):
                    _copy_links(target, unfinished, skip)
                else:
                    os.mkdir(unfinished)
                    os.chmod(unfinished, 0o777 & ~_umask())
                fill(unfinished)
                if not os.path.isdir(target):
                    os.rename(unfinished, target)
                elif _exchange(unfinished, target):
                    shutil.rmtree(unfinished, ignore_errors=True)
                else:  # two steps: the earlier directory stays under the unfinished name until the new one is in
                    previous = f"{unfinished}.previous"
                    os.rename(target, previous)
                    os.rename(unfinished, target)
                    shutil.rmtree(previous, ignore_errors=True)
            except BaseException:
                shutil.rmtree(unfinished, ignore_errors=True)
                raise
    except OutputError:
        raise
    except OSError as cause:
        raise OutputError(path, cause) from None
