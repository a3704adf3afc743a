"""toml.loads: values, dates as text, table order, the 1.1.0 additions, the
table rules, and the located error frame."""

from __future__ import annotations

import math
import threading

import pytest

from tabrix._native import toml


def error_text(document: str) -> str:
    with pytest.raises(ValueError) as caught:
        toml.loads(document)
    return str(caught.value)


# ---------------------------------------------------------------- dates and times

@pytest.mark.parametrize(
    "source, text",
    [
        ("1979-05-27 07:32:00Z", "1979-05-27T07:32:00Z"),
        ("1979-05-27t07:32:00z", "1979-05-27T07:32:00Z"),
        ("1979-05-27T00:32:00.999999-07:00", "1979-05-27T00:32:00.999999-07:00"),
        ("1979-05-27T07:32:00-00:00", "1979-05-27T07:32:00+00:00"),
        ("1979-05-27T07:32", "1979-05-27T07:32"),
        ("1979-05-27", "1979-05-27"),
        ("07:32", "07:32"),
        ("07:32:00.500", "07:32:00.5"),
        ("07:32:00.000", "07:32:00.0"),
        # fractions: up to nine digits kept, trailing zeros dropped, finer digits cut
        ("07:32:00.123456789", "07:32:00.123456789"),
        ("07:32:00.000000001", "07:32:00.000000001"),
        ("07:32:00.100000000", "07:32:00.1"),
        ("07:32:00.1234567899", "07:32:00.123456789"),
        ("07:32:00.0000000001", "07:32:00.0"),
        ("1979-05-27T07:32:00.120Z", "1979-05-27T07:32:00.12Z"),
        ("1979-05-27 07:32:59.000+05:30", "1979-05-27T07:32:59.0+05:30"),
        # minutes-only forms with offsets, the space separator, leap days
        ("1979-05-27 07:32Z", "1979-05-27T07:32Z"),
        ("1979-05-27t07:32-23:59", "1979-05-27T07:32-23:59"),
        ("2000-02-29", "2000-02-29"),
        ("2024-02-29T23:59:60", "2024-02-29T23:59:60"),
        ("0000-01-01", "0000-01-01"),
        ("9999-12-31T23:59:59.999999999+23:59", "9999-12-31T23:59:59.999999999+23:59"),
        ("00:00", "00:00"),
    ],
)
def test_datetime_text(source, text):
    assert toml.loads(f"d = {source}") == {"d": text}
    assert toml.loads(f"a = [{source}, {source}]\n") == {"a": [text, text]}


def test_date_then_comment_is_a_date():
    assert toml.loads("d = 1979-05-27 # a comment\nt = 1979-05-27 \n") == {"d": "1979-05-27", "t": "1979-05-27"}


@pytest.mark.parametrize(
    "value, message",
    [
        ("2023-02-29", "invalid date: no such day in that month"),
        ("1900-02-29", "invalid date: no such day in that month"),
        ("2024-02-30", "invalid date: no such day in that month"),
        ("2024-04-31", "invalid date: no such day in that month"),
        ("2024-00-10", "invalid date: month out of range"),
        ("2024-13-10", "invalid date: month out of range"),
        ("2024-01-00", "invalid date: no such day in that month"),
        ("24:00", "invalid time: hour out of range"),
        ("23:60", "invalid time: minute out of range"),
        ("23:59:61", "invalid time: second out of range"),
        ("1979-05-27T07:32:00+24:00", "invalid offset: hour out of range"),
        ("1979-05-27T07:32:00+01:60", "invalid offset: minute out of range"),
        ("1979-05-27T", "expected a time after the date and `T`"),
        ("07:32Z", "invalid time"),
        ("07:32.5", "invalid time"),
        ("07:32:00.", "expected a digit after the decimal point of the seconds"),
        ("1979-5-27", "invalid date (expected YYYY-MM-DD)"),
        ("1979-05-27T7:32", "expected a time after the date and `T`"),
        ("1979-05-27T07:32:00+0100", "invalid offset (expected +HH:MM or -HH:MM)"),
        ("10000-01-01", "invalid number"),
    ],
)
def test_invalid_date_or_time(value, message):
    assert error_text(f"d = {value}").endswith("\n" + message + "\n")


# ---------------------------------------------------------------- scalars

@pytest.mark.parametrize(
    "source, value",
    [
        ("9223372036854775807", 9223372036854775807),
        ("-9223372036854775808", -9223372036854775808),
        ("+17", 17),
        ("-0", 0),
        ("1_000_000", 1000000),
        ("0xDEAD_beef", 0xDEADBEEF),
        ("0x7FFFFFFFFFFFFFFF", 9223372036854775807),
        ("0x0000000000000000000001", 1),
        ("0o755", 0o755),
        ("0b1101_0110", 0b11010110),
        ("0", 0),
    ],
)
def test_integers(source, value):
    result = toml.loads(f"v = {source}")["v"]
    assert result == value and type(result) is int


@pytest.mark.parametrize(
    "source, value",
    [
        ("1.0", 1.0), ("-0.0", -0.0), ("+0.0", 0.0), ("3.1415", 3.1415), ("5e+22", 5e22), ("1e06", 1e6),
        ("-2E-2", -0.02), ("6.626e-34", 6.626e-34), ("224_617.445_991_228", 224617.445991228),
        ("1_0e1_0", 1e11), ("1e400", math.inf), ("-1e-400", -0.0), ("inf", math.inf), ("+inf", math.inf),
        ("-inf", -math.inf), ("0.1", 0.1), ("9007199254740993.0", 9007199254740992.0),
        ("2.2250738585072011e-308", 2.225073858507201e-308),
    ],
)
def test_floats(source, value):
    result = toml.loads(f"v = {source}")["v"]
    assert type(result) is float and result == value
    assert math.copysign(1, result) == math.copysign(1, value)


@pytest.mark.parametrize("source", ["nan", "+nan", "-nan"])
def test_nan(source):
    assert math.isnan(toml.loads(f"v = {source}")["v"])


@pytest.mark.parametrize(
    "source, value",
    [
        ('"tab\there"', "tab\there"),
        (r'"\b\t\n\f\r\"\\"', "\b\t\n\f\r\"\\"),
        (r'"\u00E9\U0001F600\u0000"', "é😀\0"),
        ("'C:\\Users\\nodejs\\templates'", "C:\\Users\\nodejs\\templates"),
        ("'<\\i\\c*\\s*>'", "<\\i\\c*\\s*>"),
        ('"""\nRoses are red\nViolets are blue"""', "Roses are red\nViolets are blue"),
        ('"""\r\none\r\ntwo"""', "one\ntwo"),
        ('"""The quick brown \\\n\n\n  fox jumps over \\\n    the lazy dog."""',
         "The quick brown fox jumps over the lazy dog."),
        ('"""\\\n       The quick brown \\  \r\n       fox."""', "The quick brown fox."),
        ('"""Here are two quotation marks: "". Simple enough."""', 'Here are two quotation marks: "". Simple enough.'),
        ('"""Here are fifteen quotation marks: ""\\"""\\"""\\"""\\"""\\"."""',
         'Here are fifteen quotation marks: """"""""""""""".'),
        ('""""This," she said, "is just a pointless statement.""""',
         '"This," she said, "is just a pointless statement."'),
        ('"""""x"""""', '""x""'),
        ('""""""', ""),
        ("'''\nThe first newline is\ntrimmed in raw strings.\n   All other whitespace\n   is preserved.\n'''",
         "The first newline is\ntrimmed in raw strings.\n   All other whitespace\n   is preserved.\n"),
        ("''''That,' she said, 'is still pointless.''''", "'That,' she said, 'is still pointless.'"),
        ("'''a\r\nb'''", "a\nb"),
        ('""', ""),
        ("''", ""),
        ('"é中😀"', "é中😀"),
    ],
)
def test_strings(source, value):
    assert toml.loads(f"s = {source}") == {"s": value}


# ---------------------------------------------------------------- TOML 1.1.0 additions

@pytest.mark.parametrize(
    "document, value",
    [
        # newlines, comments and a trailing comma inside inline tables
        ("t = {\n  a = 1,\n  b = 2,\n}", {"t": {"a": 1, "b": 2}}),
        ("t = { # comment\n  a = 1 # another\n  , b = { c = 3, },\n\n}", {"t": {"a": 1, "b": {"c": 3}}}),
        ("t = {a = 1,}", {"t": {"a": 1}}),
        ("t = {\n}", {"t": {}}),
        ("t = {\r\n  x.y = 1,\r\n  x.z = 2\r\n}", {"t": {"x": {"y": 1, "z": 2}}}),
        # the \e and \xHH escapes
        (r's = "\e[0m"', {"s": "\x1b[0m"}),
        (r's = "\x41\x00\xe9\xFF"', {"s": "A\x00éÿ"}),
        ('s = """\\x41\\e"""', {"s": "A\x1b"}),
        # seconds may be left out
        ("t = 13:37\nd = 1979-05-27 07:32", {"t": "13:37", "d": "1979-05-27T07:32"}),
    ],
)
def test_toml_1_1_additions(document, value):
    assert toml.loads(document) == value


@pytest.mark.parametrize(
    "document, message",
    [
        ("t = {,}", "expected a key"),
        ("t = {a = 1,,}", "expected a key"),
        ("t = {a = 1 b = 2}", "expected `,` or `}` after a key/value pair of an inline table"),
        ("t = {a\n= 1}", "expected `=` after a key"),
        ("t = {a =\n1}", "expected a value"),
        (r's = "\x4"', "invalid escape sequence: \\x takes two hexadecimal digits"),
        (r's = "\E"', "invalid escape sequence"),
        (r's = "\uD800"', "escape sequence names no Unicode scalar value"),
        (r's = "\U00110000"', "escape sequence names no Unicode scalar value"),
    ],
)
def test_toml_1_1_limits(document, message):
    assert error_text(document).endswith("\n" + message + "\n")


# ---------------------------------------------------------------- tables and their order

@pytest.mark.parametrize(
    "document, value",
    [
        ("[b]\nx = 1\n[a]\n[b.c]\ny = 2", {"b": {"x": 1, "c": {"y": 2}}, "a": {}}),
        ("a.b = 1\na.c = 2", {"a": {"b": 1, "c": 2}}),
        ("z = 1\n[x.y.z]\n[x]\nw = 2\n[x.y]\nv = 3", {"z": 1, "x": {"y": {"z": {}, "v": 3}, "w": 2}}),
        ("[[p]]\nn = 1\n[[p]]\nn = 2", {"p": [{"n": 1}, {"n": 2}]}),
        ("[[p]]\n[p.q]\nn = 1\n[[p]]\n[[p.r]]\n[[p.r]]\nm = 1", {"p": [{"q": {"n": 1}}, {"r": [{}, {"m": 1}]}]}),
        ("[[a.b]]\nx = 1\n[a]\ny = 2", {"a": {"b": [{"x": 1}], "y": 2}}),
        ("[fruit]\napple.color = 'red'\napple.taste.sweet = true\n[fruit.apple.texture]\nsmooth = true",
         {"fruit": {"apple": {"color": "red", "taste": {"sweet": True}, "texture": {"smooth": True}}}}),
        ("[a.b.c]\n[a]\nb.d = 1", {"a": {"b": {"c": {}, "d": 1}}}),
        ("k = 1\n'' = 2\n\"a.b\" = 3\n' x ' = 4", {"k": 1, "": 2, "a.b": 3, " x ": 4}),
        ("\"\\u0061\" = 1\n[\"\\u0062\"]\nc = 2", {"a": 1, "b": {"c": 2}}),
        ("a = [1, 'x', [2.5], {b = 1}, ]", {"a": [1, "x", [2.5], {"b": 1}]}),
        ("a = [\n  1, # one\n  2\n  # end\n]", {"a": [1, 2]}),
        ("[ a . b ]\n[[ c . d ]]", {"a": {"b": {}}, "c": {"d": [{}]}}),
    ],
)
def test_tables(document, value):
    result = toml.loads(document)
    assert result == value

    def orders(x):
        if isinstance(x, dict):
            return [(k, orders(v)) for k, v in x.items()]
        if isinstance(x, list):
            return [orders(v) for v in x]
        return x

    assert orders(result) == orders(value)  # keys in the order they were first defined


@pytest.mark.parametrize(
    "document, message",
    [
        ("a = 1\na = 2", "duplicate key"),
        ("a = 1\n'a' = 2", "duplicate key"),
        ('a = 1\n"\\u0061" = 2', "duplicate key"),
        ("[a]\n[a]", "table defined twice"),
        ("[a.b]\n[a]\n[a]", "table defined twice"),
        ("a.b = 1\n[a]", "table already defined by dotted keys"),
        ("[t1]\nt2.t3.v = 0\n[t1.t2]", "table already defined by dotted keys"),
        ("[a.b.c]\nz = 9\n[a]\nb.c.t = 1", "dotted keys cannot add to a table defined by a [header]"),
        ("[a]\nb.c = 1\n[a.d]\n[a]", "table defined twice"),
        ("a.b = 1\n[x]\n[a.b.c]", "this key already holds a value that is not a table"),
        ("[x]\na.b = 1\n[y]\n[x]", "table defined twice"),
        ("a = {b = 1}\na.c = 2", "an inline table cannot be extended"),
        ("a = {}\n[a.b]", "an inline table cannot be extended"),
        ("a = {b = {}}\n[a.b]", "an inline table cannot be extended"),
        ("a = {b.c = 1, b = 2}", "duplicate key"),
        ("a = {b = {c = 1}, b.d = 2}", "an inline table cannot be extended"),
        ("a = [1]\n[[a]]", "a static array cannot be extended"),
        ("a = [{}]\n[a.b]", "a static array cannot be extended"),
        ("[a]\n[[a]]", "table already defined, not as an array of tables"),
        ("[[a]]\n[a]", "table already defined as an array of tables"),
        ("[[a.b]]\n[[a]]", "table already defined, not as an array of tables"),
        ("[[a.b]]\n[a]\nb.c = 1", "this key already holds a value that is not a table"),
        ("a = true\n[[a]]", "this key already holds a value that is not a table"),
        ("a = 1\na.b = 2", "this key already holds a value that is not a table"),
        ("a = 1\n[a.b.c]", "this key already holds a value that is not a table"),
    ],
)
def test_table_rules(document, message):
    assert error_text(document).endswith("\n" + message + "\n")


# ---------------------------------------------------------------- documents

@pytest.mark.parametrize("document", ["", "\n\n", "# only a comment\n", "  \t\n# x\r\n\n", "\ufeff", "\ufeff# c"])
def test_empty_documents(document):
    result = toml.loads(document)
    assert result == {} and type(result) is dict


def test_byte_order_mark_is_skipped_and_positions_start_after_it():
    assert toml.loads("\ufeffa = 1") == {"a": 1}
    assert error_text("\ufeffa = ?").startswith("TOML parse error at line 1, column 5\n")
    assert error_text("a = 1\n\ufeffb = 2").endswith("expected a key\n")


def test_crlf_documents():
    assert toml.loads("a = 1\r\n[t]\r\nb = 'x' # c\r\n") == {"a": 1, "t": {"b": "x"}}


@pytest.mark.parametrize(
    "document",
    ["a = 1\rb = 2", "a = 'x\ry'", "a = '''x\ry'''", 'a = """x\ry"""', "# c\r", "a = [\r]", "a = 1 \r"],
)
def test_bare_carriage_return_is_rejected(document):
    error_text(document)


@pytest.mark.parametrize(
    "document",
    ['a = "\x00"', 'a = "\x1f"', 'a = "\x7f"', "a = '\x08'", 'a = """\x0b"""', "a = '''\x7f'''", "# \x00",
     "# \x7f", "a = 1 # \x1b", "a\x00 = 1", "a = 1\x0c"],
)
def test_control_characters_are_rejected(document):
    error_text(document)


# ---------------------------------------------------------------- the error frame

def test_integer_overflow_frame():
    assert error_text("a = 9223372036854775808") == (
        "TOML parse error at line 1, column 5\n"
        "  |\n"
        "1 | a = 9223372036854775808\n"
        "  |     ^^^^^^^^^^^^^^^^^^^\n"
        "integer out of range (TOML integers are signed 64-bit)\n"
    )


@pytest.mark.parametrize(
    "document, frame",
    [
        # error at the end of input: clamped onto the last byte, one column on
        ("a =", "TOML parse error at line 1, column 4\n  |\n1 | a =\n  |    ^\nexpected a value\n"),
        ("a = 1\nb =\n", "TOML parse error at line 2, column 4\n  |\n2 | b =\n  |    ^\nexpected a value\n"),
        ('x = 1\ns = "abc', 'TOML parse error at line 2, column 5\n  |\n2 | s = "abc\n  |     ^^^^\n'
                           "unterminated string\n"),
        # a span longer than its line: carets stop at the line's end
        ('s = """abc\ndef\n', 'TOML parse error at line 1, column 5\n  |\n1 | s = """abc\n  |     ^^^^^^\n'
                              "unterminated multi-line string\n"),
        # columns count characters, carets start after as many blanks
        ('k = "é中😀" x', 'TOML parse error at line 1, column 11\n  |\n1 | k = "é中😀" x\n  |           ^\n'
                         "expected a newline after the value\n"),
        # (carets count the span's bytes: the quoted key of three characters takes four)
        ('"ä"."ö" = 1\n"ä"."ö" = 2', 'TOML parse error at line 2, column 5\n  |\n2 | "ä"."ö" = 2\n'
                                       "  |     ^^^^\nduplicate key\n"),
        # a line holding a CRLF is shown without its carriage return
        ("a = 1\r\nb = 1\r\nb = 2\r\n", "TOML parse error at line 3, column 1\n  |\n3 | b = 2\n  | ^\n"
                                        "duplicate key\n"),
        # the gutter grows with the line number
        ("\n" * 11 + "[a]\n[a]", "TOML parse error at line 13, column 2\n   |\n13 | [a]\n   |  ^\n"
                                 "table defined twice\n"),
        ("x = 1\n\t\tport = 80 80", "TOML parse error at line 2, column 13\n  |\n2 | \t\tport = 80 80\n"
                                    "  |             ^\nexpected a newline after the value\n"),
    ],
)
def test_error_frames(document, frame):
    assert error_text(document) == frame


@pytest.mark.parametrize(
    "document, line, column, message",
    [
        ("a = 01", 1, 5, "leading zeros are not allowed in numbers"),
        ("a = 1__2", 1, 6, "an underscore in a number must stand between two digits"),
        ("a = 0x", 1, 7, "expected a digit after the base prefix"),
        ("a = 1.", 1, 7, "expected a digit after the decimal point"),
        ("a = 1e", 1, 7, "expected a digit in the exponent"),
        ("a = 1.2.3", 1, 5, "invalid number"),
        ("a = 0x8000000000000000", 1, 5, "integer out of range (TOML integers are signed 64-bit)"),
        ("a = -9223372036854775809", 1, 5, "integer out of range (TOML integers are signed 64-bit)"),
        ("a = 99999999999999999999999", 1, 5, "integer out of range (TOML integers are signed 64-bit)"),
        ("a = truth", 1, 5, "expected a value"),
        ("a = \"x\ny\"", 1, 5, "unterminated string"),
        ("[a\nb]", 1, 3, "expected `]` after the key of a table header"),
        ("[[a]\n", 1, 4, "expected `]]` to close the array-of-tables header"),
        ("[a] b = 1", 1, 5, "expected a newline after the table header"),
        ('"""k""" = 1', 1, 1, "a key cannot be a multi-line string"),
        ("= 1", 1, 1, "expected a key"),
        ("a = [1 2]", 1, 8, "expected `,` or `]` after an array element"),
        ("a = [1,,2]", 1, 8, "expected a value"),
        ("a = 1\nb = [\n  1,\n", 3, 6, "expected a value"),
    ],
)
def test_error_positions(document, line, column, message):
    text = error_text(document)
    assert text.startswith(f"TOML parse error at line {line}, column {column}\n")
    assert text.endswith(f"\n{message}\n")
    frame = text.splitlines()
    caret_line = frame[3]
    gutter = len(str(line)) + 1
    assert caret_line.startswith(" " * gutter + "|" + " " * column + "^")


# ---------------------------------------------------------------- limits

def test_recursion_limit():
    assert toml.loads("a = " + "[" * 512 + "]" * 512)  # the innermost array is 512 levels down
    assert error_text("a = " + "[" * 513 + "]" * 513).endswith("\nrecursion limit\n")
    assert error_text("a = " + "{b = " * 600 + "1" + "}" * 600).endswith("\nrecursion limit\n")
    assert error_text(".".join(["k"] * 600) + " = 1").endswith("\nrecursion limit\n")
    assert error_text("[" + ".".join(["k"] * 600) + "]").endswith("\nrecursion limit\n")
    deep = toml.loads("[" + ".".join(["k"] * 511) + "]\nv = 1")
    for _ in range(511):
        deep = deep["k"]
    assert deep == {"v": 1}


def test_hostile_nesting_does_not_exhaust_the_stack():
    # far past the limit, in a thread with a small stack
    results = []

    def parse():
        try:
            toml.loads("a = " + "[" * 200_000)
        except ValueError as error:
            results.append(str(error))

    threading.stack_size(512 * 1024)
    try:
        thread = threading.Thread(target=parse)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(0)
    assert results and results[0].endswith("\nrecursion limit\n")


def test_many_keys_in_one_table():
    document = "\n".join(f"key_{i} = {i}" for i in range(20000)) + "\n[t]\n" + "\n".join(
        f"k{i}.x = {i}" for i in range(5000))
    result = toml.loads(document)
    assert len(result) == 20001 and result["key_19999"] == 19999 and result["t"]["k4999"] == {"x": 4999}
    assert error_text(document + "\nk17.y = 1\nk17 = 2").endswith("\nduplicate key\n")


def test_parallel_loads_agree():
    document = "\n".join(f"[t{i}]\nv = {i}\ns = 'x{i}'\nd = 2020-01-01T00:00:{i % 60:02}Z" for i in range(2000))
    expected = toml.loads(document)
    outcomes = []

    def work():
        outcomes.append(all(toml.loads(document) == expected for _ in range(5)))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert outcomes == [True] * 4
