"""The ``tabrix`` command line.

    tabrix convert IN [OUT] [--from FORMAT] [--to FORMAT] [--env] [--env-file FILE]
    tabrix get FILE KEY.PATH [--from FORMAT] [--env] [--env-file FILE]
    tabrix check FILE... [--from FORMAT]
    tabrix rows FILE [--from csv|tsv]

``-`` stands for standard input or output. Formats are guessed from file
names; ``--from`` and ``--to`` name them where no name tells. Exit status: 0 on
success, 1 when a document cannot be read, converted or found, 2 for a wrong
command line.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Iterator, Sequence
from typing import IO, Any, NoReturn

import tabrix

# Inputs at least this large get a progress bar on a terminal when they are,
# or become, CSV or TSV.
PROGRESS_MIN_BYTES = 4 << 20
PROGRESS_MIN_ROWS = 20_000


class UserError(Exception):
    """A failure to report as "tabrix: message" with exit status 1."""


# ---------------------------------------------------------------- progress


class Progress:
    """A one-line progress bar on standard error, drawn only when standard
    error is a terminal."""

    def __init__(self, label: str, total: int, stream: IO[str] | None = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = total > 0 and self.stream.isatty()
        self.label = label
        self.total = total
        self.done = 0
        self.drawn_at = 0.0

    def advance(self, amount: int) -> None:
        self.done += amount
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self.drawn_at < 0.1 and self.done < self.total:
            return
        self.drawn_at = now
        fraction = min(1.0, self.done / self.total)
        width = 30
        filled = int(fraction * width)
        self.stream.write(f"\r{self.label} [{'#' * filled}{'.' * (width - filled)}] {fraction:6.1%}")
        self.stream.flush()

    def close(self) -> None:
        if self.enabled:
            self.stream.write("\r" + " " * (len(self.label) + 42) + "\r")
            self.stream.flush()


# ---------------------------------------------------------------- input and output


def _format_of(path: str, explicit: str | None, flag: str) -> str:
    if explicit is not None:
        return tabrix.canonical_format(explicit)
    if path == "-":
        raise UserError(f"name the format of standard {'input' if flag == '--from' else 'output'} with {flag}")
    try:
        return tabrix.guess_format(path)
    except ValueError as error:
        raise UserError(f"{error} (use {flag})") from None


def _read_bytes(path: str, show_progress: bool) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        size = os.path.getsize(path)
        with open(path, "rb") as file:
            if not show_progress or size < PROGRESS_MIN_BYTES:
                return file.read()
            progress = Progress(f"reading {path}", size)
            chunks = []
            try:
                while chunk := file.read(1 << 20):
                    chunks.append(chunk)
                    progress.advance(len(chunk))
            finally:
                progress.close()
            return b"".join(chunks)
    except OSError as error:
        raise UserError(f"{path}: {error.strerror}") from None


def read_document(path: str, format: str | None, env: dict[str, str] | None, progress: bool = False,
                  all_documents: bool = False) -> Any:
    """The value of a document, interpolated when `env` is given; with
    `all_documents`, the list of every document of a YAML stream."""
    name = "<stdin>" if path == "-" else path
    fmt = _format_of(path, format, "--from")
    if all_documents and fmt != "yaml":
        raise UserError(f"{name}: --all reads the documents of a YAML stream, not {fmt}")
    data = _read_bytes(path, progress and fmt in ("csv", "tsv"))
    try:
        text = tabrix.decode_utf8(data, name)
        value = tabrix.loads_all(text) if all_documents else tabrix.loads(text, fmt)
    except ValueError as error:
        raise UserError(f"{name}: {str(error).rstrip()}") from None
    if env is not None:
        try:
            value = tabrix.interpolate(value, env)
        except (ValueError, TypeError) as error:
            raise UserError(f"{name}: {error}") from None
    return value


def _rows_text(value: Any, fmt: str) -> Iterator[str]:
    """CSV or TSV text line by line, so that a long document shows progress."""
    codec = tabrix.csv if fmt == "csv" else tabrix.tsv
    if not isinstance(value, list) or not value or not isinstance(value[0], dict):
        yield codec.dumps(value)  # raises the writer's own message
        return
    header = list(value[0])
    if any(len(record) != len(header) for record in value if isinstance(record, dict)):
        yield codec.dumps(value)  # the writer names the offending record
        return
    yield codec.dumps_header(header)
    progress = Progress("writing", len(value) if len(value) >= PROGRESS_MIN_ROWS else 0)
    try:
        for number, record in enumerate(value, start=1):
            yield codec.dumps_row(header, number, record)
            progress.advance(1)
    finally:
        progress.close()


def write_document(value: Any, path: str, format: str | None) -> None:
    fmt = _format_of(path, format, "--to")
    try:
        if fmt in ("csv", "tsv") and sys.stderr.isatty():
            text = "".join(_rows_text(value, fmt))
        else:
            text = tabrix.dumps(value, fmt)
    except (ValueError, TypeError) as error:
        raise UserError(f"cannot write {fmt}: {error}") from None
    if fmt == "jsonc":
        text += "\n"
    _put_text(text, path)


# ---------------------------------------------------------------- variables


def parse_env_file(text: str, name: str) -> dict[str, str]:
    """Variables of a dotenv-style file: ``NAME=value`` lines, optionally
    ``export NAME=value``; blank lines and lines starting with ``#`` are
    skipped; a value may be single-quoted (taken as is) or double-quoted
    (with the escapes \\n, \\t, \\", \\\\); an unquoted value ends before
    `` #`` and is trimmed."""
    variables: dict[str, str] = {}
    for number, raw in enumerate(text.splitlines(), start=1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("export ") or line.startswith("export\t"):
            line = line[7:].lstrip()
        key, sep, value = line.partition("=")
        key = key.strip()
        if not sep or not key or not (key[0].isalpha() or key[0] == "_") or \
                not all(c.isalnum() or c == "_" for c in key) or not key.isascii():
            raise UserError(f"{name}:{number}: expected NAME=value")
        value = value.strip()
        if len(value) >= 2 and value[0] == value[-1] == "'":
            value = value[1:-1]
        elif len(value) >= 2 and value[0] == value[-1] == '"':
            value = _unescape_double_quoted(value[1:-1])
        else:
            comment = value.find(" #")
            if comment >= 0:
                value = value[:comment].rstrip()
        variables[key] = value
    return variables


def _unescape_double_quoted(text: str) -> str:
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            out.append({"n": "\n", "t": "\t", "r": "\r", '"': '"', "\\": "\\", "$": "\\$"}.get(nxt, "\\" + nxt))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def environment(args: argparse.Namespace) -> dict[str, str] | None:
    """The variables to interpolate with, or None to leave strings alone."""
    if not args.env and args.env_file is None:
        return None
    variables: dict[str, str] = dict(os.environ) if args.env else {}
    if args.env_file is not None:
        data = _read_bytes(args.env_file, False)
        variables.update(parse_env_file(tabrix.decode_utf8(data, args.env_file), args.env_file))
    return variables


# ---------------------------------------------------------------- commands


def cmd_convert(args: argparse.Namespace) -> int:
    out = args.output if args.output is not None else "-"
    if out == "-" and args.to is None:
        raise UserError("name the output format with --to (or give an output file)")
    value = read_document(args.input, args.from_format, environment(args), progress=True, all_documents=args.all)
    if args.all and _format_of(out, args.to, "--to") == "yaml":
        write_stream(value, out)
    else:
        write_document(value, out, args.to)
    return 0



def _put_text(text: str, path: str) -> None:
    """The text to standard output ("-") or, atomically, to the file."""
    if path == "-":
        sys.stdout.write(text)
        sys.stdout.flush()
        return
    try:
        tabrix.write_text_atomically(text, path)
    except OSError as error:
        raise UserError(f"{path}: {error.strerror}") from None


def write_stream(documents: list[Any], path: str) -> None:
    """A YAML stream of the documents, each after a "---" line."""
    try:
        text = "".join("---\n" + tabrix.yaml.dumps(document) for document in documents)
    except (ValueError, TypeError) as error:
        raise UserError(f"cannot write yaml: {error}") from None
    _put_text(text, path)


def _lookup(value: Any, path: str) -> Any:
    node = value
    walked: list[str] = []
    for part in path.split(".") if path else []:
        if isinstance(node, dict):
            if part not in node:
                raise UserError(f"no key {part!r} in {'.'.join(walked) or 'the document'}")
            node = node[part]
        elif isinstance(node, list):
            try:
                index = int(part)
                node = node[index]
            except (ValueError, IndexError):
                raise UserError(
                    f"{part!r} is not an index of the list {'.'.join(walked) or 'at the top'} "
                    f"({len(node)} items)") from None
        else:
            raise UserError(f"{'.'.join(walked)} is not a table or list (it is {type(node).__name__})")
        walked.append(part)
    return node


def cmd_get(args: argparse.Namespace) -> int:
    value = read_document(args.file, args.from_format, environment(args), all_documents=args.all)
    for document in value if args.all else [value]:
        found = _lookup(document, args.key_path)
        if isinstance(found, str):
            print(found)
        else:
            print(tabrix.jsonc.dumps(found))
    return 0


def cmd_check(args: argparse.Namespace) -> int:
    failed = 0
    for path in args.files:
        try:
            read_document(path, args.from_format, None)
        except UserError as error:
            print(str(error), file=sys.stderr)
            failed += 1
        else:
            print(f"{path}: ok")
    return 1 if failed else 0


def cmd_rows(args: argparse.Namespace) -> int:
    fmt = _format_of(args.file, args.from_format, "--from")
    if fmt not in ("csv", "tsv"):
        raise UserError(f"rows reads csv or tsv files, not {fmt}")
    if args.file == "-":
        raise UserError("rows reads a file, not standard input")
    try:
        rows = tabrix.iter_rows(args.file, fmt)
        for number, row in enumerate(rows, start=2):
            try:
                line = tabrix.jsonc.dumps(row)
            except (TypeError, ValueError) as error:  # pragma: no cover - rows hold only scalars
                raise UserError(f"{args.file}: row {number}: {error}") from None
            sys.stdout.write(line + "\n")
    except ValueError as error:
        raise UserError(f"{args.file}: {error}") from None
    sys.stdout.flush()
    return 0


# ---------------------------------------------------------------- entry


def build_parser() -> argparse.ArgumentParser:
    formats = sorted(set(tabrix.FORMATS) | {"json", "yml"})
    parser = argparse.ArgumentParser(
        prog="tabrix",
        description="Read, convert and check YAML, TOML, JSON (with comments), INI, CSV and TSV files.",
    )
    parser.add_argument("--version", action="version", version=f"tabrix {tabrix.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add_env(p: argparse.ArgumentParser) -> None:
        p.add_argument("--env", action="store_true", help="expand $NAME / ${NAME:-default} from the environment")
        p.add_argument("--env-file", metavar="FILE", help="expand references with the variables of a NAME=value file")

    convert = sub.add_parser("convert", help="convert a document to another format",
                             description="Convert a document to another format ('-' is standard input/output).")
    convert.add_argument("input", metavar="IN")
    convert.add_argument("output", metavar="OUT", nargs="?")
    convert.add_argument("--from", dest="from_format", choices=formats, metavar="FORMAT")
    convert.add_argument("--to", choices=formats, metavar="FORMAT")
    convert.add_argument("--all", action="store_true",
                         help="every document of a YAML stream: a YAML stream again, or a list in other formats")
    add_env(convert)
    convert.set_defaults(handler=cmd_convert)

    get = sub.add_parser("get", help="print one value of a document",
                         description="Print the value at KEY.PATH (list items by index); containers as JSON.")
    get.add_argument("file", metavar="FILE")
    get.add_argument("key_path", metavar="KEY.PATH")
    get.add_argument("--from", dest="from_format", choices=formats, metavar="FORMAT")
    get.add_argument("--all", action="store_true", help="every document of a YAML stream, one value per line")
    add_env(get)
    get.set_defaults(handler=cmd_get)

    check = sub.add_parser("check", help="check that documents parse",
                           description="Exit status 0 when every file parses; otherwise print FILE: message.")
    check.add_argument("files", metavar="FILE", nargs="+")
    check.add_argument("--from", dest="from_format", choices=formats, metavar="FORMAT")
    check.set_defaults(handler=cmd_check)

    rows = sub.add_parser("rows", help="stream the records of a CSV or TSV file as JSON lines",
                          description="Print one JSON object per record, reading the file a record at a time "
                                      "(each cell typed on its own).")
    rows.add_argument("file", metavar="FILE")
    rows.add_argument("--from", dest="from_format", choices=["csv", "tsv"], metavar="FORMAT")
    rows.set_defaults(handler=cmd_rows)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        result: int = args.handler(args)
        return result
    except UserError as error:
        print(f"tabrix: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (tabrix ... | head): not an error of ours.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


def run() -> NoReturn:
    sys.exit(main())
