"""toml.dumps: the block layout, key and string forms, float text, the
values TOML cannot hold, and round trips through our reader and tomllib."""

from __future__ import annotations

import math
import struct
import tomllib

import pytest

from tabrix._native import toml


@pytest.mark.parametrize(
    "value, text",
    [
        ({}, ""),
        ({"a": 1, "b": {"c": 2}}, "a = 1\n\n[b]\nc = 2\n"),
        ({"b": {"c": 2}, "a": 1}, "a = 1\n\n[b]\nc = 2\n"),
        ({"a": {"b": {"c": 1}}}, "[a.b]\nc = 1\n"),
        ({"a": {}}, "[a]\n"),
        ({"a": [{"x": 1}, {"x": 2}]}, "[[a]]\nx = 1\n\n[[a]]\nx = 2\n"),
        ({"a": []}, "a = []\n"),
        ({"a": [{}, 1]}, "a = [{}, 1]\n"),
        ({"a": [1, {"b": 2}]}, "a = [1, { b = 2 }]\n"),
        ({"a": [[{"x": 1}]]}, "a = [[{ x = 1 }]]\n"),
        ({"a": [{}]}, "[[a]]\n"),
        ({"a": [{"b": {"c": 1}}, {"d": [{"e": 2}]}]}, "[[a]]\n\n[a.b]\nc = 1\n\n[[a]]\n\n[[a.d]]\ne = 2\n"),
        ({"t": {"x": 1, "s": {"y": 2}, "z": 3}}, "[t]\nx = 1\nz = 3\n\n[t.s]\ny = 2\n"),
        ({"t": {"s": {}, "u": {"v": 1}}}, "[t.s]\n\n[t.u]\nv = 1\n"),
        ({"a": [{"b": 1, "c": {"d": 2}}]}, "[[a]]\nb = 1\n\n[a.c]\nd = 2\n"),
        ({"x": {"y": [{"z": {}}]}}, "[[x.y]]\n\n[x.y.z]\n"),
        ({"a": 1, "n": [1, [2, [3]], "s", 1.5, True, {"k": {"m": {}}}]},
         'a = 1\nn = [1, [2, [3]], "s", 1.5, true, { k = { m = {} } }]\n'),
        ({"a": (1, 2)}, "a = [1, 2]\n"),
        ({"i": -9223372036854775808, "j": 9223372036854775807, "b": False},
         "i = -9223372036854775808\nj = 9223372036854775807\nb = false\n"),
    ],
)
def test_layout(value, text):
    assert toml.dumps(value) == text
    assert toml.loads(text) == {k: (list(v) if isinstance(v, tuple) else v) for k, v in value.items()}


@pytest.mark.parametrize(
    "key, text",
    [
        ("abc_XYZ-09", "abc_XYZ-09"),
        ("a b", '"a b"'),
        ("a.b", '"a.b"'),
        ("", '""'),
        ("é", '"é"'),
        ("tab\there", '"tab\\there"'),
        ('say "hi"', "'say \"hi\"'"),
        ("back\\slash", "'back\\slash'"),
        ("it's", '"it\'s"'),
        ("both ' and \"", '"both \' and \\""'),
        ("line\nfeed", '"line\\nfeed"'),
        ("del\x7f", '"del\\u007F"'),
        ("quote\"\x01", '"quote\\"\\u0001"'),
    ],
)
def test_key_forms(key, text):
    assert toml.dumps({key: 1}) == f"{text} = 1\n"
    assert toml.dumps({key: {"x": 1}}) == f"[{text}]\nx = 1\n"
    assert toml.dumps({"o": {key: {"x": 1}}}) == f"[o.{text}]\nx = 1\n"
    assert toml.dumps({"a": [{key: 1}]}) == f"[[a]]\n{text} = 1\n"
    assert toml.loads(toml.dumps({key: {key: 1}})) == {key: {key: 1}}


@pytest.mark.parametrize(
    "string, text",
    [
        # 1: basic
        ("plain", '"plain"'),
        ("it's", '"it\'s"'),
        ("tab\tin", '"tab\\tin"'),
        ("", '""'),
        ("ünï©ødé 😀", '"ünï©ødé 😀"'),
        # 2: literal
        ("C:\\path", "'C:\\path'"),
        ('say "hi"', "'say \"hi\"'"),
        ('a\\"\tb', "'a\\\"\tb'"),
        # 3: multi-line basic
        ("two\nlines", '"""\ntwo\nlines"""'),
        ("it's \"x\"", '"""it\'s "x\""""'),
        ("\"'", '""""\'"""'),
        ("it's \"\"", '"""it\'s """""'),
        ("a\n\tb", '"""\na\n\\tb"""'),
        # 4: multi-line literal
        ("it's \\ \"\"\"", "'''it's \\ \"\"\"'''"),
        ("back\\slash\nit's", "'''\nback\\slash\nit's'''"),
        ("''\\\"", "'''''\\\"'''"),
        ('""""\n', "'''\n\"\"\"\"\n'''"),
        # 5: multi-line basic with escapes
        ("bell\x07\nnext", '"""\nbell\\u0007\nnext"""'),
        ("'''\\\"\"\"\n", '"""\n\'\'\'\\\\""\\"\n"""'),
        ("cr\r\nlf", '"""\ncr\\r\nlf"""'),
        ("'''\"\"\"\"\n", '"""\n\'\'\'""\\""\n"""'),
        # 6: basic with escapes
        ("esc\x1b", '"esc\\u001B"'),
        ("nul\x00 del\x7f", '"nul\\u0000 del\\u007F"'),
        ("\b\f\r", '"\\b\\f\\r"'),
        ("'''\\\"\"\"", '"\'\'\'\\\\\\"\\"\\""'),
    ],
)
def test_string_forms(string, text):
    assert toml.dumps({"s": string}) == f"s = {text}\n"
    assert toml.loads(f"s = {text}") == {"s": string}
    assert tomllib.loads(f"s = {text}") == {"s": string}


@pytest.mark.parametrize(
    "value, text",
    [
        (math.nan, "nan"), (-math.nan, "nan"), (math.inf, "inf"), (-math.inf, "-inf"), (0.0, "0.0"), (-0.0, "-0.0"),
        (3.0, "3.0"), (1.0, "1.0"), (0.1, "0.1"), (-2.5, "-2.5"), (1e20, "1" + "0" * 20 + ".0"),
        (1e-7, "0.0000001"), (1e300, "1" + "0" * 300 + ".0"), (123456.789, "123456.789"),
        (5e-324, "0." + "0" * 323 + "5"), (1.7976931348623157e308, "17976931348623157" + "0" * 292 + ".0"),
        (2.0 ** 70, "1180591620717411300000.0"),
    ],
)
def test_float_text(value, text):
    assert toml.dumps({"f": value}) == f"f = {text}\n"


def test_floats_read_back_exactly():
    import random

    rng = random.Random(99)
    values = []
    while len(values) < 3000:
        x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(x):
            values.append(x)
    text = toml.dumps({"f": values})
    assert "e" not in text and "E" not in text
    assert toml.loads(text)["f"] == values
    assert tomllib.loads(text)["f"] == values


def test_nan_signs_both_write_nan():
    negative = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000001))[0]
    assert toml.dumps({"a": [math.nan, negative]}) == "a = [nan, nan]\n"


class HugeWithText(int):
    """An int too big for 64 bits whose str() is the given text."""

    def __new__(cls, text):
        obj = super().__new__(cls, 2**80)
        obj.text = text
        return obj

    def __str__(self):
        return self.text


@pytest.mark.parametrize(
    "value, message",
    [
        (None, "TOML cannot represent null"),
        ({"a": None}, "TOML cannot represent null"),
        ({"a": [1, {"b": None}]}, "TOML cannot represent null"),
        ([None], "TOML cannot represent null"),
        ([1], "TOML document root must be a table"),
        (5, "TOML document root must be a table"),
        ("text", "TOML document root must be a table"),
        ({"a": 2**63}, "TOML cannot hold the integer 9223372036854775808 (beyond its 64-bit range)"),
        ({"a": [-(2**63) - 1]}, "TOML cannot hold the integer -9223372036854775809 (beyond its 64-bit range)"),
        ({"a": [1, None], "b": 2**64}, "TOML cannot represent null"),
        ({"a": 2**64, "b": None}, "TOML cannot hold the integer 18446744073709551616 (beyond its 64-bit range)"),
        ([2**64], "TOML cannot hold the integer 18446744073709551616 (beyond its 64-bit range)"),
        ({"a": HugeWithText("12x")}, "TOML cannot hold the integer 12x (beyond its 64-bit range)"),
        ({"a": HugeWithText("")}, "TOML cannot hold the integer  (beyond its 64-bit range)"),
        ({"a": HugeWithText("+")}, "TOML cannot hold the integer + (beyond its 64-bit range)"),
    ],
)
def test_values_toml_cannot_hold(value, message):
    with pytest.raises(ValueError) as caught:
        toml.dumps(value)
    assert str(caught.value) == message


@pytest.mark.parametrize("text, written", [("+5", "5"), ("-0", "0"), ("007", "7"), ("-9223372036854775808",
                                                                                  "-9223372036854775808")])
def test_big_integer_text_that_fits_is_written_as_an_integer(text, written):
    assert toml.dumps({"a": HugeWithText(text)}) == f"a = {written}\n"


@pytest.mark.parametrize("value, name", [({"a": b"x"}, "bytes"), ({"a": {1, 2}}, "set"), ({1: 2}, None)])
def test_type_errors_pass_through(value, name):
    with pytest.raises(TypeError) as caught:
        toml.dumps(value)
    expected = f"cannot represent {name} in a config tree" if name else "config keys must be strings"
    assert str(caught.value) == expected


class DistinctKey(str):
    """Keys with equal text that a dict still holds apart."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


def test_repeated_keys_keep_the_first_position_and_the_last_value():
    value = {DistinctKey("a"): 1, "b": 2, DistinctKey("a"): {"c": 3}}
    assert toml.dumps(value) == "b = 2\n\n[a]\nc = 3\n"
    many = {DistinctKey(f"k{i % 20}"): i for i in range(40)}
    assert toml.dumps(many) == "".join(f"k{i} = {i + 20}\n" for i in range(20))
    assert toml.dumps({"t": [{DistinctKey("x"): 1, DistinctKey("x"): 2}, 0]}) == "t = [{ x = 2 }, 0]\n"


def test_deep_values_are_stopped():
    value: dict = {}
    node = value
    for _ in range(3000):
        node["k"] = {}
        node = node["k"]
    with pytest.raises(RecursionError):
        toml.dumps(value)


def test_examples_round_trip():
    import pathlib

    root = pathlib.Path(__file__).resolve().parent.parent
    loaded = toml.loads((root / "examples" / "config.toml").read_text())
    assert toml.loads(toml.dumps(loaded)) == loaded


# ---------------------------------------------------------------- round trips

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

_text = st.text(st.characters(blacklist_categories=["Cs"]), max_size=12) | st.sampled_from(
    ["", "a.b", "it's", '"', "'''", '"""', "\\", "\n", "\r\n", "\t", "\x7f", "x\x1by", "é", "[a]", "#", "=", " "])
_scalar = (st.integers(min_value=-(2**63), max_value=2**63 - 1) | st.floats(allow_nan=False) | st.booleans()
           | _text)
_value = st.recursive(
    _scalar,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(_text, inner, max_size=4),
    max_leaves=24,
)
_document = st.dictionaries(_text, _value, max_size=6)


@settings(max_examples=400, deadline=None)
@given(_document)
def test_round_trip(document):
    text = toml.dumps(document)
    assert toml.loads(text) == document
    assert tomllib.loads(text) == document


@settings(max_examples=300, deadline=None)
@given(_document)
def test_loads_agrees_with_tomllib_on_another_writers_text(document):
    tomli_w = pytest.importorskip("tomli_w")
    text = tomli_w.dumps(document)
    assert toml.loads(text) == tomllib.loads(text)
