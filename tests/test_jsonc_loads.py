"""jsonc.loads: the relaxations, the messages with their positions, numbers,
strings, nesting, and agreement with the standard library's json."""

import json
import math
import sys
import threading

import pytest

from tabrix._native import jsonc


def message_of(text):
    with pytest.raises(ValueError) as info:
        jsonc.loads(text)
    return str(info.value)


# ---------------------------------------------------------------- relaxations

@pytest.mark.parametrize(
    "text, value",
    [
        ("{a: 1, 'b': [1, 2,], /* c */ }", {"a": 1, "b": [1, 2]}),
        ('{"a": 1 "b": 2}', {"a": 1, "b": 2}),  # missing comma between members
        ("[1 2\n3]", [1, 2, 3]),  # missing commas between elements
        ("[1, [2, {x: 3,},],]", [1, [2, {"x": 3}]]),
        ("// lead\n[1, // one\n 2 /* two */, /**/ 3]// tail", [1, 2, 3]),
        ('{/*k*/"a"/*c*/:/*v*/1/*e*/}', {"a": 1}),
        ("{'s': 'it\\'s \"quoted\"'}", {"s": "it's \"quoted\""}),
        ('{"s": "it\'s"}', {"s": "it's"}),
        ("{snake_case: 1, kebab-case: 2, CamelCase3: 3, _x: 4, clé: 5, 数字: 6}",
         {"snake_case": 1, "kebab-case": 2, "CamelCase3": 3, "_x": 4, "clé": 5, "数字": 6}),
        ("{1: 'a', 0x1F: 'b', -2.5e3: 'c', +7: 'd'}", {"1": "a", "0x1F": "b", "-2.5e3": "c", "+7": "d"}),
        ("{nullable: 1, trueish: 2, falsey: 3}", {"nullable": 1, "trueish": 2, "falsey": 3}),
        ("[true-1]", [True, -1]),  # a keyword ends where a letter or digit would not
        ("[01]", [0, 1]),  # a number ends after a leading zero
        ("\u00a0\u2028[\u3000 1 \u2003]\u205f", [1]),  # Unicode white space
        ("[1,\r\n2]\r\n", [1, 2]),
        ("/* a ** b */ 1 /***/", 1),
        ("[1 //x\r\n]", [1]),
        ('"line\nbreak\tand tab"', "line\nbreak\tand tab"),  # raw control characters are kept
        ("{}", {}),
        ("[]", []),
        ("{ }", {}),
        ("null", None),
        ("true", True),
        ("false", False),
        ('""', ""),
        ("''", ""),
    ],
)
def test_relaxed_documents(text, value):
    assert jsonc.loads(text) == value


def test_results_are_exact_builtin_types():
    result = jsonc.loads('{"a": [1, 2.5, "s", true, null, {}, 99999999999999999999]}')
    assert type(result) is dict
    items = result["a"]
    assert type(items) is list
    assert [type(x) for x in items] == [int, float, str, bool, type(None), dict, int]


def test_members_keep_document_order():
    assert list(jsonc.loads('{"z": 1, "a": 2, m: 3, "b": 4}')) == ["z", "a", "m", "b"]


@pytest.mark.parametrize(
    "text, items",
    [
        ('{"a": 1, "b": 2, "a": 3}', [("a", 3), ("b", 2)]),
        ("{a: 1, 'a': 2, \"a\": 3}", [("a", 3)]),  # bare, single- and double-quoted spellings are one key
        ('{"a": {"x": 1}, "b": 0, "a": [2]}', [("a", [2]), ("b", 0)]),
        ('{"k": 1, "\\u006b": 2}', [("k", 2)]),  # an escaped spelling of the same key
    ],
)
def test_repeated_keys_keep_first_position_and_last_value(text, items):
    assert list(jsonc.loads(text).items()) == items


@pytest.mark.parametrize("text", ["", "   \n\t ", "// only a comment\n", "  // only a comment\n", "/* block */",
                                  "\n// a\n/* b */\n// c", "\u00a0\u3000"])
def test_empty_documents(text):
    assert message_of(text) == "jsonc document is empty"


# ---------------------------------------------------------------- messages

SURROGATE = "Invalid unicode escape sequence. '{}' is not a valid UTF8 character on line 1 column {}"


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"a" 1}', "Expected colon after the string or word in object property on line 1 column 6"),
        ("{a}", "Expected colon after the string or word in object property on line 1 column 3"),
        ("{a b: 1}", "Expected colon after the string or word in object property on line 1 column 4"),
        ('{"a"', "Expected colon after the string or word in object property on line 1 column 5"),
        ('{"a":', "Expected value after colon in object property on line 1 column 6"),
        ('{"a": // nothing\n', "Expected value after colon in object property on line 2 column 1"),
        ("1.", "Expected digit on line 1 column 3"),
        ("[1.e5]", "Expected digit on line 1 column 4"),
        ("1e+", "Expected digit on line 1 column 4"),
        ("1E-x", "Expected digit on line 1 column 4"),
        ("0x", "Expected digit on line 1 column 3"),
        ("[0xg]", "Expected digit on line 1 column 4"),
        ("-", "Expected digit following negative sign on line 1 column 2"),
        ("+", "Expected digit following negative sign on line 1 column 2"),
        ("[-a]", "Expected digit following negative sign on line 1 column 3"),
        ("-Infinity", "Expected digit following negative sign on line 1 column 2"),
        ("1e", "Expected plus, minus, or digit in number literal on line 1 column 3"),
        ("[2Ex]", "Expected plus, minus, or digit in number literal on line 1 column 4"),
        ("1 2", "Text cannot contain more than one JSON value on line 1 column 3"),
        ("{} []", "Text cannot contain more than one JSON value on line 1 column 4"),
        ('"a"\n"b"', "Text cannot contain more than one JSON value on line 2 column 1"),
        ("00", "Text cannot contain more than one JSON value on line 1 column 2"),
        ("1, 2", "Text cannot contain more than one JSON value on line 1 column 2"),
        ("}", "Unexpected close brace on line 1 column 1"),
        ("[}]", "Unexpected close brace on line 1 column 2"),
        ('{"a": }', "Unexpected close brace on line 1 column 7"),
        ("]", "Unexpected close bracket on line 1 column 1"),
        ('{"a": ]}', "Unexpected close bracket on line 1 column 7"),
        ("{[]}", "Unexpected token in object on line 1 column 2"),
        ("{,}", "Unexpected token in object on line 1 column 2"),
        ("{a: 1,, b: 2}", "Unexpected token in object on line 1 column 7"),
        ("{:1}", "Unexpected token in object on line 1 column 2"),
        ("{true: 1}", "Unexpected token in object on line 1 column 2"),
        ("{a: 1 null: 2}", "Unexpected token in object on line 1 column 7"),
        ("[abc]", "Unexpected word on line 1 column 2"),
        ("{a: b}", "Unexpected word on line 1 column 5"),
        ("NaN", "Unexpected word on line 1 column 1"),
        ("[Infinity]", "Unexpected word on line 1 column 2"),
        ("undefined", "Unexpected word on line 1 column 1"),
        ("[", "Unterminated array on line 1 column 2"),
        ("[1, 2", "Unterminated array on line 1 column 6"),
        ("[1,\n", "Unterminated array on line 2 column 1"),
        ("/* x", "Unterminated comment block on line 1 column 1"),
        ("[1, /* x */ /*", "Unterminated comment block on line 1 column 13"),
        ("/*/", "Unterminated comment block on line 1 column 1"),
        ("{", "Unterminated object on line 1 column 2"),
        ('{"a": 1', "Unterminated object on line 1 column 8"),
        ("{a: 1,", "Unterminated object on line 1 column 7"),
        ("'a\\\"b'", "Invalid escape in single quote string on line 1 column 3"),
        ('"a\\\'b"', "Invalid escape in double quote string on line 1 column 3"),
        ('"\\u12"', "Expected four hex digits on line 1 column 2"),
        ('"ab\\u12g4"', "Expected four hex digits on line 1 column 4"),
        ('"\\u', "Expected four hex digits on line 1 column 2"),
        ('"\\q"', "Invalid escape on line 1 column 2"),
        ('"\\x41"', "Invalid escape on line 1 column 2"),
        ('"\\\n"', "Invalid escape on line 1 column 2"),
        ('"\\é"', "Invalid escape on line 1 column 2"),
        ('"abc', "Unterminated string literal on line 1 column 1"),
        ('"', "Unterminated string literal on line 1 column 1"),
        ("['", "Unterminated string literal on line 1 column 2"),
        ("'abc\"", "Unterminated string literal on line 1 column 1"),
        ('"abc\\"', "Unterminated string literal on line 1 column 1"),
        ('["ok", "\\', "Unterminated string literal on line 1 column 8"),
        ('"\\q', "Invalid escape on line 1 column 2"),  # an invalid escape comes before the missing quote
        ('"\\ud800"', SURROGATE.format("d800", 2)),
        ('"x\\uDC00y"', SURROGATE.format("DC00", 3)),  # a low surrogate alone
        ('"\\uD83D\\u0041"', SURROGATE.format("D83D", 2)),  # a high one before a non-surrogate
        ('"\\uDBFF\\uDBFF"', SURROGATE.format("DBFF", 2)),  # two high ones
        ('"\\uD83D"', SURROGATE.format("D83D", 2)),
        ('"\\uD83Dx\\uDE00"', SURROGATE.format("D83D", 2)),  # not directly followed by the low one
        # kinds the parser has besides those above
        ("[:]", "Unexpected colon on line 1 column 2"),
        ("[,]", "Unexpected comma on line 1 column 2"),
        ("[1,,2]", "Unexpected comma on line 1 column 4"),
        ("/ 1", "Unexpected token on line 1 column 1"),
        ("[1 & 2]", "Unexpected token on line 1 column 4"),
        ("{a.b: 1}", "Unexpected token on line 1 column 3"),
        ("\ufeff{}", "Unexpected token on line 1 column 1"),  # a byte order mark is not white space
        ("[\f]", "Unexpected token on line 1 column 2"),
        ("[\x00]", "Unexpected token on line 1 column 2"),
        ("[\u2192]", "Unexpected token on line 1 column 2"),
    ],
)
def test_messages(text, message):
    assert message_of(text) == message


@pytest.mark.parametrize(
    "text, message",
    [
        # columns count characters, not bytes
        ('{"é": 1, "ü": ?}', "Unexpected token on line 1 column 15"),
        ('"😀😀" x', "Text cannot contain more than one JSON value on line 1 column 6"),
        ("['日本語', '\\z']", "Invalid escape on line 1 column 10"),
        # later lines: the column restarts after each line feed
        ("[\n  1,\n  é\n]", "Unexpected word on line 3 column 3"),
        ("{\n  // comment with ünïcode\n  \"a\": 1,\n  \"b\": ,\n}", "Unexpected comma on line 4 column 8"),
        ("[\r\n  x\r\n]", "Unexpected word on line 2 column 3"),  # a carriage return is not a line break
        ("[1,\r2, x]", "Unexpected word on line 1 column 8"),
        ("\t\t[oops]", "Unexpected word on line 1 column 4"),  # a tab is one column
        ('{"s": "multi\nline", "t": "\\w"}', "Invalid escape on line 2 column 14"),
        ("/* 😀\n😀 */ ]", "Unexpected close bracket on line 2 column 6"),
        ("\u2028 ]", "Unexpected close bracket on line 1 column 3"),  # U+2028 is white space, not a line break
    ],
)
def test_message_positions(text, message):
    assert message_of(text) == message


def nested(depth, kind):
    """`depth` containers, one inside the other: lists, objects, or both in
    turn."""
    if kind == "list":
        return "[" * depth + "]" * depth
    if kind == "object":
        return '{"q":' * depth + "0" + "}" * depth
    opens = ["[" if i % 2 == 0 else "{a:" for i in range(depth)]
    closes = ["]" if i % 2 == 0 else "}" for i in reversed(range(depth))]
    return "".join(opens) + "0" + "".join(closes)


def depth_of(value):
    depth = 0
    while isinstance(value, (list, dict)):
        depth += 1
        if not value:
            break
        value = value[0] if isinstance(value, list) else next(iter(value.values()))
    return depth


@pytest.mark.parametrize("kind, column", [("list", 513), ("object", 2561), ("mixed", 1025)])
def test_nesting_512_accepted_513_rejected(kind, column):
    assert depth_of(jsonc.loads(nested(512, kind))) == 512
    # the position is that of the 513th opening bracket or brace
    assert message_of(nested(513, kind)) == f"Maximum nesting depth exceeded on line 1 column {column}"
    assert message_of(nested(600, kind)) == f"Maximum nesting depth exceeded on line 1 column {column}"


def test_nesting_position_on_a_later_line():
    assert message_of("\n" + "[ " * 513 + "]" * 513) == "Maximum nesting depth exceeded on line 2 column 1025"


@pytest.mark.parametrize("text", [nested(200_000, "list"), '{"a":' * 200_000, "[" * 1_000_000])
def test_very_deep_input_is_rejected_without_exhausting_the_stack(text):
    assert message_of(text).startswith("Maximum nesting depth exceeded on line 1 column ")


# ---------------------------------------------------------------- numbers

@pytest.mark.parametrize(
    "text, value",
    [
        ("0", 0), ("-0", 0), ("+0", 0), ("+5", 5), ("-5", -5), ("123456789", 123456789),
        ("999999999999999999", 999999999999999999), ("-999999999999999999", -999999999999999999),
        ("1000000000000000000", 10**18),
        ("9223372036854775807", 2**63 - 1), ("-9223372036854775808", -(2**63)),
        ("+9223372036854775807", 2**63 - 1),
        ("9223372036854775808", 2**63), ("-9223372036854775809", -(2**63) - 1),
        ("+9223372036854775808", 2**63),
        ("18446744073709551616", 2**64), ("-18446744073709551616", -(2**64)),
        ("9" * 60, int("9" * 60)), ("-" + "1" * 40, -int("1" * 40)),
        ("0x1F", 31), ("0X1f", 31), ("-0x1F", -31), ("+0xff", 255), ("0x0", 0), ("-0x0", 0),
        ("0x1e", 30), ("0xE5", 229),  # hexadecimal digits e and E are digits, not exponents
        ("0x7FFFFFFFFFFFFFFF", 2**63 - 1), ("0x8000000000000000", 2**63),
        ("-0x8000000000000000", -(2**63)), ("-0x8000000000000001", -(2**63) - 1),
        ("0xFFFFFFFFFFFFFFFF", 2**64 - 1), ("0x10000000000000000", 2**64),
        ("0x" + "f" * 32, 2**128 - 1), ("-0x" + "f" * 32, -(2**128) + 1),
        ("0x" + "0" * 40 + "2a", 42), ("0x" + "0" * 40 + "1" + "0" * 20, 2**80),
        ("0x123456789abcdef0123456789ABCDEF", 0x123456789ABCDEF0123456789ABCDEF),
    ],
)
def test_integers(text, value):
    result = jsonc.loads(text)
    assert type(result) is int
    assert result == value
    assert jsonc.loads(f"[{text}]") == [value]


@pytest.mark.parametrize(
    "text, value",
    [
        ("1.5E2", 150.0), ("1.5e2", 150.0), ("1e2", 100.0), ("+1.5", 1.5), ("-0.5", -0.5), ("0.1", 0.1),
        ("1e400", math.inf), ("-1e400", -math.inf), ("1e-400", 0.0), ("1E+2", 100.0),
        ("2.2250738585072014e-308", 2.2250738585072014e-308), ("5e-324", 5e-324),
        ("1.7976931348623157e308", 1.7976931348623157e308), ("1.7976931348623159e308", math.inf),
        ("0.30000000000000004", 0.30000000000000004), ("123456789012345678901234567890.0", 1.2345678901234568e29),
        ("1e0000000000000000000000000000001", 10.0), ("1" + "0" * 400 + ".0", math.inf),
        ("0." + "0" * 400 + "1", 0.0), ("9007199254740993.0", 9007199254740992.0),
    ],
)
def test_floats(text, value):
    result = jsonc.loads(text)
    assert type(result) is float
    assert result == value


@pytest.mark.parametrize("text, sign", [("-0.0", -1.0), ("0.0", 1.0), ("-0e5", -1.0), ("-1e-400", -1.0)])
def test_float_zero_keeps_its_sign(text, sign):
    result = jsonc.loads(text)
    assert result == 0.0 and math.copysign(1.0, result) == sign


@pytest.mark.thread_unsafe(reason="changes the interpreter-wide limit of int() digits")
def test_hex_beyond_the_conversion_limit_is_rejected_by_int():
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        assert jsonc.loads("0x" + "f" * 4096) == 2**16384 - 1
        with pytest.raises(ValueError, match="invalid literal for int"):
            jsonc.loads("0x" + "f" * 4097)
    finally:
        sys.set_int_max_str_digits(limit)


@pytest.mark.thread_unsafe(reason="changes the interpreter-wide limit of int() digits")
def test_huge_decimal_integer_meets_the_interpreters_limit():
    # The big-integer path hands the text to int(), which applies its own
    # digit limit.
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(5000)
    try:
        assert jsonc.loads("7" * 5000) == int("7" * 5000)
        with pytest.raises(ValueError, match="Exceeds the limit"):
            jsonc.loads("7" * 5001)
    finally:
        sys.set_int_max_str_digits(limit)


# ---------------------------------------------------------------- strings

@pytest.mark.parametrize(
    "text, value",
    [
        (r'"\"\\\/\b\f\n\r\t"', "\"\\/\b\f\n\r\t"),
        (r"'\'\\\/\b\f\n\r\t'", "'\\/\b\f\n\r\t"),
        (r'"\u0041\u00e9\u20AC\uFFFF"', "Aé€\uffff"),
        (r'"\u0000"', "\x00"),
        (r'"\ud83d\ude00"', "😀"),
        (r'"\uD83D\uDE00\uDBFF\uDFFF"', "😀\U0010ffff"),
        (r'"a\ud800\udc00b"', "a\U00010000b"),
        ('"\\u00e9 and é"', "é and é"),
        ("'single \"double\" inside'", 'single "double" inside'),
        ('"👍 emoji"', "👍 emoji"),
        ('"\x7f\x01"', "\x7f\x01"),
    ],
)
def test_string_escapes(text, value):
    assert jsonc.loads(text) == value


@pytest.mark.parametrize("length", [0, 1, 7, 8, 14, 15, 16, 17, 31, 32, 33, 47, 48, 63, 64, 65, 200])
@pytest.mark.parametrize("quote", ['"', "'"])
def test_strings_across_block_boundaries(length, quote):
    ascii_text = "".join(chr(97 + i % 26) for i in range(length))
    for body in (ascii_text, ascii_text + "é", "é" + ascii_text, ascii_text[: length // 2] + "\u4e2d" + ascii_text):
        assert jsonc.loads(f"{quote}{body}{quote}") == body
        assert jsonc.loads(f"[{quote}{body}{quote}]") == [body]
        assert jsonc.loads(f"{{{quote}{body}{quote}: 1}}") == {body: 1}
    for at in range(0, length + 1, max(1, length // 5)):
        escaped = ascii_text[:at] + "\\n" + ascii_text[at:]
        assert jsonc.loads(f"{quote}{escaped}{quote}") == ascii_text[:at] + "\n" + ascii_text[at:]
    assert message_of(quote + ascii_text) == "Unterminated string literal on line 1 column 1"


# ---------------------------------------------------------------- keys

def test_many_distinct_keys():
    keys = [f"key_{i}" for i in range(10_000)] + ["k" * n for n in range(1, 80)]
    text = "[" + ",".join("{" + ",".join(f'"{k}": {i}' for i, k in enumerate(keys[j::7])) + "}" for j in range(7)) + "]"
    assert jsonc.loads(text) == json.loads(text)


@pytest.mark.parametrize(
    "keys",
    [
        ["a", "b", "ab", "ba", "aab", "aba", "baa"],  # short keys differing in the middle
        ["x" * 8 + c + "x" * 8 for c in "abcdef"],  # first and last eight bytes alike
        ["y" * 12 + c + "y" * 12 for c in "abcdef"],
        ["z" * 15 + c + "z" * 16 for c in "abcdef"],  # 32 bytes
        ["é" * 5 + c for c in "ab"] + ["ü", "u"],
    ],
)
def test_similar_keys_stay_apart(keys):
    obj = {k: i for i, k in enumerate(keys)}
    text = json.dumps([obj, obj, {k: -i for k, i in obj.items()}], ensure_ascii=False)
    assert jsonc.loads(text) == json.loads(text)


# ---------------------------------------------------------------- threads

def test_parses_in_several_threads_at_once():
    docs = [json.dumps({"n": n, "items": [{"k": i, "v": str(i) * 3} for i in range(2000)]}) for n in range(4)]
    expected = [json.loads(d) for d in docs]
    failures = []

    def work(index):
        for _ in range(20):
            if jsonc.loads(docs[index]) != expected[index]:
                failures.append(index)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
