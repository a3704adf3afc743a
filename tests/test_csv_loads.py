"""csv.loads / tsv.loads: the reading dialect, column inference and messages."""

import csv as stdcsv
import io
import math
import random
import sys

import pytest

from tabrix._native import csv, tsv

BOM = "\ufeff"


# ---------------------------------------------------------------- dialect

@pytest.mark.parametrize(
    "text, expected",
    [
        ("a,b\n1,x\n", [{"a": 1, "b": "x"}]),
        ("a,b\n1,x", [{"a": 1, "b": "x"}]),  # no final line break
        ("a,b\r\n1,x\r\n2,y\r\n", [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}]),
        ("a,b\r1,x\r2,y", [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}]),
        ("a,b\n1,x\r\n2,y\r3,z\n", [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}, {"a": 3, "b": "z"}]),
        ("a\n", []),
        ("\n\r\n\ra\n\n\n1\r\n\r\n", [{"a": 1}]),
        ("a\n   \n", [{"a": "   "}]),  # spaces are a field, not a blank line
        ("a,b\n,\n", [{"a": None, "b": None}]),
        ("a,b\n\"\",\"\"\n", [{"a": None, "b": None}]),
        ('a,b\n"x,y",z\n', [{"a": "x,y", "b": "z"}]),
        ('a\n"say ""hi"""\n', [{"a": 'say "hi"'}]),
        ('a\n""""\n', [{"a": '"'}]),
        ('a,b\n"line\nbreak",1\n', [{"a": "line\nbreak", "b": 1}]),
        ('a,b\n"cr\r\nlf",1\n', [{"a": "cr\r\nlf", "b": 1}]),
        ('a\nx"y"\n', [{"a": 'x"y"'}]),  # stray quotes are content
        ('a,b\n"x"y,z\n', [{"a": "xy", "b": "z"}]),  # text after the closing quote is content
        ('a,b\n"x"" y"z,1\n', [{"a": 'x" yz', "b": 1}]),
        ('a,b\n1,"open\n2,3\n', [{"a": 1, "b": "open\n2,3\n"}]),  # unclosed quote runs to the end
        (" a , b \n 1 , x \n", [{" a ": " 1 ", " b ": " x "}]),  # nothing is trimmed
        (BOM + "a\n1\n", [{"a": 1}]),
        (BOM * 3 + "a\n1\n", [{"a": 1}]),
        ("a\n" + BOM + "1\n", [{"a": BOM + "1"}]),  # only leading marks are dropped
        ("é,ü\n€,𝄞\n", [{"é": "€", "ü": "𝄞"}]),
        ("a\tb\n1\t2\n", [{"a\tb": "1\t2"}]),  # TAB is content in CSV
    ],
)
def test_csv_dialect(text, expected):
    assert csv.loads(text) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a\tb\n1\tx\n", [{"a": 1, "b": "x"}]),
        ("a,b\tc\n1,2\t3\n", [{"a,b": "1,2", "c": 3}]),  # commas are content in TSV
        ('a\tb\n"x\ty"\t"q""q"\n', [{"a": "x\ty", "b": 'q"q'}]),
        ("a\tb\n\t\n", [{"a": None, "b": None}]),
    ],
)
def test_tsv_dialect(text, expected):
    assert tsv.loads(text) == expected


def _random_document(rng, delimiter):
    pieces = ["", "x", "word", "1", "-2.5", "true", " sp ", "é", "€uro", '"', '""', delimiter, "\n", "\r", "\r\n",
              "a" * 40, "9" * 25]
    lines = []
    columns = rng.randint(1, 6)
    lines.append(delimiter.join(f"c{i}" for i in range(columns)))
    for _ in range(rng.randint(200, 900)):
        fields = []
        for _ in range(columns):
            text = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 4)))
            needs_quotes = any(ch in text for ch in (delimiter, '"', "\n", "\r")) or rng.random() < 0.05
            if needs_quotes:
                text = '"' + text.replace('"', '""') + '"'
                if rng.random() < 0.05:
                    text += "tail"  # text after the closing quote
            elif rng.random() < 0.05:
                text = 's"' + text + '"'  # stray quotes inside an unquoted field
            fields.append(text)
        if fields == [""] * len(fields) and columns == 1:
            fields = ['""']  # an unquoted empty single field would be a blank line
        lines.append(delimiter.join(fields))
        if rng.random() < 0.05:
            lines.append("")  # blank lines are skipped
    terminator = rng.choice(["\n", "\r\n", "\r"])
    return terminator.join(lines) + rng.choice(["", terminator])


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("delimiter, module", [(",", csv), ("\t", tsv)])
def test_records_match_the_standard_reader_across_chunk_boundaries(seed, delimiter, module):
    # Documents of 10-60 KB put fields, quotes, doubled quotes and CR LF pairs
    # across the reader's 8192-byte chunks; the standard library's reader in
    # the same dialect (blank rows aside) is the reference.
    rng = random.Random(seed)
    text = _random_document(rng, delimiter)
    expected = [row for row in stdcsv.reader(io.StringIO(text, newline=""), delimiter=delimiter) if row]
    header, body = expected[0], expected[1:]
    # Every column read as text: a leading "x" cell in each column forces Text.
    forced = delimiter.join(["x"] * len(header)) + "\n"
    first_break = min(i for i in (text.find("\n"), text.find("\r")) if i >= 0)
    loaded = module.loads(text[: first_break + 1] + forced + text[first_break + 1:])
    assert [list(record.keys()) for record in loaded[:1]] == [header]
    got = [list(record.values()) for record in loaded[1:]]
    assert got == [[cell if cell != "" else None for cell in row] for row in body]


# ---------------------------------------------------------------- column inference

SAMPLES = {
    "Empty": "",
    "Bool": "true",
    "Int": "7",
    "BigInt": "-99999999999999999999",
    "Float": "2.5",
    "Text": "x",
}
KINDS = list(SAMPLES)
JOIN = {
    # acc:      Empty     Bool    Int       BigInt    Float    Text
    "Empty":  ["Empty", "Bool", "Int", "BigInt", "Float", "Text"],
    "Bool":   ["Bool", "Bool", "Text", "Text", "Text", "Text"],
    "Int":    ["Int", "Text", "Int", "BigInt", "Float", "Text"],
    "BigInt": ["BigInt", "Text", "BigInt", "BigInt", "Float", "Text"],
    "Float":  ["Float", "Text", "Float", "Float", "Float", "Text"],
    "Text":   ["Text", "Text", "Text", "Text", "Text", "Text"],
}


def _value(cell, kind):
    if cell == "":
        return None
    return {
        "Bool": lambda: cell == "true",
        "Int": lambda: int(cell),
        "BigInt": lambda: int(cell),
        "Float": lambda: float(cell),
        "Text": lambda: cell,
    }[kind]()


@pytest.mark.parametrize("first", KINDS)
@pytest.mark.parametrize("second", KINDS)
def test_merge_kind_table(first, second):
    joined = JOIN[first][KINDS.index(second)]
    cells = [SAMPLES[first], SAMPLES[second]]
    text = "c,pad\n" + "".join(f"{cell},p\n" for cell in cells)
    got = [record["c"] for record in csv.loads(text)]
    expected = [_value(cell, joined) for cell in cells]
    assert got == expected
    assert [type(v) for v in got] == [type(v) for v in expected]
    # The join does not depend on the order of the rows.
    assert [record["c"] for record in csv.loads("c,pad\n" + "".join(f"{c},p\n" for c in reversed(cells)))] == \
        list(reversed(expected))


@pytest.mark.parametrize(
    "cells, expected",
    [
        (["1", "2.5"], [1.0, 2.5]),
        (["1", "x"], ["1", "x"]),
        (["true", "1"], ["true", "1"]),
        (["true", "", "false"], [True, None, False]),
        (["", ""], [None, None]),
        (["x", ""], ["x", None]),  # empty is None even in a Text column
        (["9223372036854775807"], [9223372036854775807]),
        (["-9223372036854775808"], [-9223372036854775808]),
        (["9223372036854775808"], [9223372036854775808]),
        (["-9223372036854775809"], [-9223372036854775809]),
        (["1", "12345678901234567890"], [1, 12345678901234567890]),
        (["+12345678901234567890123"], [12345678901234567890123]),
        (["3", "123456789012345678901234567890", "0.5"], [3.0, 1.2345678901234568e29, 0.5]),
        (["007", "+5", "-0"], [7, 5, 0]),
        (["True", "TRUE", "1"], ["True", "TRUE", "1"]),
    ],
)
def test_column_values(cells, expected):
    got = [record["c"] for record in csv.loads("c\n" + "".join(f'"{cell}"\n' for cell in cells))]
    assert got == expected
    assert [type(v) for v in got] == [type(v) for v in expected]


@pytest.mark.parametrize("cells", [["-0", "1.5"], ["9007199254740993", "0.5", "-0", "+0"], ["1e0", "-0"]])
def test_integer_cells_of_a_float_column_read_as_their_text(cells):
    """An integer cell in a column joined to Float is the nearest double to
    its text (-0 is -0.0), whichever cells came first."""
    for order in (cells, cells[::-1]):
        got = [record["c"] for record in csv.loads("c\n" + "".join(f"{cell}\n" for cell in order))]
        assert [repr(v) for v in got] == [repr(float(cell)) for cell in order]


@pytest.mark.parametrize(
    "cell, kind",
    [
        ("nan", float), ("NaN", float), ("-inf", float), ("+Infinity", float), ("INF", float),
        ("1e5", float), ("1E-5", float), ("2.5e+3", float), (".5", float), ("5.", float), ("-.5e1", float),
        ("1e400", float), ("-1e400", float), ("1e-400", float),
        ("1_000", str), ("0x10", str), (" 1", str), ("1 ", str), (".", str), ("e5", str), ("1e", str),
        ("1e+", str), ("+", str), ("-", str), ("--1", str), ("1.2.3", str), ("infinit", str), ("nana", str),
        ("1,5", str), ("١", str), ("true ", str), ("false", bool), ("-5", int), ("+0", int),
    ],
)
def test_cell_classification(cell, kind):
    (record,) = csv.loads(f'c\n"{cell}"\n')
    assert type(record["c"]) is kind
    if kind is float:
        expected = float(cell)
        assert record["c"] == expected or (math.isnan(expected) and math.isnan(record["c"]))


def test_float_cells_are_correctly_rounded():
    rng = random.Random(3)
    values = [rng.uniform(-1e6, 1e6) for _ in range(300)] + [rng.random() * 10 ** rng.randint(-300, 300)
                                                             for _ in range(300)]
    texts = [repr(v) for v in values] + ["0.1", "2.2250738585072011e-308", "4.9e-324", "1.7976931348623157e308",
                                         "9007199254740993", "0." + "0" * 400 + "1"]
    got = [record["c"] for record in csv.loads("c\n" + "\n".join(texts))]
    assert got == [float(t) for t in texts]


def test_integers_beyond_the_interpreter_digit_limit():
    digits = sys.get_int_max_str_digits()
    if digits == 0:
        pytest.skip("no integer digit limit in this interpreter")
    with pytest.raises(ValueError) as info:
        csv.loads("c\n" + "9" * (digits + 1) + "\n")
    assert "limit" in str(info.value) and "integer string conversion" in str(info.value)
    # Within the limit the value is exact.
    (record,) = csv.loads("c\n" + "9" * digits + "\n")
    assert record["c"] == int("9" * digits)


@pytest.mark.thread_unsafe(reason="replaces builtins.int, which every thread's big integers go through")
def test_big_integers_call_the_interpreter_int(monkeypatch):
    import builtins

    calls = []
    real_int = builtins.int

    def spy(text):
        calls.append(text)
        return real_int(text)

    monkeypatch.setattr(builtins, "int", spy)
    records = csv.loads("c\n1\n+123456789012345678901\n-5\n")
    monkeypatch.undo()
    # Only the cell beyond 64 bits goes through int(); the others are made directly.
    assert calls == ["+123456789012345678901"]
    assert [r["c"] for r in records] == [1, 123456789012345678901, -5]


def test_keys_follow_header_order_and_records_are_independent():
    records = csv.loads("z,a,m\n1,2,3\n4,5,6\n")
    assert [list(r) for r in records] == [["z", "a", "m"], ["z", "a", "m"]]
    records[0]["z"] = 99
    assert records[1]["z"] == 4


# ---------------------------------------------------------------- failures

@pytest.mark.parametrize(
    "text, message",
    [
        ("", "csv document carries no header row"),
        (BOM, "csv document carries no header row"),
        (BOM * 2, "csv document carries no header row"),
        ("\n\r\n\r", "csv document carries no header row"),
        ("a,a\n", "duplicate column name a"),
        ("a,b,a,b\n", "duplicate column name a"),
        ("b,a,a,b\n", "duplicate column name a"),
        (",\n", "duplicate column name "),
        ("x,\"y\",y\n", "duplicate column name y"),
        ("a,b\n1\n", "row 2 has 1 fields, the header declares 2"),
        ("a,b\n1,2,3\n", "row 2 has 3 fields, the header declares 2"),
        ("a\n1\n2,3\n", "row 3 has 2 fields, the header declares 1"),
        ("a\n\n\n1\n\n2,3\n", "row 3 has 2 fields, the header declares 1"),  # blank lines are not rows
        ('a\n"1\n\n2"\n3,4\n', "row 3 has 2 fields, the header declares 1"),  # nor quoted line breaks
        ("a,b\n1,2\n,\n,,\n", "row 4 has 3 fields, the header declares 2"),
    ],
)
def test_document_errors(text, message):
    with pytest.raises(ValueError) as info:
        csv.loads(text)
    assert str(info.value) == message


def test_duplicate_names_in_a_wide_header_are_found_quickly():
    names = [f"c{i}" for i in range(200_000)]
    with pytest.raises(ValueError, match="^duplicate column name c5$"):
        csv.loads(",".join(names + ["c5"]) + "\n")


def test_first_failing_record_ends_the_call():
    with pytest.raises(ValueError, match="^row 2 has"):
        csv.loads("a,b\n1\n1,2,3\n")


@pytest.mark.parametrize("module", [csv, tsv])
def test_lone_surrogate_data(module):
    with pytest.raises(UnicodeEncodeError) as info:
        module.loads("a\n\ud800\n")
    assert info.value.__notes__ == ["while processing 'data'"]


def test_loads_rejects_bytes():
    with pytest.raises(TypeError) as info:
        csv.loads(b"a\n1\n")
    assert str(info.value) == "'bytes' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'data'"]
