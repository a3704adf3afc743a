"""jsonc.loads against the standard library's json, and against jsonc.dumps,
on generated documents."""

import json
import math

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tabrix._native import jsonc

# Strings without lone surrogates (no str holding one has a UTF-8 form) and
# floats without NaN and infinities (JSON has no literal for them).
texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=20)
keys = st.one_of(texts, st.sampled_from(["name", "id", "a", "value", "é", "x-y", "日本"]))
finite = st.floats(allow_nan=False, allow_infinity=False)
scalars = st.none() | st.booleans() | st.integers() | st.integers(-(2**70), 2**70) | finite | texts
values = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=6) | st.dictionaries(keys, children, max_size=6),
    max_leaves=40,
)


def same(a, b):
    """Equal, of the same types all the way down, dict keys in the same order
    and zeros with the same sign."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


styles = st.fixed_dictionaries(
    {
        "ensure_ascii": st.booleans(),
        "indent": st.sampled_from([None, 0, 2, "\t", " " * 17]),
        "separators": st.sampled_from([None, (",", ":"), (" ,  ", " : ")]),
    }
)


@settings(max_examples=200, suppress_health_check=[HealthCheck.too_slow])
@given(values, styles)
def test_documents_of_json_dumps_load_as_json_loads_does(value, style):
    text = json.dumps(value, **style)
    assert same(jsonc.loads(text), json.loads(text))


class Pairs(list):
    """An object written member by member, so that keys may repeat."""


objects_with_repeats = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=5)
    | st.lists(st.tuples(st.sampled_from(["a", "b", "c", "d"]) | keys, children), max_size=8).map(Pairs),
    max_leaves=30,
)


def write_json(value):
    if isinstance(value, Pairs):
        return "{" + ", ".join(json.dumps(k) + ": " + write_json(v) for k, v in value) + "}"
    if isinstance(value, list):
        return "[" + ", ".join(write_json(v) for v in value) + "]"
    return json.dumps(value)


@settings(max_examples=200)
@given(objects_with_repeats)
def test_repeated_keys_resolve_as_json_loads_resolves_them(value):
    text = write_json(value)
    assert same(jsonc.loads(text), json.loads(text))


@settings(max_examples=200)
@given(values)
def test_loads_of_dumps_gives_the_value_back(value):
    assert same(jsonc.loads(jsonc.dumps(value)), value)


@st.composite
def relaxed_documents(draw, value):
    """`value` written with the relaxations chosen at random: comments and odd
    white space between tokens, trailing commas, missing commas, single
    quotes, bare keys, unary plus and hexadecimal integers."""

    def gap():
        return draw(st.sampled_from(["", " ", "\n", "\t", " // note\n", "/* c */", "\r\n  ", " /* a\nb */ ", "\u00a0"]))

    def string(text):
        if draw(st.booleans()):
            return json.dumps(text, ensure_ascii=draw(st.booleans()))
        body = json.dumps(text, ensure_ascii=False)[1:-1].replace('\\"', '"').replace("'", "\\'")
        return "'" + body + "'"

    def write(item):
        if isinstance(item, bool) or item is None:
            return json.dumps(item)
        if isinstance(item, int):
            if draw(st.booleans()):
                return ("-" if item < 0 else draw(st.sampled_from(["", "+"]))) + hex(abs(item))
            return ("+" if item >= 0 and draw(st.booleans()) else "") + str(item)
        if isinstance(item, float):
            return ("+" if math.copysign(1.0, item) > 0 and draw(st.booleans()) else "") + repr(item)
        if isinstance(item, str):
            return string(item)
        if isinstance(item, list):
            parts = [gap() + write(x) + gap() for x in item]
            return "[" + join(parts) + "]"
        parts = []
        for k, v in item.items():
            bare = k.isidentifier() and k.isascii() and not k.startswith(("true", "false", "null"))
            key = k if bare and draw(st.booleans()) else string(k)
            parts.append(gap() + key + gap() + ":" + gap() + write(v) + gap())
        return "{" + join(parts) + "}"

    def join(parts):
        text = ""
        for i, part in enumerate(parts):
            if i:
                text += draw(st.sampled_from([",", " ", "\n"]))  # a comma may be missing
            text += part
        if parts and draw(st.booleans()):
            text += ","
        return text

    return gap() + write(value) + gap()


@settings(max_examples=200, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_relaxed_spellings_load_the_same_value(data):
    value = data.draw(values)
    text = data.draw(relaxed_documents(value))
    assert same(jsonc.loads(text), value), text


PIECES = ["{", "}", "[", "]", ",", ":", '"', "'", "\\", "\\u", "\\uD83D", "\\uDE00", "00e9", "/", "*", "//", "/*", "*/",
          "\n", "\r", " ", "\t", "a", "true", "null", "-", "+", "0", "1", ".", "e", "0x", "f", "é", "😀", "\u00a0",
          "\u2028", "\x00", "\f", "9223372036854775808", "'\\''", '"\\""']


@settings(max_examples=500)
@given(st.lists(st.sampled_from(PIECES), max_size=40).map("".join))
def test_any_text_gives_a_value_or_a_value_error(text):
    try:
        jsonc.loads(text)
    except ValueError as error:
        message = str(error)
        assert message == "jsonc document is empty" or " on line " in message
