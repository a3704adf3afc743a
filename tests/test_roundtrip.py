"""Every writer reads back what it wrote, or refuses it.

For generated values in each writer's domain, loads(dumps(value)) is the
value (same types, same key order where the format keeps it, floats bit for
bit with any NaN equal to any NaN), or dumps raises ValueError/TypeError with
one of the writer's refusals, for a value that holds what the refusal names.
The same holds through the package (tabrix.dump then tabrix.load, files) and
through `tabrix convert` between two formats that both hold the value.

TABRIX_ROUNDTRIP_EXAMPLES sets the number of examples per writer (600 by
default, which finds a writer that loses blanks, names or records in one
run; a few thousand for a thorough run). The package tests take a fifth of
it per format, the command line tests a twentieth per pair of formats.
"""

import math
import os
import pathlib
import re
import struct
import tempfile

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import tabrix
from tabrix import cli
from tabrix._native import csv, ini, jsonc, toml, tsv, yaml

EXAMPLES = int(os.environ.get("TABRIX_ROUNDTRIP_EXAMPLES", "600"))
WRITER = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
FILES = settings(max_examples=max(EXAMPLES // 5, 50), deadline=None,
                 suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture,
                                        HealthCheck.filter_too_much])

# ---------------------------------------------------------------- equality


def same(a, b, ordered=True):
    """Equal as values of the same exact types: floats bit for bit (-0.0 is
    not 0.0) with any NaN equal to any NaN, True never 1, dict entries in the
    same order when `ordered`."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y, ordered) for x, y in zip(a, b))
    if isinstance(a, dict):
        if ordered and list(a) != list(b):
            return False
        return a.keys() == b.keys() and all(same(a[k], b[k], ordered) for k in a)
    return a == b


def holds(value, test):
    """Whether `test` holds for `value` or for anything inside it (keys of
    dicts included)."""
    if test(value):
        return True
    if isinstance(value, list):
        return any(holds(item, test) for item in value)
    if isinstance(value, dict):
        return any(test(key) or holds(item, test) for key, item in value.items())
    return False


def round_trip(module, value, refusals, ordered=True):
    """Writes and reads back `value`; a refusal must be a ValueError or
    TypeError whose message matches one of `refusals`, each a (pattern,
    test) pair where test(value, match) says that the value holds what the
    message names. Returns the text, or None when refused."""
    try:
        text = module.dumps(value)
    except (ValueError, TypeError) as error:
        for pattern, justified in refusals:
            match = re.fullmatch(pattern, str(error), re.S)
            if match:
                assert justified(value, match), f"refused without cause: {error}"
                return None
        raise
    back = module.loads(text)
    assert same(back, value, ordered), f"{text!r} reads back as {back!r}"
    return text


# ---------------------------------------------------------------- values

# Unicode White_Space: what the readers trim.
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009" \
              "\u200a\u2028\u2029\u202f\u205f\u3000"
# Characters that the writers must take care of: blanks, line breaks, control
# characters, quotes, escapes, byte-order marks and the formats' punctuation;
# and whole texts that read as other types or as syntax.
SPECIAL = WHITE_SPACE + "\x00\x01\x1b\x7f\x9f\ufeff\u200b\u0301\ufffe\uffff\U0001F600\U0010ffff\"'\\=:[];#,-?{}<~&*!%@`|>.x0"
WORDS = [
    "", '"""', "'''", "\\n", "\\x0041", ": ", " #", "- ", "[[", "<<", "null", "Null", "true", "True", "false",
    "yes", "on", "1", "-1", "+1", "007", "1.5", "1e5", "0x1F", "0o17", ".inf", "-.inf", ".nan", "inf", "nan",
    "NaN", "Infinity", "1_000", "2024-01-01", "12:30", "caf\u00e9",
]
# Any text without a lone surrogate (which has no UTF-8 form).
TEXT = st.one_of(
    st.text(st.characters(codec="utf-8") | st.sampled_from(SPECIAL), max_size=8),
    st.sampled_from(WORDS),
)
INT64 = st.integers(-(2**63), 2**63 - 1)
FLOATS = st.floats()  # infinities and NaN included


def tree_values(scalars, keys=TEXT):
    return st.recursive(
        scalars,
        lambda inner: st.lists(inner, max_size=4) | st.dictionaries(keys, inner, max_size=4),
        max_leaves=12,
    )


YAML_VALUES = tree_values(st.none() | st.booleans() | INT64 | FLOATS | TEXT)
JSON_VALUES = tree_values(st.none() | st.booleans() | st.integers() | FLOATS | TEXT)
TOML_VALUES = st.dictionaries(TEXT, tree_values(st.booleans() | INT64 | FLOATS | TEXT), max_size=5)
INI_DOCUMENTS = st.dictionaries(TEXT, st.dictionaries(TEXT, TEXT, max_size=4), max_size=4)


def is_text_cell(text):
    """Whether the CSV reader surely reads `text` as text (not a bool or a
    number): Python's float() accepts every number form it accepts."""
    if text in ("", "true", "false"):
        return False
    try:
        float(text)
    except ValueError:
        return True
    return False


@st.composite
def csv_documents(draw):
    """Records with one kind of value per column (the reader infers types per
    column), any value may be None. A text column holds a value that reads
    as text, or only empty values."""
    names = draw(st.lists(TEXT, min_size=1, max_size=4, unique=True))
    count = draw(st.integers(1, 4))
    kinds = {"int": st.integers(), "float": FLOATS, "bool": st.booleans(), "text": TEXT}
    columns = []
    for _ in names:
        kind = draw(st.sampled_from(sorted(kinds)))
        cells = draw(st.lists(st.none() | kinds[kind], min_size=count, max_size=count))
        if kind == "text" and any(cells) and not any(is_text_cell(c) for c in cells if c is not None):
            cells[draw(st.integers(0, count - 1))] = draw(TEXT.filter(is_text_cell))
        columns.append(cells)
    return [{name: column[i] for name, column in zip(names, columns)} for i in range(count)]


def csv_read_back(records):
    """What the CSV reader gives for `records`: an empty string is an empty
    cell, which reads as None."""
    return [{k: (None if v == "" else v) for k, v in record.items()} for record in records]


def ws_edge(text):
    return bool(text) and (text[0] in WHITE_SPACE or text[-1] in WHITE_SPACE)


# ---------------------------------------------------------------- refusals

def has(test):
    return lambda value, match: holds(value, test)


def big_int(value, match):
    return holds(value, lambda v: type(v) is int and str(v) == match[1] and not -(2**63) <= v < 2**63)


YAML_REFUSALS = [
    (r"integer (-?\d+) is beyond 64 bits, which yaml reads back as a float", big_int),
    (r"key << holds a list or mapping, which yaml reads back as a merge",
     has(lambda v: isinstance(v, dict) and isinstance(v.get("<<"), (list, dict)))),
]
JSON_REFUSALS = [(r"nan has no json form", has(lambda v: isinstance(v, float) and math.isnan(v)))]
TOML_REFUSALS = [
    (r"TOML cannot represent null", has(lambda v: v is None)),
    (r"TOML cannot hold the integer (-?\d+) \(beyond its 64-bit range\)", big_int),
    (r"TOML document root must be a table", lambda value, m: not isinstance(value, dict)),
]


INI_REFUSALS = [
    (r"section name (.*) starts or ends with white space", lambda value, m: m[1] in value and ws_edge(m[1])),
    (r"section (.*) has no options", lambda value, m: value.get(m[1]) == {}),
    (r"section (.*) has an empty option name", lambda value, m: "" in value.get(m[1], {})),
    (r"option name (.*) in section (.*) starts or ends with white space",
     lambda value, m: ws_edge(m[1]) and any(m[1] in options for options in value.values())),
]
REFUSALS = {"yaml": YAML_REFUSALS, "jsonc": JSON_REFUSALS, "toml": TOML_REFUSALS, "ini": INI_REFUSALS,
            "csv": [], "tsv": []}

# ---------------------------------------------------------------- writers


@WRITER
@given(YAML_VALUES)
def test_yaml(value):
    round_trip(yaml, value, YAML_REFUSALS)


@WRITER
@given(JSON_VALUES)
def test_json(value):
    # The reader's objects may come back in another order.
    round_trip(jsonc, value, JSON_REFUSALS, ordered=False)


@WRITER
@given(TOML_VALUES | tree_values(st.none() | st.booleans() | st.integers() | FLOATS | TEXT))
def test_toml(value):
    # Tables keep their scalars before their sub-tables.
    round_trip(toml, value, TOML_REFUSALS, ordered=False)


@WRITER
@given(INI_DOCUMENTS)
def test_ini(document):
    round_trip(ini, document, INI_REFUSALS)


@pytest.mark.parametrize("module", [csv, tsv], ids=["csv", "tsv"])
@WRITER
@given(records=csv_documents())
def test_csv(module, records):
    text = module.dumps(records)
    back = module.loads(text)
    assert same(back, csv_read_back(records)), f"{text!r} reads back as {back!r}"
    # The line writers give the same text.
    header = list(records[0])
    lines = [module.dumps_header(header)] + [module.dumps_row(header, n, r) for n, r in enumerate(records, 1)]
    assert "".join(lines) == text


# ---------------------------------------------------------------- package and command line

PACKAGE_VALUES = {
    "yaml": YAML_VALUES, "jsonc": JSON_VALUES, "toml": TOML_VALUES, "ini": INI_DOCUMENTS,
    "csv": csv_documents(), "tsv": csv_documents(),
}
SUFFIX = {"yaml": ".yaml", "jsonc": ".json", "toml": ".toml", "ini": ".ini", "csv": ".csv", "tsv": ".tsv"}


def expected_back(value, fmt):
    return csv_read_back(value) if fmt in ("csv", "tsv") else value


def refusal_allowed(fmt, value, error):
    for pattern, justified in REFUSALS[fmt]:
        match = re.fullmatch(pattern, str(error), re.S)
        if match:
            return justified(value, match)
    return False


@pytest.mark.parametrize("fmt", sorted(PACKAGE_VALUES))
@FILES
@given(data=st.data())
def test_package_files(tmp_path, fmt, data):
    value = data.draw(PACKAGE_VALUES[fmt])
    path = pathlib.Path(tempfile.mkdtemp(dir=tmp_path)) / f"doc{SUFFIX[fmt]}"
    path.write_text("old content")
    try:
        tabrix.dump(value, path)
    except (ValueError, TypeError) as error:
        assert refusal_allowed(fmt, value, error), error
        assert path.read_text() == "old content"  # nothing written
        return
    back = tabrix.load(path)
    assert same(back, expected_back(value, fmt), ordered=fmt not in ("jsonc", "toml")), path.read_text()


# Pairs of formats and values that both hold: trees without null for YAML,
# JSON and TOML, INI documents (dicts of dicts of text) for each of those,
# records for CSV and TSV and for YAML and JSON.
TREES = st.dictionaries(TEXT, tree_values(st.booleans() | INT64 | FLOATS | TEXT), max_size=4)
# INI documents that ini.dumps writes: names without blanks at either end,
# options in every section.
INI_NAMES = TEXT.map(lambda s: s.strip(WHITE_SPACE) or "x")
INI_WRITTEN = st.dictionaries(INI_NAMES, st.dictionaries(INI_NAMES, TEXT, min_size=1, max_size=4), max_size=4)
CONVERSIONS = [
    ("yaml", "jsonc", YAML_VALUES), ("jsonc", "yaml", YAML_VALUES),
    ("yaml", "toml", TREES), ("toml", "yaml", TREES), ("jsonc", "toml", TREES), ("toml", "jsonc", TREES),
    ("ini", "yaml", INI_WRITTEN), ("ini", "toml", INI_WRITTEN), ("yaml", "ini", INI_DOCUMENTS),
    ("csv", "tsv", csv_documents()), ("tsv", "csv", csv_documents()), ("csv", "jsonc", csv_documents()),
    ("yaml", "csv", csv_documents()),
]


@pytest.mark.parametrize("source, target, values", CONVERSIONS, ids=[f"{s}-{t}" for s, t, _ in CONVERSIONS])
@settings(parent=FILES, max_examples=max(EXAMPLES // 20, 25))
@given(data=st.data())
def test_convert(tmp_path, capsys, source, target, values, data):
    value = data.draw(values)
    if source in ("csv", "tsv") or target in ("csv", "tsv"):
        value = csv_read_back(value)  # what the CSV side holds
    folder = pathlib.Path(tempfile.mkdtemp(dir=tmp_path))
    given_path = folder / f"in{SUFFIX[source]}"
    try:
        tabrix.dump(value, given_path)
    except (ValueError, TypeError) as error:
        assert refusal_allowed(source, value, error), error
        assume(False)
    start = tabrix.load(given_path)
    assert same(start, value, ordered=source not in ("jsonc", "toml"))
    out = folder / f"out{SUFFIX[target]}"
    status = cli.main(["convert", str(given_path), str(out)])
    error = capsys.readouterr().err
    if status != 0:
        # Refused by the target's writer: a message, and no file.
        assert error.startswith(f"tabrix: cannot write {target}: ")
        assert refusal_allowed(target, value, error.removeprefix(f"tabrix: cannot write {target}: ").rstrip("\n"))
        assert not out.exists()
        return
    assert same(tabrix.load(out), value, ordered=False), out.read_text()
