"""csv.dumps, dumps_header and dumps_row (and their TSV twins)."""

import datetime
import math
import random
import struct

import pytest

from tabrix._native import csv, tsv


class IntSub(int):
    def __str__(self):
        return "int-sub"


class FloatSub(float):
    pass


class StrSub(str):
    def encode(self, *args, **kwargs):  # never called: the stored text is used
        raise AssertionError("overridden method called")


class DictSub(dict):
    def __getitem__(self, key):  # never called: the dict's own entries are read
        raise AssertionError("overridden method called")


class ListSub(list):
    def __iter__(self):
        raise AssertionError("overridden method called")


@pytest.mark.parametrize(
    "value, csv_text, tsv_text",
    [
        (None, '""', '""'),  # a lone empty field: quoted, or the reader skips the line
        ("", '""', '""'),
        (True, "true", "true"),
        (False, "false", "false"),
        (0, "0", "0"),
        (-17, "-17", "-17"),
        (2**63 - 1, "9223372036854775807", "9223372036854775807"),
        (-2**63, "-9223372036854775808", "-9223372036854775808"),
        (10**30, "1" + "0" * 30, "1" + "0" * 30),
        (-(10**30), "-1" + "0" * 30, "-1" + "0" * 30),
        (1.5, "1.5", "1.5"),
        (IntSub(3), "int-sub", "int-sub"),
        (FloatSub(0.25), "0.25", "0.25"),
        ("plain text", "plain text", "plain text"),
        (" padded ", " padded ", " padded "),
        ("a,b", '"a,b"', "a,b"),
        ("a\tb", "a\tb", '"a\tb"'),
        ('say "hi"', '"say ""hi"""', '"say ""hi"""'),
        ('"', '""""', '""""'),
        ("line\nbreak", '"line\nbreak"', '"line\nbreak"'),
        ("cr\rhere", '"cr\rhere"', '"cr\rhere"'),
        ("é€𝄞", "é€𝄞", "é€𝄞"),
        ("x" * 100 + ",", '"' + "x" * 100 + ',"', "x" * 100 + ","),
    ],
)
def test_cell_text(value, csv_text, tsv_text):
    assert csv.dumps([{"v": value}]) == f"v\n{csv_text}\n"
    assert tsv.dumps([{"v": value}]) == f"v\n{tsv_text}\n"


@pytest.mark.parametrize(
    "value",
    [0.0, -0.0, 1.0, 0.1, 1e100, 1e16, 1e15, 9999999999999998.0, 1e-5, 1e-4, 0.00012, 123.456, 5e-324,
     1.7976931348623157e308, 2.0**-1074 * 3, math.inf, -math.inf, math.nan, 1e22, 1.5e-7, 12345678.9],
)
def test_float_text_is_python_str(value):
    assert csv.dumps([{"v": value}]) == f"v\n{value}\n"


def test_float_text_matches_python_for_random_doubles():
    rng = random.Random(11)
    values = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(3000)]
    values += [rng.uniform(-1e6, 1e6) for _ in range(1000)] + [float(rng.randint(0, 10**18)) for _ in range(500)]
    # Values with few decimals take a writer of their own from 1e-4 to 1e15:
    # its edges, trailing zeros and both signs.
    values += [9.99999e-5, 1e-4, 1.0001e-4, 1e15 - 0.5, 1e15, 120.0, 100.5, 0.05, 1e14 + 0.25]
    for _ in range(4000):
        value = round(rng.random() * 10.0 ** rng.randint(-6, 16), rng.randint(0, 17))
        values += [value, -value, rng.randint(1, 10 ** rng.randint(1, 16)) / 10 ** rng.randint(0, 17)]
    values = [v for v in values if not math.isnan(v)]
    text = csv.dumps([{"v": v} for v in values])
    assert text.split("\n")[1:-1] == [str(v) for v in values]


def test_int_text_matches_python_at_every_digit_count():
    values = [sign * (10**n + delta) for n in range(19) for delta in (-1, 0, 1) for sign in (1, -1)]
    values = [v for v in values if -(2**63) <= v < 2**63] + [2**63 - 1, -(2**63), -(2**63) + 1]
    text = csv.dumps([{"v": v} for v in values])
    assert text.split("\n")[1:-1] == [str(v) for v in values]


def test_document_layout():
    records = [{"a": 1, "b": "x"}, {"b": "y", "a": 2}]  # the first record's key order wins
    assert csv.dumps(records) == "a,b\n1,x\n2,y\n"
    assert tsv.dumps(records) == "a\tb\n1\tx\n2\ty\n"
    assert csv.dumps([{"a,b": 1, 'q"': 2}]) == '"a,b","q"""\n1,2\n'


@pytest.mark.parametrize(
    "records, text",
    [
        # A lone empty field would be an empty line, which the reader skips:
        # written as an empty quoted field.
        ([{"a": None}, {"a": ""}, {"a": 1}], 'a\n""\n""\n1\n'),
        ([{"": 0}], '""\n0\n'),
        ([{"": None}], '""\n""\n'),
        # A byte-order mark opening the text is dropped by the reader: the
        # first name that starts with one is quoted.
        ([{"\ufeffa": 1}], '"\ufeffa"\n1\n'),
        ([{"\ufeff": 1, "b": 2}], '"\ufeff",b\n1,2\n'),
        ([{"b": "\ufeff", "\ufeffc": "\ufeff"}], "b,\ufeffc\n\ufeff,\ufeff\n"),
        # Empty fields beside others are written as nothing.
        ([{"": None, "b": ""}], ",b\n,\n"),
    ],
)
def test_fields_the_reader_would_lose_are_quoted(records, text):
    for module, delimiter in ((csv, ","), (tsv, "\t")):
        expected = text.replace(",", delimiter)
        assert module.dumps(records) == expected
        header = list(records[0])
        lines = [module.dumps_header(header)] + [module.dumps_row(header, n, r) for n, r in enumerate(records, 1)]
        assert "".join(lines) == expected
        assert module.loads(expected) == [{k: (None if v == "" else v) for k, v in r.items()} for r in records]


def test_subclasses_are_read_through_their_own_storage():
    obj = ListSub([DictSub(a=1, b="x"), DictSub(a=2, b="y")])
    assert csv.dumps(obj) == "a,b\n1,x\n2,y\n"
    assert csv.dumps_row(["a", "b"], 1, DictSub(a=1, b="x")) == "1,x\n"
    assert csv.dumps([{StrSub("k"): StrSub("v,w")}]) == 'k\n"v,w"\n'



@pytest.mark.parametrize(
    "obj, exc_type, message",
    [
        ((), ValueError, "csv documents are lists of records"),
        ({"a": 1}, ValueError, "csv documents are lists of records"),
        ("a,b", ValueError, "csv documents are lists of records"),
        (None, ValueError, "csv documents are lists of records"),
        ([], ValueError, "csv needs at least one record to derive the header"),
        ([[("a", 1)]], ValueError, "csv records must be mappings"),
        ([{"a": 1}, [1]], ValueError, "record 2 is not a mapping"),
        ([{"a": 1}, {"a": 1, "b": 2}], ValueError, "record 2 has 2 keys, the first record declares 1"),
        ([{"a": 1, "b": 2}, {"a": 1}], ValueError, "record 2 has 1 keys, the first record declares 2"),
        ([{"a": 1, "b": 2}, {"a": 1, "c": 2}], ValueError, "record 2 is missing column b"),
        ([{"a": 1}, {"a": 2}, {"b": 3}], ValueError, "record 3 is missing column a"),
        ([{1: "x"}], TypeError, "'int' object is not an instance of 'str'"),
        ([{"a": 1, None: 2}], TypeError, "'None' is not an instance of 'str'"),
        ([{"a": [1]}], TypeError, "record 1 column a is not a csv scalar"),
        ([{"a": 1}, {"a": {}}], TypeError, "record 2 column a is not a csv scalar"),
        ([{"a": 1, "b c": b"x"}], TypeError, "record 1 column b c is not a csv scalar"),
        ([{"a": datetime.date(2024, 1, 1)}], TypeError, "record 1 column a is not a csv scalar"),
        ([{"a": (1,)}], TypeError, "record 1 column a is not a csv scalar"),
        ([{"a": "ok"}, {"a": "\ud800"}], TypeError, "record 2 column a is not a csv scalar"),
    ],
)
def test_dumps_errors(obj, exc_type, message):
    with pytest.raises(exc_type) as info:
        csv.dumps(obj)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_errors_from_a_value_propagate():
    class Broken(int):
        def __str__(self):
            raise KeyError("from __str__")

    with pytest.raises(KeyError, match="from __str__"):
        csv.dumps([{"a": Broken(1)}])


def test_a_list_that_shrinks_while_written_ends_the_walk():
    records = [{"a": 1}, {"a": 2}, {"a": 3}]

    class Shrinking(int):
        def __str__(self):
            del records[1:]
            return "s"

    records[0]["a"] = Shrinking(1)
    assert csv.dumps(records) == "a\ns\n"


def _spelled_anew(text):
    """An equal str that is not the same object."""
    anew = "".join(list(text))
    assert anew is not text
    return anew


@pytest.mark.parametrize(
    "second",
    [
        {"aa": 2, "bb": "y", "cc": 2.5},  # the first record's order and key objects
        {"cc": 2.5, "bb": "y", "aa": 2},  # another order
        {_spelled_anew("aa"): 2, _spelled_anew("bb"): "y", _spelled_anew("cc"): 2.5},  # equal keys, other objects
        {"aa": 2, _spelled_anew("bb"): "y", "cc": 2.5},  # one key object differs midway
    ],
)
def test_records_are_written_in_header_order_whatever_their_keys(second):
    # Names of two characters: interpreters share one object per
    # one-character str, which no new spelling escapes.
    assert csv.dumps([{"aa": 1, "bb": "x", "cc": 0.5}, second]) == "aa,bb,cc\n1,x,0.5\n2,y,2.5\n"


def test_a_record_changed_by_a_value_is_read_as_it_now_stands():
    record = {"a": None, "b": 1, "c": 2}

    class Changing(int):
        def __str__(self):
            record["c"] = "changed"
            return "m"

    class Deleting(int):
        def __str__(self):
            del record["b"]
            return "m"

    record["a"] = Changing(0)
    assert csv.dumps([{"a": 1, "b": 1, "c": 1}, record]) == "a,b,c\n1,1,1\nm,1,changed\n"
    record["a"] = Deleting(0)
    with pytest.raises(ValueError, match="^record 2 is missing column b$"):
        csv.dumps([{"a": 1, "b": 1, "c": 1}, record])


# ---------------------------------------------------------------- line writers

def test_dumps_header():
    assert csv.dumps_header([]) == "\n"
    assert csv.dumps_header(["a", "b"]) == "a,b\n"
    assert csv.dumps_header(("a", "a")) == "a,a\n"  # no checks on the names
    assert csv.dumps_header(["x,y", "t\tu"]) == '"x,y",t\tu\n'
    assert tsv.dumps_header(["x,y", "t\tu"]) == 'x,y\t"t\tu"\n'
    assert csv.dumps_header([StrSub("s")]) == "s\n"
    assert csv.dumps_header(header=["k"]) == "k\n"


@pytest.mark.parametrize("module", [csv, tsv])
def test_line_writers_compose_to_dumps(module):
    records = [{"n": i, "s": f'v,"{i}"\t', "f": i / 3, "b": i % 2 == 0, "e": None if i % 3 else ""}
               for i in range(50)]
    header = list(records[0])
    pieces = [module.dumps_header(header)] + [module.dumps_row(header, i, r) for i, r in enumerate(records, 1)]
    assert "".join(pieces) == module.dumps(records)


def test_dumps_row_takes_its_order_from_the_header():
    assert csv.dumps_row(["b", "a"], 1, {"a": 1, "b": 2}) == "2,1\n"
    assert csv.dumps_row(header=("a",), number=True, row={"a": "x"}) == "x\n"


@pytest.mark.parametrize(
    "args, exc_type, message",
    [
        ((["a"], 7, {}), ValueError, "record 7 has 0 keys, the header declares 1"),
        ((["a"], 7, {"a": 1, "b": 2}), ValueError, "record 7 has 2 keys, the header declares 1"),
        ((["a"], 7, [1]), ValueError, "record 7 is not a mapping"),
        ((["a"], 2**64 - 1, None), ValueError, "record 18446744073709551615 is not a mapping"),
        ((["a"], 0, {"b": 1}), ValueError, "record 0 is missing column a"),
        ((["a"], 3, {"a": object()}), TypeError, "record 3 column a is not a csv scalar"),
        (([], 1, {}), None, "\n"),
    ],
)
def test_dumps_row(args, exc_type, message):
    if exc_type is None:
        assert csv.dumps_row(*args) == message
        return
    with pytest.raises(exc_type) as info:
        csv.dumps_row(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, exc_type, message, note",
    [
        (lambda: csv.dumps_header("ab"), TypeError, "Can't extract `str` to `Vec`", "header"),
        (lambda: csv.dumps_header(5), TypeError, "'int' object is not an instance of 'Sequence'", "header"),
        (lambda: csv.dumps_header(None), TypeError, "'None' is not an instance of 'Sequence'", "header"),
        (lambda: csv.dumps_header({"a": 1}), TypeError, "'dict' object is not an instance of 'Sequence'", "header"),
        (lambda: csv.dumps_header(["a", 1]), TypeError, "'int' object is not an instance of 'str'", "header"),
        (lambda: csv.dumps_header(["\ud800"]), UnicodeEncodeError, None, "header"),
        (lambda: tsv.dumps_row("a", 1, {}), TypeError, "Can't extract `str` to `Vec`", "header"),
        (lambda: csv.dumps_row(["a"], -1, {}), OverflowError, "can't convert negative int to unsigned", "number"),
        (lambda: csv.dumps_row(["a"], 2**64, {}), OverflowError, "int too big to convert", "number"),
        (lambda: csv.dumps_row(["a"], 1.0, {}), TypeError, "'float' object cannot be interpreted as an integer",
         "number"),
        (lambda: csv.dumps_row(["a"], "1", {}), TypeError, "'str' object cannot be interpreted as an integer",
         "number"),
        # header is converted first: a bad header hides a bad number.
        (lambda: csv.dumps_row(5, "1", {}), TypeError, "'int' object is not an instance of 'Sequence'", "header"),
    ],
)
def test_argument_conversion(call, exc_type, message, note):
    with pytest.raises(exc_type) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{note}'"]


def test_number_through_index():
    class Number:
        def __index__(self):
            return 12

    assert csv.dumps_row(["a"], Number(), {"a": 1}) == "1\n"
    with pytest.raises(ValueError, match="^record 12 is not a mapping$"):
        csv.dumps_row(["a"], Number(), None)


def test_round_trip_through_loads():
    records = [{"id": i, "name": f"n{i}, \"q\"", "score": i * 1.25, "ok": i % 2 == 0, "note": "x\ny"}
               for i in range(100)]
    assert csv.loads(csv.dumps(records)) == records
    assert tsv.loads(tsv.dumps(records)) == records
