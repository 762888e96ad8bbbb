"""Every output of the package appears whole under its name, or not at all.

A file is written to an unfinished file beside it and renamed over the
target; a set of files (a site, calibration results) is written into a new
directory that is then exchanged with the old one in one step.

Rules the writers keep:

- Each call writes under its own unfinished name, ``.NAME.unfinished-PID-N``
  (N counts the calls of the process), so two threads or processes writing
  one target never share or remove each other's work; a failing call removes
  only what it made and raises `OutputError` naming the real cause.
- Unfinished work left by a killed process (also the older
  ``.NAME.unfinished-PID``) is removed by the next write to the same target,
  once that process is gone. A directory left only under its hidden
  ``.previous`` name (a kill between the two renames where the system has no
  exchange in one step) is put back under its name by the next write or read.
- The directory writer refuses, before it writes anything, a directory
  holding a mount point or a folder it cannot read (it would otherwise
  delete files on another file system, or lose what it cannot carry over),
  and a directory holding the working folder (the process would be left in
  the removed one).
- An output that is, by any spelling or link, an input of the same command is
  refused before any work (`refuse_input`).
"""

import contextlib
import ctypes
import ctypes.util
import errno
import itertools
import os
import re
import shutil
import signal
import stat

from pumak.errors import InputError, OutputError

_UNFINISHED = re.compile(r"^\.(?P<name>.+)\.unfinished-(?P<pid>\d+)(?:-\d+)?(?P<previous>\.previous)?$")

# Numbers the calls of this process: with the process id, an unfinished name no other call uses.
_calls = itertools.count(1)


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def remove_stale(path):
    """Tidies what killed processes left of `path`: their unfinished work is removed, a lost directory restored.

    Parameters
    ----------
    path : str or os.PathLike
        The target of a write (a file or a directory).

    Notes
    -----
    Only entries of processes that are gone are touched. When `path` does
    not exist and such a process left it under its ``.previous`` name, that
    directory is renamed back to `path` (the write it was part of did not
    finish, so the earlier directory is the valid one). Removal never
    crosses into another file system.
    """
    directory, name = os.path.split(os.path.abspath(os.fspath(path)))
    try:
        entries = sorted(os.listdir(directory))
    except OSError:
        return
    stale = []
    for entry in entries:
        match = _UNFINISHED.match(entry)
        if match and match["name"] == name and not _alive(int(match["pid"])):
            stale.append((entry, bool(match["previous"])))
    target = os.path.join(directory, name)
    for entry, previous in stale:
        if previous and not os.path.lexists(target):
            with contextlib.suppress(OSError):  # a failed rename keeps it where it is: never removed
                os.rename(os.path.join(directory, entry), target)
            continue
        _remove(os.path.join(directory, entry))


def recover(path):
    """Restores the directory `path` when a killed write left it only under its hidden ``.previous`` name.

    Parameters
    ----------
    path : str or os.PathLike
        A directory written by `write_directory` (a site's folder).

    Returns
    -------
    bool
        True when `path` exists afterwards.
    """
    if not os.path.lexists(path):
        remove_stale(path)
    return os.path.lexists(path)


def unfinished_name(path):
    """A name under which `path` is written before it is complete: one no other call uses.

    Parameters
    ----------
    path : str or os.PathLike
        The target.

    Returns
    -------
    str
        ``.NAME.unfinished-PID-N`` beside the target, N counting this
        process's calls (a name left by a dead process of the same id is
        skipped).
    """
    directory, name = os.path.split(os.path.abspath(os.fspath(path)))
    while True:
        unfinished = os.path.join(directory, f".{name}.unfinished-{os.getpid()}-{next(_calls)}")
        if not os.path.lexists(unfinished) and not os.path.lexists(unfinished + ".previous"):
            return unfinished


def _mount_points():
    """The folders where a file system is mounted (bind mounts included), as the system lists them."""
    try:
        with open("/proc/self/mountinfo", encoding="utf-8", errors="surrogateescape") as table:
            return {re.sub(r"\\([0-7]{3})", lambda m: chr(int(m[1], 8)), line.split()[4]) for line in table}
    except (OSError, IndexError):
        return set()


def _mounted_in(path):
    """Mount points at or under the directory `path` (not the file system `path` itself is on, unless it is one)."""
    top = os.path.realpath(os.fspath(path))
    return sorted(m for m in _mount_points() if m == top or m.startswith(top.rstrip(os.sep) + os.sep))


def _remove(path):
    """Removes the file or tree `path` without crossing into another file system; what it cannot remove stays."""
    try:
        top = os.lstat(path)
    except OSError:
        return
    if not stat.S_ISDIR(top.st_mode):
        with contextlib.suppress(OSError):
            os.unlink(path)
        return
    mounted = set(_mounted_in(path))

    def empty(folder):
        with contextlib.suppress(OSError), os.scandir(folder) as entries:
            for entry in list(entries):
                with contextlib.suppress(OSError):
                    info = entry.stat(follow_symlinks=False)
                    if info.st_dev != top.st_dev or os.path.realpath(entry.path) in mounted:
                        continue  # a mount point: what is on it is not ours to remove
                    if stat.S_ISDIR(info.st_mode):
                        empty(entry.path)
                        os.rmdir(entry.path)
                    else:
                        os.unlink(entry.path)

    empty(path)
    with contextlib.suppress(OSError):
        os.rmdir(path)


def _identity(path):
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return None
    return info.st_dev, info.st_ino


def refuse_input(out, inputs, option="--out", replaces=None):
    """Refuses an output that is, by any spelling or link, one of the inputs of the same command.

    Parameters
    ----------
    out : str or os.PathLike
        The output the command would write: a file, or a directory of which
        the command writes `replaces`.
    inputs : dict of str to path, or iterable of (str, path)
        What the command reads, by what it is to the user (``"the members
        table"``); None paths and paths that do not exist are skipped.
    option : str
        The option that names `out`, for the message.
    replaces : iterable of str, optional
        For a directory output (`write_directory`): the paths inside it the
        command writes. Such an output must not hold the working folder
        either.

    Raises
    ------
    InputError
        `out` (or a file it replaces) is the same file as an input (same
        device and inode, so links, hard links and other spellings are
        found), or a directory output holds the working folder; one line,
        exit status 2, before anything is written.
    """
    shown_out = os.fspath(out)
    if replaces is not None and holds_working_folder(out):
        raise InputError(f"{option} {shown_out}: holds the working folder, which the write replaces as a whole; "
                         "run the command from outside it", file=shown_out, item=option)
    readers = {}
    for what, path in (inputs.items() if hasattr(inputs, "items") else inputs):
        identity = None if path is None else _identity(path)
        if identity is not None:
            readers.setdefault(identity, (what, os.fspath(path)))
    written = [(shown_out, "")] + [(os.path.join(shown_out, name), f"its {name} ") for name in replaces or ()]
    for path, part in written:
        found = readers.get(_identity(path))
        if found:
            what, name = found
            shown = "" if os.path.abspath(name) == os.path.abspath(path) else f" ({name})"
            raise InputError(f"{option} {shown_out}: {part}would overwrite {what}{shown}, an input of this command; "
                             "give another name", file=shown_out, item=option)


def holds_working_folder(path):
    """True when the directory `path` is the process's working folder or holds it.

    Parameters
    ----------
    path : str or os.PathLike
        A directory that `write_directory` would replace.
    """
    try:
        here = os.path.realpath(os.getcwd())
    except OSError:  # the working folder is already gone
        return False
    target = os.path.realpath(os.fspath(path))
    return here == target or here.startswith(target.rstrip(os.sep) + os.sep)


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

    Two calls writing one file at once both finish; the file is the one of
    the call that ended last.

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


def _refusal(reason, code=errno.EPERM):
    return OSError(code, reason)


def _copy_links(source, destination, skip):
    """The tree `source` as hard links under the new folder `destination`, but for the relative paths in `skip`.

    Returns
    -------
    dict of str to tuple
        Every entry carried over or skipped, by relative path: its (device,
        inode) at that moment.

    Raises
    ------
    OSError
        `source` holds a mount point or a folder it cannot read; nothing is
        carried over then.
    """
    device = os.lstat(source).st_dev
    mounted = _mounted_in(source)
    if mounted:
        where = os.path.relpath(mounted[0], os.path.realpath(source))
        raise _refusal(f"{'it' if where == os.curdir else where} is a mount point; a directory is never rewritten "
                       "across file systems", errno.EXDEV)
    seen = {}

    def walk(folder, relative):
        try:
            with os.scandir(folder) as scan:
                entries = list(scan)
        except OSError as error:
            raise _refusal(f"{relative or 'it'} cannot be read ({error.strerror}), so it cannot be carried over",
                           error.errno) from None
        for entry in entries:
            info = os.lstat(entry.path)
            name = os.path.join(relative, entry.name) if relative else entry.name
            if info.st_dev != device:
                raise _refusal(f"{name} is a mount point; a directory is never rewritten across file systems",
                               errno.EXDEV)
            seen[name] = (info.st_dev, info.st_ino)
            if stat.S_ISDIR(info.st_mode):
                walk(entry.path, name)

    walk(source, "")  # everything is looked at before anything is made
    for name, _ in sorted(seen.items()):
        source_path, target_path = os.path.join(source, name), os.path.join(destination, name)
        if name in skip:
            continue
        if os.path.isdir(source_path) and not os.path.islink(source_path):
            os.mkdir(target_path)
            shutil.copystat(source_path, target_path)
        elif os.path.islink(source_path):
            os.symlink(os.readlink(source_path), target_path)
        else:
            try:
                os.link(source_path, target_path, follow_symlinks=False)
            except OSError:
                shutil.copy2(source_path, target_path, follow_symlinks=False)
    shutil.copystat(source, destination)
    return seen


def _settle(earlier, new, carried, skip, relative=""):
    """Empties the earlier directory, after the new one took its place, into the new one, and removes it.

    An entry that was carried over (same path, same file as then) is
    removed: the new directory holds it, or the write replaced or dropped it.
    Anything else (a file created or replaced in the earlier directory after
    it was carried over, such as the results table of a model run that ended
    meanwhile) is moved into the new directory, unless the write replaces
    that path. Returns the entries it could not deal with: they stay where
    they are, never removed.
    """
    for _ in range(3):  # a folder that fills while it is emptied is looked at again
        left = []
        try:
            with os.scandir(earlier) as scan:
                entries = list(scan)
        except OSError:
            return [earlier]
        for entry in entries:
            name = os.path.join(relative, entry.name) if relative else entry.name
            there = os.path.join(new, entry.name)
            try:
                info = entry.stat(follow_symlinks=False)
                folder = stat.S_ISDIR(info.st_mode)
                both_folders = folder and os.path.isdir(there) and not os.path.islink(there)
                if both_folders and name not in skip:
                    left += _settle(entry.path, there, carried, skip, name)
                elif carried.get(name) == (info.st_dev, info.st_ino) or name in skip:
                    _remove(entry.path)
                elif not os.path.lexists(there) or not (folder or os.path.isdir(there)):
                    os.replace(entry.path, there)  # a late arrival
                else:
                    left.append(entry.path)
            except OSError:
                left.append(entry.path)
        if left:
            return left
        try:
            os.rmdir(earlier)
            return []
        except OSError as error:
            if error.errno not in (errno.ENOTEMPTY, errno.EEXIST):
                return [earlier]
    return [earlier]


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


def write_directory(path, fill, replaces=(), exclusive=False):
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
    exclusive : bool
        The caller found `path` missing or empty: a directory another writer
        filled meanwhile is left as it is and this call fails (errno EEXIST).

    Raises
    ------
    OutputError
        The system refused the write; the earlier directory is unchanged.
        Also, before anything is written: `path` holds a mount point, a
        folder that cannot be read, or the working folder; or, with
        `exclusive`, another writer filled it first.

    Notes
    -----
    Files written into the earlier directory while this call runs are kept:
    what the earlier directory holds once the new one has taken its place,
    and did not hold (as the same file) when it was carried over, is moved
    into the new directory, unless it is one of `replaces`. A file written
    there after that (by a process whose working folder is the earlier
    directory) finds its folder gone and fails with an error of its own.
    """
    target = os.path.realpath(os.fspath(path))
    if os.path.exists(target) and not os.path.isdir(target):
        raise OutputError(path, OSError(errno.ENOTDIR, os.strerror(errno.ENOTDIR)))
    if holds_working_folder(target):
        raise OutputError(path, _refusal("it holds the working folder, which the rewrite would remove; write it "
                                         "from outside", errno.EBUSY))
    recover(target)
    remove_stale(target)
    unfinished = unfinished_name(target)
    skip = {os.path.normpath(p) for p in replaces}
    made = False
    try:
        with _terminated_as_interrupt():
            try:
                os.makedirs(os.path.dirname(target), exist_ok=True)
                os.mkdir(unfinished)
                made = True
                os.chmod(unfinished, 0o777 & ~_umask())
                replacing = not exclusive and os.path.isdir(target)
                carried = _copy_links(target, unfinished, skip) if replacing else {}
                fill(unfinished)
                if not replacing:
                    try:  # takes the place of a missing or an empty folder, never of one filled meanwhile
                        os.rename(unfinished, target)
                    except OSError as error:
                        if error.errno in (errno.ENOTEMPTY, errno.EEXIST):
                            raise OSError(errno.EEXIST, "written by another writer meanwhile") from None
                        raise
                    return
                if _exchange(unfinished, target):
                    earlier = unfinished
                else:  # two steps: a kill between them leaves the earlier directory under .previous (`recover`)
                    earlier = f"{unfinished}.previous"
                    os.rename(target, earlier)
                    try:
                        os.rename(unfinished, target)
                    except BaseException:
                        os.rename(earlier, target)
                        raise
                made = False
            except BaseException:
                if made:
                    _remove(unfinished)
                raise
        _settle(earlier, target, carried, skip)
    except OutputError:
        raise
    except OSError as cause:
        raise OutputError(path, cause) from None
