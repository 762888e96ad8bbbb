"""Writing a site's text files: parameter.ini and the met file.

Both are written to a temporary file in the target's directory and renamed
into place, so a reader never sees half a file. Reals are written in the
shortest form that reads back to the identical single-precision value.
"""

import os
import secrets

import numpy as np

from pumak.layout import (INTEGER_COLUMNS, INTEGER_ITEMS, MET_COLUMNS, TEXT_ITEMS,
                          items_in_layout)

# The programs cut texts to this many characters.
TEXT_LENGTH = 128

# A text holding one of these must be quoted to read back as one value.
_NEEDS_QUOTES = set(" \t,/'\"")


def format_real(value):
    """The shortest text that reads back to the identical float32 of `value`."""
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
    """A file name or label as one value of a statement, quoted where needed."""
    text = str(value)
    if "\n" in text or "\r" in text:
        raise ValueError(f"{text!r}: a line end cannot stand in a value")
    if len(text) > TEXT_LENGTH:
        raise ValueError(f"{text[:40]!r}...: longer than {TEXT_LENGTH} characters, the programs would cut it")
    if text and not _NEEDS_QUOTES.intersection(text):
        return text
    return "'" + text.replace("'", "''") + "'"


def write_text_atomically(path, text):
    """Writes `text` to `path` through a temporary file in the same directory."""
    path = os.fspath(path)
    directory, name = os.path.split(path)
    temporary = os.path.join(directory, f".{name}.{os.getpid()}.{secrets.token_hex(4)}.tmp")
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8", newline="\n") as stream:
            stream.write(text)
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


def parameter_file_text(parameters, statements):
    """The plain layout of parameter.ini: the two file names, then `label value` lines."""
    items = items_in_layout(statements)
    missing = [name for name in items if name not in parameters]
    if missing:
        raise ValueError(f"parameters: no value for {', '.join(missing)}")
    lines = [" ".join(format_text(parameters[name]) for name in TEXT_ITEMS)]
    for name in items[len(TEXT_ITEMS):]:
        value = parameters[name]
        if name in INTEGER_ITEMS:
            if not _is_whole(value):
                raise ValueError(f"parameters: {name} must be a whole number, found {value!r}")
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
    """Writes parameter.ini with `statements` statements (16 or 13)."""
    write_text_atomically(path, parameter_file_text(parameters, statements))


def _column_texts(name, values):
    if name in INTEGER_COLUMNS:
        numbers = np.asarray(values, dtype=np.float64)
        if not np.all(np.isfinite(numbers)) or np.any(numbers != np.round(numbers)):
            raise ValueError(f"met columns: {name} must hold whole numbers")
        return [str(v) for v in numbers.astype(np.int64)]
    reals = np.asarray(values, dtype=np.float32)
    # Station records repeat their values a lot: format each distinct one once.
    distinct, index = np.unique(reals.view(np.uint32), return_inverse=True)
    texts = [format_real(v) for v in distinct.view(np.float32)]
    return [texts[i] for i in index]


def met_file_text(columns):
    """One line of 14 blank-separated values per record, in column order."""
    missing = [name for name in MET_COLUMNS if name not in columns]
    if missing:
        raise ValueError(f"met columns: {', '.join(missing)} missing")
    lengths = {len(columns[name]) for name in MET_COLUMNS}
    if len(lengths) != 1:
        raise ValueError(f"met columns: of different lengths {sorted(lengths)}")
    texts = [_column_texts(name, columns[name]) for name in MET_COLUMNS]
    return "".join(" ".join(record) + "\n" for record in zip(*texts))


def write_met_file(path, columns):
    """Writes the met file from a mapping of the 14 column names to 1-D arrays."""
    write_text_atomically(path, met_file_text(columns))

