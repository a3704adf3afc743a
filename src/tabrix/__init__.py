"""tabrix: configuration files to plain Python values and back.

YAML, TOML 1.1, JSON with comments, INI, CSV and TSV, read and written by a
native core that is exact, safe on hostile input and fast::

    import tabrix

    config = tabrix.load("config.yaml")            # format from the file name
    config = tabrix.interpolate(config)             # $NAME / ${NAME:-default} from os.environ
    tabrix.dump(config, "config.toml")              # written atomically
    text = tabrix.dumps({"a": [1, 2.5]}, "jsonc")   # '{"a":[1,2.5]}'
    for row in tabrix.iter_rows("people.csv"):      # one dict per record
        ...

Loaded values are built from ``dict``, ``list``, ``str``, ``int``, ``float``,
``bool`` and ``None`` only. Parse errors raise ``ValueError`` with the position
of the fault; values a format cannot hold raise ``TypeError`` or ``ValueError``.
The per-format functions live in :mod:`tabrix._native` (``tabrix.yaml.loads``
and so on).
"""

from __future__ import annotations

import io
import os
import tempfile
from collections.abc import Iterator, Mapping
from typing import IO, Any, Final, Literal, Union

from tabrix import _native
from tabrix._native import csv, ini, jsonc, toml, tsv, yaml

__all__ = [
    "FORMATS",
    "CsvStream",
    "canonical_format",
    "Format",
    "csv",
    "dump",
    "dumps",
    "guess_format",
    "ini",
    "interpolate",
    "iter_rows",
    "jsonc",
    "load",
    "load_all",
    "loads",
    "loads_all",
    "toml",
    "tsv",
    "yaml",
]
__version__ = "0.1.0"

#: The iterator class of ``csv.stream``, ``csv.stream_at`` and ``iter_rows``.
CsvStream = csv.CsvStream

Format = Literal["yaml", "toml", "jsonc", "ini", "csv", "tsv"]
FORMATS: Final[tuple[str, ...]] = ("yaml", "toml", "jsonc", "ini", "csv", "tsv")

# File name endings and the format each one names.
SUFFIXES: Final[Mapping[str, str]] = {
    ".yaml": "yaml",
    ".yml": "yaml",
    ".toml": "toml",
    ".json": "jsonc",
    ".jsonc": "jsonc",
    ".ini": "ini",
    ".cfg": "ini",
    ".conf": "ini",
    ".csv": "csv",
    ".tsv": "tsv",
}
# Other names a caller may use for a format.
_ALIASES: Final[Mapping[str, str]] = {"yml": "yaml", "json": "jsonc", "cfg": "ini", "conf": "ini"}

PathLike = Union[str, "os.PathLike[str]"]
Source = Union[str, "os.PathLike[str]", IO[str], IO[bytes]]
Target = Union[str, "os.PathLike[str]", IO[str]]


def canonical_format(format: str) -> str:
    """The name in ``FORMATS`` of a format (``json`` is ``jsonc``, ``yml``
    is ``yaml``, ``cfg`` and ``conf`` are ``ini``); ``ValueError`` for an
    unknown one."""
    name = _ALIASES.get(format, format)
    if name not in FORMATS:
        raise ValueError(f"unknown format {format!r}: expected one of {', '.join(FORMATS)}")
    return name


def _codec(format: str) -> Any:
    return getattr(_native, canonical_format(format))


def guess_format(name: PathLike) -> str:
    """The format named by a file's ending (``.yaml``/``.yml``, ``.toml``,
    ``.json``/``.jsonc``, ``.ini``/``.cfg``/``.conf``, ``.csv``, ``.tsv``,
    in any letter case). Raises ``ValueError`` when the ending names none."""
    path = os.fspath(name)
    suffix = os.path.splitext(path)[1].lower()
    try:
        return SUFFIXES[suffix]
    except KeyError:
        known = ", ".join(SUFFIXES)
        raise ValueError(
            f"cannot tell the format of {path!r} from its name (known endings: {known}); "
            "name the format explicitly"
        ) from None


def loads(text: str, format: str) -> Any:
    """Parses `text` in `format` (one of ``FORMATS``; ``json`` and ``yml``
    are accepted too) into plain Python values."""
    return _codec(format).loads(text)


def dumps(obj: Any, format: str) -> str:
    """Writes `obj` as text in `format`."""
    text: str = _codec(format).dumps(obj)
    return text


def decode_utf8(data: bytes, name: str) -> str:
    """`data` as UTF-8 text (a leading byte-order mark is dropped); a
    ValueError naming `name` and the byte offset when it is not UTF-8."""
    try:
        # A leading byte-order mark is allowed (and dropped).
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        offset = error.start + (3 if data.startswith(b"\xef\xbb\xbf") else 0)
        raise ValueError(f"{name}: not valid UTF-8 at byte {offset}") from error


def _source_name(source: Source) -> str | None:
    if isinstance(source, (str, os.PathLike)):
        return os.fspath(source)
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else None


def _read_text(source: Source) -> tuple[str, str | None]:
    """The text of a path or file object, and a name to report it by."""
    name = _source_name(source)
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as file:
            data = file.read()
        return decode_utf8(data, os.fspath(source)), name
    content = source.read()
    if isinstance(content, bytes):
        return decode_utf8(content, name or "<input>"), name
    if content.startswith("\ufeff"):
        content = content[1:]
    return content, name


def load(source: Source, format: str | None = None) -> Any:
    """Reads a document from a path (``str`` or ``os.PathLike``) or an open
    text or binary file, as UTF-8 (a leading byte-order mark is allowed).

    Without `format`, the format is guessed from the file's name. Errors of
    the parser keep their class and message and get the file's name as a note.
    """
    name = _source_name(source)
    if format is None:
        if name is None:
            raise ValueError("cannot tell the format of an unnamed file; name the format explicitly")
        format = guess_format(name)
    codec = _codec(format)
    text, name = _read_text(source)
    try:
        return codec.loads(text)
    except Exception as error:
        if name is not None:
            error.add_note(f"in {name}")
        raise


def loads_all(text: str) -> list[Any]:
    """Every document of a YAML stream (documents separated by ``---``, as
    in Kubernetes manifests), in order: an empty list for an empty stream."""
    return yaml._loads_all(text)


def load_all(source: Source) -> list[Any]:
    """Every document of the YAML stream in a path or open file (read as in
    :func:`load`), in order."""
    text, name = _read_text(source)
    try:
        return yaml._loads_all(text)
    except Exception as error:
        if name is not None:
            error.add_note(f"in {name}")
        raise


def dump(obj: Any, target: Target, format: str | None = None) -> None:
    """Writes `obj` to a path or an open text file.

    A path is written atomically: the text goes to a temporary file in the
    same folder, which then replaces the target, so a failure (a value the
    format cannot hold, a full disk) leaves an existing file untouched. An
    existing file keeps its permission bits. Without `format`, the format is
    guessed from the target's name.
    """
    name = _source_name(target)
    if format is None:
        if name is None:
            raise ValueError("cannot tell the format of an unnamed file; name the format explicitly")
        format = guess_format(name)
    text = _codec(format).dumps(obj)  # fails before any file is touched
    if isinstance(target, (str, os.PathLike)):
        write_text_atomically(text, target)
    else:
        target.write(text)


def write_text_atomically(text: str, path: PathLike) -> None:
    """Writes `text` as UTF-8 to a temporary file in the folder of `path`,
    then renames it over `path`: readers see the old file or the new one,
    never a part. An existing file keeps its permission bits."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".tabrix-", suffix=".tmp", dir=folder)
    try:
        with io.open(handle, "w", encoding="utf-8", newline="") as file:
            file.write(text)
            file.flush()
            os.fsync(file.fileno())
        try:
            os.chmod(temporary, os.stat(path).st_mode & 0o7777)
        except FileNotFoundError:
            os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def iter_rows(path: PathLike, format: str | None = None) -> Iterator[dict[str, Any]]:
    """Streams a CSV (or, by name or `format`, TSV) file one record at a time,
    each cell typed on its own. Only one record is in memory at a time."""
    name = os.fspath(path)
    if format is None:
        format = "tsv" if name.lower().endswith(".tsv") else "csv"
    codec = _codec(format)
    if codec not in (csv, tsv):
        raise ValueError(f"iter_rows reads csv or tsv, not {format}")
    try:
        stream: Iterator[dict[str, Any]] = codec.stream_at(name)
    except Exception as error:
        error.add_note(f"in {name}")
        raise
    return stream


def interpolate(tree: Any, env: Mapping[str, str] | None = None) -> Any:
    """A copy of `tree` in which ``$NAME``, ``${NAME}``, ``${NAME:-default}``,
    ``${NAME-default}``, ``${NAME:+word}``, ``${NAME:?message}`` and ``$$``
    in strings are expanded; variables come from `env`, by default from a copy
    of the process environment. Keys are never expanded; the input is never
    modified."""
    variables = dict(os.environ) if env is None else dict(env)
    return _native.interpolate(tree, variables)
