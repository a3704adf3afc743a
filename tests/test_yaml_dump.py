"""yaml.dumps: block layout, float text, the quoting rule and its escapes, and
round trips through yaml.loads."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tabrix._native import yaml


def lines(*parts):
    return "".join(part + "\n" for part in parts)


@pytest.mark.parametrize(
    "value, text",
    [
        ({"a": 1, "b": [1, 2], "c": {"d": None}}, lines("a: 1", "b:", "- 1", "- 2", "c:", "  d: null")),
        ([{"a": 1, "b": 2}, 3], lines("- a: 1", "  b: 2", "- 3")),
        ([[1, 2], 3], lines("- - 1", "  - 2", "- 3")),
        ([[[1]]], lines("- - - 1")),
        ([{"a": [1]}], lines("- a:", "  - 1")),
        ([{"a": {"b": 1}}], lines("- a:", "    b: 1")),
        ({"a": {"b": {"c": [1, {"d": [2, 3]}]}}},
         lines("a:", "  b:", "    c:", "    - 1", "    - d:", "      - 2", "      - 3")),
        ([[{"a": 1, "b": [[2]]}]], lines("- - a: 1", "    b:", "    - - 2")),
        ([], "[]\n"), ({}, "{}\n"), ({"a": []}, "a: []\n"), ({"a": {}}, "a: {}\n"), ([[], {}], lines("- []", "- {}")),
        (None, "null\n"), (True, "true\n"), (False, "false\n"), (5, "5\n"), (-7, "-7\n"), ("x", "x\n"),
        ((1, (2,)), lines("- 1", "- - 2")),
        ({"1": 1}, '"1": 1\n'), ({"": 0}, '"": 0\n'),
    ],
)
def test_layout(value, text):
    assert yaml.dumps(value) == text


@pytest.mark.parametrize(
    "value, text",
    [
        (1.0, "1.0"), (0.1, "0.1"), (100.0, "100.0"), (1e16, "1e+16"), (1e15, "1000000000000000.0"), (1e-6, "1e-6"),
        (0.000015, "0.000015"), (0.00001, "0.00001"), (-2.5, "-2.5"), (-0.0, "-0.0"), (0.0, "0.0"), (123.25, "123.25"),
        (1.5e-7, "1.5e-7"), (1.2345678901234568e17, "1.2345678901234568e+17"), (5e-324, "5e-324"),
        (math.nan, ".nan"), (-math.nan, ".nan"), (math.inf, ".inf"), (-math.inf, "-.inf"),
    ],
)
def test_float_text(value, text):
    assert yaml.dumps(value) == text + "\n"
    back = yaml.loads(text)
    assert type(back) is float and (math.isnan(value) and math.isnan(back) or back == value)


# Each quoting condition, in order, with strings it catches.
QUOTED = {
    "empty": [""],
    "white space at an end": [" x", "x ", "\tx", "x\t", "\u00a0x", "x\u3000", "\u2029", "x\u0085", "\u1680"],
    "line feed, quote, number sign, apostrophe, colon": ["a: b", "a:b", "#x", "x#", "it's", 'say "hi"', "a\nb", "http://x"],
    "indicator first": ["-x", "?x", "|x", ">x", "&x", "*x", "!x", "%x", "@x", "`x", "[x", "]x", "{x", "}x", ",x"],
    "special float or tilde": [".inf", ".Inf", ".INF", ".nan", ".NaN", ".NAN", "~"],
    "boolean-like words": ["n", "Y", "no", "ON", "Yes", "oFF", "null", "True", "FALSE", "NULL"],
    "float literal": ["12", "-3", "007", "1e5", "+1.5", ".5", "5.", "1E-3", "inf", "+Inf", "-INFINITY", "NaN", "nan"],
    "number-like": ["1_000", "0x1F", "0o17", "1.2.3", "2024-01-01", "3 apples", "+", "12:30", "+a_b c", "1e5x"],
    # Characters plain text cannot carry back: control characters, the
    # reader's line breaks, byte order marks; and "..." that ends a document.
    "unsafe characters": ["a\rb", "a\0b", "a\x01b", "a\x1bb", "a\x7fb", "a\x85b", "a\u2028b", "a\ufeffb",
                          "a\ufffeb", "a\x9fb", "...", "... x", "...\tx"],
}
PLAIN = ["x", "hello world", "x-y", "v1.2", "e5", ".5x", "café", "a\tb", "a\u00a0b", "a,b", "a[b]", "x?", "x!",
         "x&y", "a -b", "a - b", "...x", "..", ". x", "Infinit", "nul", "yess", "o", "\u212a", "1.5 MB!", "😀",
         "e\u0301", "a\u200bb", "_x", "=", "/path/to", "a\\b", "ünïcödé words"]


@pytest.mark.parametrize("text", [t for group in QUOTED.values() for t in group])
def test_quoted_strings(text):
    out = yaml.dumps(text)
    assert out.startswith('"') and out.endswith('"\n')
    assert yaml.loads(out) == text
    assert yaml.dumps({text: 1}) == out[:-1] + ": 1\n"


@pytest.mark.parametrize("text", PLAIN)
def test_plain_strings(text):
    assert yaml.dumps(text) == text + "\n"
    assert yaml.dumps({text: [text]}) == f"{text}:\n- {text}\n"
    assert yaml.loads(yaml.dumps({text: [text]})) == {text: [text]}


@pytest.mark.parametrize(
    "text, quoted",
    [
        ("line1\nline2", r'"line1\nline2"'), ('a"b', r'"a\"b"'), ("a\\b:", r'"a\\b:"'), ("\t", r'"\t"'),
        ("a\rb", r'"a\rb"'), ("a\0b", r'"a\0b"'), ("a\x01b", r'"a\u0001b"'), ("a\x7fb", r'"a\u007fb"'),
        ("a\x85b", r'"a\u0085b"'), (" \u00a0", r'" \u00a0"'), ("a\u2028b", r'"a\u2028b"'),
        ("#\u200b", r'"#\u200b"'), ("#\ufeff", r'"#\ufeff"'), ("#\ue000", r'"#\ue000"'), ("#\u0378", r'"#\u0378"'),
        ("#e\u0301", r'"#e\u0301"'), ("#\U000e0001", r'"#\U000e0001"'), ("#\U000f0000", r'"#\U000f0000"'),
        ("#\ufe0f", r'"#\ufe0f"'), ("it's", "\"it's\""), ("#é😀ü", '"#é😀ü"'), (" ", '" "'), ("#\u3000", r'"#\u3000"'),
    ],
)
def test_escapes(text, quoted):
    assert yaml.dumps(text) == quoted + "\n"
    assert yaml.loads(quoted) == text


def test_long_strings_and_many_escapes():
    text = ("ab: \x00\"\\é\u0301\n" * 2000) + "x" * 10000
    assert yaml.loads(yaml.dumps([text, {"k": text}])) == [text, {"k": text}]


@pytest.mark.parametrize(
    "key, explicit",
    [("k" * 1024, False), ("k" * 1025, True), ("é" * 1024, False), ("é" * 1025, True), ("1" * 1022, False),
     ("1" * 1023, True), ("\x01" * 170, False), ("\x01" * 171, True)],
)
def test_keys_beyond_1024_characters_are_explicit(key, explicit):
    for value in (1, [1, 2], {"a": 1}, [], {}, "x"):
        for doc in ({key: value, "b": 2}, [{key: value, "b": 2}], {"a": {key: value}}):
            out = yaml.dumps(doc)
            assert ("? " in out) == explicit
            assert yaml.loads(out) == doc


def test_merge_key_text_is_written_plain():
    assert yaml.dumps({"<<": 1}) == "<<: 1\n"


def test_deep_nesting():
    value = "x"
    for _ in range(120):  # 240 collections: within the loader's 255
        value = {"k": [value]}
    out = yaml.dumps(value)
    assert out.splitlines()[-1] == " " * 238 + "- x"
    assert yaml.loads(out) == value
    for _ in range(400):
        value = [value]
    assert yaml.dumps(value).startswith("- " * 400 + "k:\n")


def test_dumps_rejects_what_a_config_tree_cannot_hold():
    with pytest.raises(TypeError, match="^cannot represent bytes in a config tree$"):
        yaml.dumps({"a": b"x"})
    with pytest.raises(TypeError, match="^config keys must be strings$"):
        yaml.dumps({1: 2})


@pytest.mark.parametrize(
    "value, message",
    [
        # Decimal integers beyond 64 bits read back as floats.
        (2**64, "integer 18446744073709551616 is beyond 64 bits, which yaml reads back as a float"),
        ([1, {"a": -(2**70)}], "integer -1180591620717411303424 is beyond 64 bits, which yaml reads back as a float"),
        # The list or mapping of a "<<" key, quoted or not, is merged into
        # the mapping that holds it.
        ({"<<": {"a": 1}}, "key << holds a list or mapping, which yaml reads back as a merge"),
        ([{"x": {"<<": []}}], "key << holds a list or mapping, which yaml reads back as a merge"),
        ({"<<": [{}], "n": 2**64}, "key << holds a list or mapping, which yaml reads back as a merge"),
    ],
)
def test_refusals(value, message):
    with pytest.raises(ValueError) as raised:
        yaml.dumps(value)
    assert str(raised.value) == message


@pytest.mark.parametrize("value", [{"<<": 1}, {"<<": "x"}, {"<<": None}, {"a": {"<<": 2**63 - 1}}])
def test_a_scalar_under_the_merge_key_reads_back(value):
    assert yaml.loads(yaml.dumps(value)) == value


# ------------------------------------------------------------ round trips

keys = st.text(max_size=20).filter(lambda k: k != "<<")  # "<<" is a merge key when read back
scalars = (
    st.none() | st.booleans() | st.integers(-(2**63), 2**63 - 1)
    | st.floats(allow_nan=False) | st.text(max_size=40)
)
values = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=6) | st.dictionaries(keys, children, max_size=6),
    max_leaves=40,
)


def identical(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(identical(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(identical(a[k], b[k]) for k in a)
    return a == b


@settings(max_examples=200, deadline=None)
@given(values)
def test_round_trip(value):
    assert identical(yaml.loads(yaml.dumps(value)), value)


@settings(max_examples=300, deadline=None)
@given(st.text(max_size=30))  # any code point but a lone surrogate, control characters included
def test_round_trip_of_any_string(text):
    assert yaml.loads(yaml.dumps(text)) == text
    assert yaml.loads(yaml.dumps({"k": [text]})) == {"k": [text]}


@settings(max_examples=200, deadline=None)
@given(st.dictionaries(keys, values, max_size=6) | st.lists(values, max_size=6))
def test_a_document_reads_the_same_with_an_alias_in_it(value):
    # A document without aliases, tags, merge keys or repeated keys is copied
    # into the tree node for node; an alias elsewhere in it sends the same
    # nodes through the general conversion instead.
    nested = "".join("  " + line + "\n" for line in yaml.dumps(value).splitlines())
    plain = yaml.loads("c:\n" + nested)
    general = yaml.loads("a: &x 1\nb: *x\nc:\n" + nested)
    assert identical(plain["c"], value)
    assert identical(general, {"a": 1, "b": 1, "c": value})
