"""The texts of a site's files: parameter.ini and the met file.

Reals are written in the shortest form that reads back to the identical
single-precision value. Every file is written through `pumak.outputs`
(whole or not at all); a site as a whole through `pumak.write_site`.
"""

import os

import numpy as np

from pumak import outputs
from pumak.errors import InputError
from pumak.layout import (INTEGER_COLUMNS, INTEGER_ITEMS, MET_COLUMNS, TEXT_ITEMS,
                          items_in_layout)

# The programs cut texts to this many characters.
TEXT_LENGTH = 128

# A text holding one of these must be quoted to read back as one value.
_NEEDS_QUOTES = set(" \t,/'\"")


def format_real(value):
    """The shortest text that reads back to the identical float32 of `value`.

    Parameters
    ----------
    value : float
        Any real; taken to the nearest float32 first.

    Returns
    -------
    str
        Positional notation from 1e-4 to 1e16, scientific otherwise;
        ``NaN``, ``Inf``, ``-Inf`` for the non-finite values.
    """
    v = np.float32(value)
    if np.isnan(v):
        return "NaN"
    if np.isinf(v):
        return "Inf" if v > 0 else "-Inf"
    magnitude = abs(float(v))
    if magnitude == 0.0 or 1e-4 <= magnitude < 1e16:
        return np.format_float_positional(v, unique=True, trim="0")
    return np.format_float_scientific(v, unique=True, trim="0", exp_digits=1)


def format_text(value):
    """A file name or label as one value of a statement, quoted where needed.

    Parameters
    ----------
    value : str
        The text, at most 128 characters, without a line end.

    Returns
    -------
    str
        The text, in single quotes (doubled inside) when it holds a blank,
        a comma, a slash or a quote, or is empty.

    Raises
    ------
    InputError
        The text holds a line end or is longer than the programs read.
    """
    text = str(value)
    if "\n" in text or "\r" in text:
        raise InputError(f"{text!r}: a line end cannot stand in a value")
    if len(text) > TEXT_LENGTH:
        raise InputError(f"{text[:40]!r}...: longer than {TEXT_LENGTH} characters, the programs would cut it")
    if text and not _NEEDS_QUOTES.intersection(text):
        return text
    return "'" + text.replace("'", "''") + "'"


def parameter_file_text(parameters, statements):
    """The plain layout of parameter.ini: the two file names, then `label value` lines.

    Parameters
    ----------
    parameters : dict
        The items (`pumak.Site.parameters`; latitude in degrees north, the
        other units as the README's parameter table gives them).
    statements : int
        Statements the program reads: 16 (pumak_metrun) or 13.

    Returns
    -------
    str
        The file's text, one statement per line, ``\\n`` line ends.

    Raises
    ------
    InputError
        An item is missing, or an integer item is not a whole number within
        32 bits (a bool included); `.item` names it.
    """
    items = items_in_layout(statements)
    missing = [name for name in items if name not in parameters]
    if missing:
        raise InputError(f"parameters: no value for {', '.join(missing)}", item=missing[0])
    lines = [" ".join(format_text(parameters[name]) for name in TEXT_ITEMS)]
    for name in items[len(TEXT_ITEMS):]:
        value = parameters[name]
        if name in INTEGER_ITEMS:
            if not _is_whole(value):
                raise InputError(f"parameters: {name} must be a whole number, found {value!r}", item=name)
            lines.append(f"{name} {int(value)}")
        else:
            lines.append(f"{name} {format_real(value)}")
    return "\n".join(lines) + "\n"


def _is_whole(value):
    if isinstance(value, (bool, np.bool_)):
        return False
    try:
        return int(value) == value and -2**31 <= int(value) < 2**31
    except (TypeError, ValueError, OverflowError):
        return False


def write_parameter_file(path, parameters, statements):
    """Writes one parameter.ini (`parameter_file_text`) whole or not at all.

    Raises
    ------
    InputError
        As `parameter_file_text`.
    OutputError
        The system refused the file.
    """
    outputs.write_file(path, parameter_file_text(parameters, statements))


def _column_texts(name, values):
    if name in INTEGER_COLUMNS:
        numbers = np.asarray(values, dtype=np.float64)
        if not np.all(np.isfinite(numbers)) or np.any(numbers != np.round(numbers)):
            raise InputError(f"met columns: {name} must hold whole numbers", item=name)
        return [str(v) for v in numbers.astype(np.int64)]
    reals = np.asarray(values, dtype=np.float32)
    # Station records repeat their values a lot: format each distinct one once.
    distinct, index = np.unique(reals.view(np.uint32), return_inverse=True)
    texts = [format_real(v) for v in distinct.view(np.float32)]
    return [texts[i] for i in index]


#: Records formatted at a time when a met file is written: bounds the memory a write takes.
CHUNK_RECORDS = 65536


def _checked_columns(columns):
    missing = [name for name in MET_COLUMNS if name not in columns]
    if missing:
        raise InputError(f"met columns: {', '.join(missing)} missing", item=missing[0])
    lengths = {name: len(columns[name]) for name in MET_COLUMNS}
    if len(set(lengths.values())) != 1:
        first = lengths[MET_COLUMNS[0]]
        odd = next(name for name in MET_COLUMNS if lengths[name] != first)
        raise InputError(f"met columns: of different lengths ({MET_COLUMNS[0]} {first}, {odd} {lengths[odd]})",
                         item=odd)
    return lengths[MET_COLUMNS[0]]


def met_file_chunks(columns, records=None):
    """The met file's text in pieces of `records` lines (`met_file_text` joined is the whole).

    Parameters
    ----------
    columns : dict of str to array_like, each shape (records,)
        The 14 met columns (units: the README's met file table).
    records : int, optional
        Lines per piece; default `CHUNK_RECORDS`.

    Yields
    ------
    str
        Consecutive pieces of the file's text.
    """
    total = _checked_columns(columns)
    records = records or CHUNK_RECORDS
    arrays = {name: np.asarray(columns[name]) for name in MET_COLUMNS}
    for start in range(0, total, records):
        part = {name: arrays[name][start:start + records] for name in MET_COLUMNS}
        texts = [_column_texts(name, part[name]) for name in MET_COLUMNS]
        yield "".join(" ".join(record) + "\n" for record in zip(*texts))


def met_file_text(columns):
    """The met file's text: one line of 14 blank-separated values per record, in column order.

    Parameters
    ----------
    columns : dict of str to array_like, each shape (records,)
        The 14 met columns by name: the first five whole numbers, the
        others reals (units: the README's met file table).

    Returns
    -------
    str
        The text, ``\\n`` line ends.

    Raises
    ------
    InputError
        A column is missing, the columns differ in length, or an integer
        column holds a fraction or a non-finite value; `.item` names it.
    """
    _checked_columns(columns)
    return "".join(met_file_chunks(columns))


def write_met_file(path, columns):
    """Writes one met file (`met_file_text`) whole or not at all.

    Raises
    ------
    InputError
        As `met_file_text`.
    OutputError
        The system refused the file.
    """
    outputs.write_file(path, lambda unfinished: write_met_records(unfinished, columns))


def write_met_records(path, columns):
    """Writes the met file's text to the new file `path` piece by piece (memory bounded by a piece).

    Parameters
    ----------
    path : str
        A file that does not exist yet (an unfinished file of `pumak.outputs`).
    columns : dict of str to array_like
        As `met_file_text`.

    Returns
    -------
    str
        The sha256 of the text written.
    """
    import hashlib

    digest = hashlib.sha256()
    with open(path, "x", encoding="utf-8", newline="\n") as stream:
        for piece in met_file_chunks(columns):
            digest.update(piece.encode("utf-8"))
            stream.write(piece)
    return digest.hexdigest()


def site_inputs(run_dir, parameters):
    """The files a run of a site reads, by what they are (for `pumak.outputs.refuse_input`).

    Parameters
    ----------
    run_dir : str or os.PathLike
        The run directory.
    parameters : dict
        Its items (``met_file`` names the met file).

    Returns
    -------
    dict of str to str
        The parameter file, the met file (where the programs read it) and
        the provenance, by what they are.
    """
    from pumak.model import PROVENANCE_FILE, site_met_path

    run_dir = os.fspath(run_dir)
    root = os.path.join(run_dir, os.pardir)
    files = {"the site's parameter file": os.path.join(run_dir, "parameter.ini"),
             "the site's provenance": os.path.join(root, PROVENANCE_FILE)}
    try:
        files["the site's met file"] = os.path.join(root, site_met_path(parameters["met_file"]))
    except (InputError, KeyError):  # a name no site holds: nothing of the site to protect
        pass
    return files
