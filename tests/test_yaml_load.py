"""yaml.loads: scalar resolution, documents, anchors, merge keys, repeated
keys, the node budget, nesting limits and error messages."""

import math
import re
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tabrix._native import yaml

BUDGET = "node budget exceeded (alias expansion?)"
INF = math.inf


def same(a, b):
    """Equal values of the same types all the way down (1 is not 1.0 or
    True), NaN equal to NaN, the sign of zero compared."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


# ------------------------------------------------------------ scalar resolution

PLAIN = [
    ("~", None), ("null", None), ("Null", None), ("NULL", None),
    ("nULL", "nULL"), ("none", "none"), ("None", "None"),
    ("true", True), ("True", True), ("TRUE", True), ("false", False), ("False", False), ("FALSE", False),
    ("yes", "yes"), ("no", "no"), ("on", "on"), ("off", "off"), ("y", "y"), ("n", "n"), ("tRUE", "tRUE"),
    ("0x1F", 31), ("0x1f", 31), ("0o17", 15), ("+12", 12), ("-12", -12), ("007", 7), ("0", 0), ("-0", 0),
    ("0b101", "0b101"), ("1_000", "1_000"), ("0X1F", "0X1F"), ("0O17", "0O17"), ("0x", "0x"), ("0o", "0o"),
    ("0o8", "0o8"), ("+-1", "+-1"), ("0x-1", "0x-1"), ("0o+7", "0o+7"), ("+", "+"), ("--1", "--1"),
    ("9223372036854775807", 9223372036854775807), ("-9223372036854775808", -9223372036854775808),
    ("+9223372036854775807", 9223372036854775807),
    ("9223372036854775808", 9223372036854775808.0), ("-9223372036854775809", -9223372036854775809.0),
    ("99999999999999999999", 1e20), ("0x7FFFFFFFFFFFFFFF", 9223372036854775807),
    ("0x8000000000000000", "0x8000000000000000"), ("0o777777777777777777777", 9223372036854775807),
    ("0o1000000000000000000000", "0o1000000000000000000000"),
    ("1.5", 1.5), ("1.", 1.0), (".5", 0.5), ("+.5", 0.5), ("-1e3", -1000.0), ("1E+2", 100.0), ("1e-2", 0.01),
    ("0.1", 0.1), ("-0.0", -0.0), ("1e400", INF), ("-1e400", -INF), ("1e-400", 0.0), ("-1e-400", -0.0),
    ("2.2250738585072011e-308", 2.225073858507201e-308),  # a hard case of correct rounding
    ("9007199254740993", 9007199254740993), ("9007199254740993.0", 9007199254740992.0),
    (".inf", INF), (".Inf", INF), (".INF", INF), ("+.inf", INF), ("+.Inf", INF), ("+.INF", INF),
    ("-.inf", -INF), ("-.Inf", -INF), ("-.INF", -INF), (".nan", math.nan), (".NaN", math.nan), (".NAN", math.nan),
    ("+.nan", "+.nan"), ("-.nan", "-.nan"), (".iNf", ".iNf"), (".NAn", ".NAn"),
    ("inf", "inf"), ("nan", "nan"), ("NaN", "NaN"), ("Infinity", "Infinity"), (".", "."), ("1e", "1e"),
    ("e5", "e5"), ("1.2.3", "1.2.3"), ("1e5.5", "1e5.5"), ("1 2", "1 2"), ("12abc", "12abc"), ("._", "._"),
    ("x", "x"), ("café", "café"),
]


@pytest.mark.parametrize("text, expected", PLAIN)
def test_plain_scalar_resolution(text, expected):
    assert same(yaml.loads(text), expected)
    assert same(yaml.loads(f"k: {text}")["k"], expected)


DECIMALS = st.builds(
    lambda sign, whole, point, fraction, exponent: sign + whole + (point + fraction if point else "") + exponent,
    st.sampled_from(["", "+", "-"]),
    st.text("0123456789", min_size=1, max_size=22) | st.sampled_from(["9223372036854775807", "9223372036854775808",
                                                                      "999999999999999999", "1000000000000000000"]),
    st.sampled_from(["", "."]),
    st.text("0123456789", max_size=20),
    st.sampled_from(["", "", "", "e5", "E-3", "e+300", "e-330"]),
)


# Literals of 14 to 20 significant digits, where a double no longer holds
# every digit string exactly and a shortcut in the reading would round twice.
LONG_FRACTIONS = st.builds(
    lambda digits, point: digits[:point] + "." + digits[point:],
    st.text("123456789", min_size=14, max_size=20), st.integers(1, 13),
)


@settings(max_examples=400)
@given(DECIMALS | LONG_FRACTIONS)
def test_decimal_numbers_read_exactly(text):
    """A decimal integer in the signed 64-bit range is an int; every other
    decimal literal is the float nearest to it, as Python's float() gives."""
    if "." in text or "e" in text.lower():
        expected = float(text)
    else:
        expected = int(text)
        if not -2**63 <= expected < 2**63:
            expected = float(text)
    assert same(yaml.loads(f"k: {text}")["k"], expected)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("'12'", "12"), ('"12"', "12"), ("'true'", "true"), ('"~"', "~"), ("'null'", "null"), ('""', ""),
        ("|\n  12\n", "12\n"), (">\n  true\n", "true\n"), ("|-\n  0x10\n", "0x10"),
        ("!!str 12", "12"), ("!!str true", "true"), ("!!int 12", 12), ("!!int +12", 12), ("!!int -0012", -12),
        ("!!float 1", 1.0), ("!!float 1e3", 1000.0), ("!!float .inf", INF), ("!!float -.INF", -INF),
        ("!!bool true", True), ("!!bool false", False), ("!!null ~", None), ("!!null null", None),
        ("!!int '12'", "12"), ("!!float \"1\"", "1"), ("!!bool 'x'", "x"),
        ("!<tag:yaml.org,2002:int> 7", 7),
        ("!custom 12", 12), ("!custom '12'", "12"), ("!custom true", True), ("! 12", 12), ("!custom ~", None),
        # An empty node reads as the text "~", tagged or not.
        ("!!str", "~"), ("!!null", None), ("!custom", None), ("a: !!str\nb: !!null", {"a": "~", "b": None}),
    ],
)
def test_quoted_block_and_tagged_scalars(text, expected):
    assert same(yaml.loads(text), expected)


@pytest.mark.parametrize(
    "text",
    ["!!int x", "!!int 0x10", "!!int 1.5", "!!int abc", "!!int 9223372036854775808", "!!float nan",
     "!!float x", "!!bool True", "!!bool yes", "!!null NULL", "!!null Null", "!!binary aGk=",
     "!!timestamp 2001-12-14", "!!map x", "!!seq x"],
)
def test_core_tag_that_does_not_fit_is_a_bad_value(text):
    with pytest.raises(ValueError, match=r"^unsupported YAML node: BadValue$"):
        yaml.loads(text)
    with pytest.raises(ValueError, match=r"^non-scalar YAML mapping key: BadValue$"):
        yaml.loads(f"{text}: 1")


def test_scalar_text_may_hold_nul_and_any_character():
    assert yaml.loads('"a\\0b"') == "a\0b"
    assert yaml.loads('k: "\\x01\\u00e9\\U0001F600"') == {"k": "\x01é😀"}
    assert yaml.loads("k: '\\0'") == {"k": "\\0"}


# ------------------------------------------------------------ documents

@pytest.mark.parametrize(
    "text, expected",
    [
        ("a: 1", {"a": 1}), ("- 1\n- x", [1, "x"]), ("42", 42), ("~", None), ("null", None), ("---", None),
        ("--- 5\n...", 5), ("%YAML 1.2\n---\na: 1", {"a": 1}), ("a:", {"a": None}), ("- \n-", [None, None]),
        ("a: &x", {"a": None}), ("[]", []), ("{}", {}), ("a: []\nb: {}", {"a": [], "b": {}}),
        ("# c\na: 1 # c\n", {"a": 1}), ("a:\n  b:\n    c: [1, {d: e}]", {"a": {"b": {"c": [1, {"d": "e"}]}}}),
        ("\ufeff\ufeffa: 1", {"a": 1}), ("a: \ufeff", {"a": "\ufeff"}),
        ("? a\n: 1", {"a": 1}), ("{a: 1, b}", {"a": 1, "b": None}),
    ],
)
def test_documents(text, expected):
    assert same(yaml.loads(text), expected)


@pytest.mark.parametrize(
    "text, count", [("", 0), ("# only a comment", 0), ("\ufeff", 0), ("a: 1\n---\nb: 2", 2), ("---\n---", 2),
                    ("1\n...\n---\n2\n---\n3", 3)],
)
def test_exactly_one_document(text, count):
    with pytest.raises(ValueError, match=rf"^expected exactly one YAML document, found {count}$"):
        yaml.loads(text)


def test_a_syntax_error_anywhere_wins_over_the_document_count():
    with pytest.raises(ValueError, match=r"^did not find expected node content at byte \d+ line \d+ column \d+$"):
        yaml.loads("a: 1\n---\n[")


# ------------------------------------------------------------ keys

@pytest.mark.parametrize(
    "text, expected",
    [
        ("1.0: a", {"1": "a"}), ("~: a", {"null": "a"}), ("null: a", {"null": "a"}), ("true: a", {"true": "a"}),
        ("False: a", {"false": "a"}), ("-5: a", {"-5": "a"}), ("0x10: a", {"16": "a"}), ("2.5: a", {"2.5": "a"}),
        ("1e20: a", {"100000000000000000000": "a"}), ("2.5e-7: a", {"0.00000025": "a"}), ("-0.0: a", {"-0": "a"}),
        (".nan: a", {"NaN": "a"}), (".inf: a", {"inf": "a"}), ("-.inf: a", {"-inf": "a"}), ("'': a", {"": "a"}),
        ("1.5e300: a", {"15" + "0" * 299: "a"}),
    ],
)
def test_key_texts(text, expected):
    assert yaml.loads(text) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        # The repeated key's entry moves to the end with the new value.
        ("a: 1\nb: 2\na: 3", [("b", 2), ("a", 3)]),
        ("a: 1\nb: 2\na: 3\nb: 4\na: 5", [("b", 4), ("a", 5)]),
        # Different YAML keys with one text: the first position, the last value.
        ("1: x\n'1': y", [("1", "y")]),
        ("1: x\nz: 0\n1.0: y", [("1", "y"), ("z", 0)]),
        # Equal YAML keys: 1 and 0x1, 0.0 and -0.0 (the first key node stays), NaNs, nulls.
        ("1: x\nz: 0\n0x1: y", [("z", 0), ("1", "y")]),
        ("0.0: a\nz: 0\n-0.0: b", [("z", 0), ("0", "b")]),
        ("-0.0: a\n0.0: b", [("-0", "b")]),
        (".nan: a\nz: 0\n.NaN: b", [("z", 0), ("NaN", "b")]),
        ("~: a\nz: 0\nnull: b", [("z", 0), ("null", "b")]),
        ("true: a\nz: 0\nTrue: b", [("z", 0), ("true", "b")]),
        ("'a': 1\nz: 0\n\"a\": 2", [("z", 0), ("a", 2)]),
        # An alias key is its node.
        ("&k a: 1\nz: 0\n*k : 2", [("z", 0), ("a", 2)]),
        ("x: &k key\n*k : 1", [("x", "key"), ("key", 1)]),
        # A replaced value is gone, bad or not.
        ("a: !!int x\na: 1", [("a", 1)]),
        ("a: [1, !!int x]\nb: 0\na: 2", [("b", 0), ("a", 2)]),
    ],
)
def test_repeated_keys(text, expected):
    assert list(yaml.loads(text).items()) == expected


def test_repeated_keys_in_a_large_mapping():
    keys = [f"k{i}" for i in range(300)]
    text = "".join(f"{k}: {i}\n" for i, k in enumerate(keys)) + "k5: again\nk299: last\nk0: first\n"
    result = yaml.loads(text)
    assert list(result) == keys[1:5] + keys[6:299] + ["k5", "k299", "k0"]
    assert (result["k5"], result["k299"], result["k0"]) == ("again", "last", "first")
    # Integer keys equal across spellings, in the hashed table too.
    text = "".join(f"{i}: {i}\n" for i in range(300)) + "0x10: sixteen\n"
    result = yaml.loads(text)
    assert list(result)[-1] == "16" and result["16"] == "sixteen" and len(result) == 300


def test_repeated_collection_keys_follow_the_same_rule():
    # The [1] entry moves behind b, so b's bad value is met first.
    with pytest.raises(ValueError, match=r"^unsupported YAML node: BadValue$"):
        yaml.loads("? [1]\n: a\nb: !!int x\n? [1]\n: c")
    with pytest.raises(ValueError, match=r"^non-scalar YAML mapping key: Sequence"):
        yaml.loads("? [1]\n: a\nb: !!int x")
    # Equal through aliases and across spellings; mappings compare in order,
    # and an integer never equals a float.
    with pytest.raises(ValueError, match=r"^unsupported YAML node: BadValue$"):
        yaml.loads("? &k {a: [1, 2]}\n: a\nb: !!int x\n? *k\n: c\n")
    with pytest.raises(ValueError, match=r"^unsupported YAML node: BadValue$"):
        yaml.loads("? &k {a: [1, 2]}\n: a\nb: !!int x\n? {a: [0x1, +2]}\n: c\n")
    with pytest.raises(ValueError, match=r"^non-scalar YAML mapping key: Mapping"):
        yaml.loads("? {a: [1, 2]}\n: a\nb: !!int x\n? {a: [1, 2.0]}\n: c\n")
    with pytest.raises(ValueError, match=r"^non-scalar YAML mapping key: Mapping"):
        yaml.loads("? {a: 1, b: 2}\n: a\nb: !!int x\n? {b: 2, a: 1}\n: c\n")


def test_many_distinct_collection_keys_are_checked_quickly():
    text = "".join(f"? [[{i}]]\n: x\n" for i in range(20000))
    start = time.perf_counter()
    with pytest.raises(ValueError, match=r"^non-scalar YAML mapping key: Sequence\(\[Sequence\(\[Value\(Integer\(0\)\)"):
        yaml.loads(text)
    assert time.perf_counter() - start < 2


@pytest.mark.parametrize(
    "text, rendering",
    [
        ("[1, 2]: x", "Sequence([Value(Integer(1)), Value(Integer(2))])"),
        ("? {a: 1}\n: x", 'Mapping({Value(String("a")): Value(Integer(1))})'),
        ("!custom k: v", 'Tagged("!custom", Value(String("k")))'),
        ("!!int x: 1", "BadValue"),
        ("? [~, true, 1.5, -2, 'q\"\\']\n: x",
         'Sequence([Value(Null), Value(Boolean(true)), Value(FloatingPoint(1.5)), Value(Integer(-2)), '
         'Value(String("q\\"\\\\"))])'),
        ("? []\n: x", "Sequence([])"),
        ("? [!!int x, !t [1]]\n: x", 'Sequence([BadValue, Tagged("!t", Sequence([Value(Integer(1))]))])'),
        ("a: &a [1]\n? *a\n: x", "Sequence([Value(Integer(1))])"),
    ],
)
def test_non_scalar_keys(text, rendering):
    with pytest.raises(ValueError) as info:
        yaml.loads(text)
    assert str(info.value) == "non-scalar YAML mapping key: " + rendering


def test_a_huge_key_rendering_is_cut_short():
    with pytest.raises(ValueError) as info:
        yaml.loads("? [" + ", ".join(["abcdefgh"] * 10000) + "]\n: x")
    message = str(info.value)
    assert message.startswith("non-scalar YAML mapping key: Sequence([") and message.endswith("...")
    assert len(message) < 2000


# ------------------------------------------------------------ anchors, aliases, merge keys

def test_aliases_are_independent_copies():
    result = yaml.loads("a: &x [1, {b: 2}]\nb: *x")
    assert result == {"a": [1, {"b": 2}], "b": [1, {"b": 2}]}
    assert result["a"] is not result["b"] and result["a"][1] is not result["b"][1]


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a: &x 1\nb: &x 2\nc: *x", {"a": 1, "b": 2, "c": 2}),  # a redefinition wins from there on
        ("a: &x 1\nb: *x\nc: &x 2\nd: *x", {"a": 1, "b": 1, "c": 2, "d": 2}),
        ("- &a !custom 5\n- *a", [5, 5]),
        ("- &s !!str 5\n- *s", ["5", "5"]),
        # An anchored key node stays intact when its entry is replaced.
        ("&k a: 1\na: 2\nb: *k", {"a": 2, "b": "a"}),
        ("- {&k 0.0: 1, -0.0: 2}\n- *k", [{"0": 2}, 0.0]),
        ("- {0.0: 1, &k -0.0: 2}\n- *k", [{"0": 2}, -0.0]),
    ],
)
def test_anchors(text, expected):
    assert same(yaml.loads(text), expected)


@pytest.mark.parametrize("text", ["a: &x [*x]", "a: &x {b: *x}", "&x [1, *x]"])
def test_alias_to_a_node_still_open_is_a_bad_value(text):
    with pytest.raises(ValueError, match=r"^unsupported YAML node: BadValue$"):
        yaml.loads(text)


@pytest.mark.parametrize(
    "text, position",
    [("a: *nope", "at byte 3 line 1 column 4"), ("- 1\n- *x", "at byte 6 line 2 column 3"),
     ("- *x\n- &x 1", "at byte 2 line 1 column 3"), ("é: *x", "at byte 3 line 1 column 4")],
)
def test_undefined_alias(text, position):
    with pytest.raises(ValueError) as info:
        yaml.loads(text)
    assert str(info.value) == f"unknown anchor {position}"


@pytest.mark.parametrize(
    "text, expected",
    [
        ("base: &b {x: 1, y: 2}\nderived:\n  <<: *b\n  y: 3", {"base": {"x": 1, "y": 2}, "derived": {"y": 3, "x": 1}}),
        ("<<: [{a: 1}, {a: 2, b: 2}]", {"a": 1, "b": 2}),
        ("<<: 5", {"<<": 5}),
        ("<<: ~", {"<<": None}),
        ("<<: {a: 1}\na: 2", {"a": 2}),  # explicit keys win wherever "<<" stands
        ("a: 0\n<<: [{a: 1, b: 1}, {b: 2, c: 2}]", {"a": 0, "b": 1, "c": 2}),
        ("'<<': {a: 1}", {"a": 1}),
        ("<<: [{a: 1}, [{b: 2}, [{c: 3}]], 7, x]", {"a": 1, "b": 2, "c": 3}),
        ("<<: []\na: 1", {"a": 1}),
        ("<<: !custom {a: 1}", {"a": 1}),
        ("b: &b {<<: {x: 1}, y: 2}\nc: {<<: *b, z: 3}", {"b": {"y": 2, "x": 1}, "c": {"z": 3, "y": 2, "x": 1}}),
        # A source with two entries of one text keeps the first.
        ("<<: {1: a, '1': b}", {"1": "a"}),
        ("1: x\n<<: {'1': y}", {"1": "x"}),
        ("<<: {a: 1}\n<<: {a: 2}", {"a": 2}),  # two "<<" keys are one key: the later replaces the earlier
    ],
)
def test_merge_keys(text, expected):
    assert yaml.loads(text) == expected
    assert list(yaml.loads(text)) == list(expected)


def test_merge_keys_compare_whole_key_texts():
    text = "".join(f"{i}: x\n" for i in range(40)) + "<<: {5: m, 41: n, 2.5: o, '1.0': q}\n2.5: p\n1.0: r"
    expected = {str(i): "x" for i in range(40)} | {"2.5": "p", "41": "n", "1.0": "q"}
    expected["1"] = "r"  # 1.0 is a key of its own with the text of 1
    result = yaml.loads(text)
    assert result == expected and list(result)[-3:] == ["2.5", "41", "1.0"]
    assert yaml.loads('<<: {"a\\0b": 1, a: 2, "a\\0c": 4}\n"a\\0b": 3') == {"a\0b": 3, "a": 2, "a\0c": 4}


def test_merge_source_errors_surface():
    with pytest.raises(ValueError, match=r"^unsupported YAML node: BadValue$"):
        yaml.loads("<<: {a: !!int x}")


# ------------------------------------------------------------ node budget

def alias_bomb(levels=9, width=10):
    lines = ["l0: &l0 [" + ", ".join(["x"] * width) + "]"]
    for i in range(1, levels + 1):
        lines.append(f"l{i}: &l{i} [" + ", ".join([f"*l{i - 1}"] * width) + "]")
    return "\n".join(lines)


def test_alias_bomb_fails_fast_in_the_counting_pass():
    start = time.perf_counter()
    with pytest.raises(ValueError, match=re.escape(BUDGET)):
        yaml.loads(alias_bomb())
    assert time.perf_counter() - start < 0.5


def test_counting_pass_checks_before_a_later_syntax_error():
    with pytest.raises(ValueError, match=re.escape(BUDGET)):
        yaml.loads(alias_bomb() + "\n[")


@pytest.mark.parametrize("items, ok", [(4_999_999, True), (5_000_000, False)])
def test_conversion_budget_boundary(items, ok):
    text = "- 0\n" * items  # no "&": only the conversion counts
    if ok:
        assert len(yaml.loads(text)) == items
    else:
        with pytest.raises(ValueError, match=re.escape(BUDGET)):
            yaml.loads(text)


@pytest.mark.parametrize("extra, ok", [(999, True), (1000, False)])
def test_counting_pass_boundary(extra, ok):
    # 1 (root) + 1000 (the anchored list) + 4998 aliases of 1000 + extra.
    text = "- &a [" + ",".join(["0"] * 999) + "]\n" + "- *a\n" * 4998 + "- 1\n" * extra
    if ok:
        result = yaml.loads(text)
        assert len(result) == 1 + 4998 + extra and len(result[-1 - extra]) == 999
    else:
        with pytest.raises(ValueError, match=re.escape(BUDGET)):
            yaml.loads(text)


def test_tagged_nodes_count_twice_in_the_conversion():
    with pytest.raises(ValueError, match=re.escape(BUDGET)):
        yaml.loads("- !t 0\n" * 2_500_000)


def test_alias_expansion_deeper_than_the_tree_limit_is_a_recursion_error():
    # Each level nests the previous anchor 200 lists deeper.
    lines = ["l0: &l0 " + "[" * 200 + "]" * 200]
    for i in range(1, 7):
        lines.append(f"l{i}: &l{i} " + "[" * 200 + f"*l{i - 1}" + "]" * 200)
    with pytest.raises(RecursionError):
        yaml.loads("\n".join(lines))
    result = yaml.loads("\n".join(lines[:5]))  # 1 + 200 * 5 levels: fine
    depth, value = 0, result["l4"]
    while isinstance(value, list) and value:
        value, depth = value[0], depth + 1
    assert depth == 999


# ------------------------------------------------------------ nesting limit and errors

@pytest.mark.parametrize("opener, closer", [("[", "]"), ("{a: ", "}")])
def test_flow_nesting_limit(opener, closer):
    assert yaml.loads(opener * 255 + closer * 255) is not None
    at = 255 * len(opener)
    with pytest.raises(ValueError, match=rf"^recursion limit exceeded at byte {at} line 1 column {at + 1}$"):
        yaml.loads(opener * 256 + closer * 256)


def test_block_nesting_limit():
    deep = yaml.loads("- " * 255 + "x")
    for _ in range(255):
        deep = deep[0]
    assert deep == "x"
    with pytest.raises(ValueError, match=r"^recursion limit exceeded at byte 510 line 1 column 511$"):
        yaml.loads("- " * 256 + "x")
    text = "".join(" " * i + f"k{i}:\n" for i in range(300))
    with pytest.raises(ValueError, match=r"^recursion limit exceeded at byte \d+ line 256 column 256$"):
        yaml.loads(text)


def test_hundred_thousand_brackets_fail_fast():
    start = time.perf_counter()
    with pytest.raises(ValueError, match=r"^recursion limit exceeded at byte 255 line 1 column 256$"):
        yaml.loads("[" * 100_000)
    assert time.perf_counter() - start < 1


@pytest.mark.parametrize(
    "text, message",
    [
        ("a: [1, 2", "did not find expected ',' or ']' at byte 8 line 1 column 9"),
        ("a: 'x", "found unexpected end of stream while scanning a quoted scalar at byte 5 line 1 column 6"),
        ("a: b: c", "mapping values are not allowed in this context at byte 4 line 1 column 5"),
        ("é: [1, ", "did not find expected node content at byte 7 line 1 column 8"),
        ("\ufeff\ufeffa: [1, ", "did not find expected node content at byte 7 line 1 column 8"),
        ("é: [1, }", "found unexpected '}' at byte 7 line 1 column 8"),
        # Characters the reader refuses: positioned in characters, not bytes.
        ("a: \x00", "control characters are not allowed at byte 3 line 1 column 4"),
        ("é:\n  - \x01", "control characters are not allowed at byte 7 line 2 column 5"),
        ("a: 'x\r\ny'\nb: \x7f", "control characters are not allowed at byte 13 line 3 column 4"),
        ("k: \ufffe", "control characters are not allowed at byte 3 line 1 column 4"),
        ("k: \x80", "control characters are not allowed at byte 3 line 1 column 4"),
        # U+2028 is no line break in YAML 1.2.
        ("k: '\u2028\x1b'", "control characters are not allowed at byte 5 line 1 column 6"),
    ],
)
def test_parse_errors(text, message):
    with pytest.raises(ValueError) as info:
        yaml.loads(text)
    assert str(info.value) == message


def test_lone_surrogate_is_an_encoding_error_with_a_note():
    with pytest.raises(UnicodeEncodeError) as info:
        yaml.loads("a: \ud800")
    assert "while processing 'data'" in info.value.__notes__


def test_loads_takes_str_only():
    with pytest.raises(TypeError, match="'bytes' object is not an instance of 'str'"):
        yaml.loads(b"a: 1")
    assert yaml.loads(data="a: 1") == {"a": 1}


def test_threads_load_at_once():
    from concurrent.futures import ThreadPoolExecutor

    texts = [f"n: {i}\nitems: [" + ", ".join(str(j) for j in range(i * 100)) + "]\nref: &r {a: 1}\nm: {<<: *r}"
             for i in range(16)]
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(yaml.loads, texts * 4))
    for i, result in enumerate(results):
        n = i % 16
        assert result == {"n": n, "items": list(range(n * 100)), "ref": {"a": 1}, "m": {"a": 1}}


def test_example_config_loads(pytestconfig):
    text = (pytestconfig.rootpath / "examples" / "config.yaml").read_text()
    result = yaml.loads(text)
    api, worker = result["services"]
    assert api["replicas"] == 2 and api["timeout"] == 2.5 and api["ports"] == [8080, 8443]
    assert worker["replicas"] == 4 and worker["log_level"] == "${LOG_LEVEL:-info}"
    assert list(worker)[:3] == ["name", "replicas", "queues"]
    assert result["limits"] == {"max_upload": 1e7, "ratio": 0.75, "tags": ["web", "batch"]}
