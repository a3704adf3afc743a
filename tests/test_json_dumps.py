"""jsonc.dumps and the Python-to-tree conversion behind every dumps."""

import json
import math
import struct

import pytest

from tabrix._native import jsonc


def reference_float(x: float) -> str:
    """The shortest-float text, laid out from Python's own shortest repr digits."""
    if x == 0:
        return "-0.0" if math.copysign(1, x) < 0 else "0.0"
    sign = "-" if x < 0 else ""
    digits_repr = repr(abs(x))
    # repr gives the shortest round-trip digits; extract them and their exponent
    if "e" in digits_repr:
        m, e = digits_repr.split("e")
        digits = m.replace(".", "")
        exponent = int(e)
    else:
        whole, _, frac = digits_repr.partition(".")
        frac = frac.rstrip("0")
        all_digits = (whole + frac).lstrip("0")
        lead_zeros = len(whole + frac) - len((whole + frac).lstrip("0"))
        exponent = len(whole) - 1 - lead_zeros
        digits = all_digits
    digits = digits.rstrip("0") or "0"
    n = len(digits)
    if -5 <= exponent <= 15:
        if exponent < 0:
            body = "0." + "0" * (-exponent - 1) + digits
        elif n - 1 <= exponent:
            body = digits + "0" * (exponent + 1 - n) + ".0"
        else:
            body = digits[: exponent + 1] + "." + digits[exponent + 1:]
    else:
        body = digits[0] + ("." + digits[1:] if n > 1 else "") + "e" + ("-" if exponent < 0 else "+") + str(abs(exponent))
    return sign + body


@pytest.mark.parametrize(
    "value, text",
    [
        (1.0, "1.0"), (1e16, "1e+16"), (1e15, "1000000000000000.0"), (0.0001, "0.0001"), (0.000001, "1e-6"),
        (0.00001, "0.00001"), (0.000015, "0.000015"), (1.5e-6, "1.5e-6"), (9999999999999998.0, "9999999999999998.0"),
        (1.5e16, "1.5e+16"), (123456789012345.6, "123456789012345.6"), (-0.0, "-0.0"), (0.0, "0.0"), (0.1, "0.1"),
        (100.0, "100.0"), (12.34, "12.34"), (-2.5, "-2.5"), (5e-324, "5e-324"),
        (1.7976931348623157e308, "1.7976931348623157e+308"), (1.2345678901234568e17, "1.2345678901234568e+17"),
        (2.2250738585072014e-308, "2.2250738585072014e-308"), (1e100, "1e+100"), (123.25, "123.25"),
    ],
)
def test_float_notation_boundaries(value, text):
    assert jsonc.dumps(value) == text
    assert reference_float(value) == text  # the oracle agrees on the fixed table


@pytest.mark.parametrize(
    "value, text",
    [
        # Too large for a double, these read back as infinities.
        (math.inf, "1e999"), (-math.inf, "-1e999"),
        ([math.inf, {"k": -math.inf}], '[1e999,{"k":-1e999}]'),
    ],
)
def test_infinities_read_back(value, text):
    assert jsonc.dumps(value) == text
    assert jsonc.loads(text) == value


@pytest.mark.parametrize("value", [math.nan, -math.nan, [1, math.nan], {"a": {"b": [math.nan]}}])
def test_nan_is_refused(value):
    with pytest.raises(ValueError) as raised:
        jsonc.dumps(value)
    assert str(raised.value) == "nan has no json form"


def test_random_floats_match_the_shortest_repr_layout():
    import random

    rng = random.Random(1234)
    for _ in range(20000):
        x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if not math.isfinite(x):
            continue
        text = jsonc.dumps(x)
        assert text == reference_float(x)
        assert float(text) == x


def test_decimal_looking_floats_match_the_shortest_repr_layout():
    # Values written with few decimals take a fast path of their own; it must
    # agree with the general algorithm everywhere, its range edges included.
    import random

    rng = random.Random(99)
    values = [1e-5, 9.99999e-6, 1e15 - 1, 1e15 - 0.5, 999999999999999.9, 1125899906842623.5, 0.1 + 0.2, 1 / 3]
    for _ in range(60000):
        digits = rng.randint(0, 17)
        scale = rng.randint(-6, 16)
        values.append(round(rng.random() * 10.0**scale, digits))
        values.append(rng.randint(1, 10**rng.randint(1, 16)) / 10**rng.randint(0, 17))
    for x in values:
        for v in (x, -x):
            assert jsonc.dumps(v) == reference_float(v), v


@pytest.mark.parametrize(
    "value, text",
    [
        ({"a": [1, 2.5, None, True]}, '{"a":[1,2.5,null,true]}'),
        ({}, "{}"), ([], "[]"), ("", '""'), (None, "null"), (False, "false"),
        ((1, 2), "[1,2]"), ([(), [{}]], "[[],[{}]]"),
        (2**64, "18446744073709551616"), (-(2**63) - 1, "-9223372036854775809"),
        (2**63 - 1, "9223372036854775807"), (-(2**63), "-9223372036854775808"),
        ({"b": 1, "a": 2}, '{"b":1,"a":2}'),
        ("tab\t\"q\" é", '"tab\\t\\"q\\" é"'),
        ("\x01\x1f\x7f/", '"\\u0001\\u001f\x7f/"'),
        ("\b\f\n\r\\", '"\\b\\f\\n\\r\\\\"'),
        ("\x00", '"\\u0000"'),
        ("😀\u2028", '"😀\u2028"'),
        ({"k\n": "v"}, '{"k\\n":"v"}'),
    ],
)
def test_values(value, text):
    assert jsonc.dumps(value) == text


class IntSub(int):
    pass


class FloatSub(float):
    def __repr__(self):
        raise AssertionError("not called")


class StrSub(str):
    pass


def test_subclasses_use_stored_values():
    assert jsonc.dumps([IntSub(5), FloatSub(2.5), StrSub("x"), {StrSub("k"): 1}]) == '[5,2.5,"x",{"k":1}]'
    assert jsonc.dumps(True) == "true"  # bool is not an int here
    assert jsonc.dumps(IntSub(2**70)) == str(2**70)


@pytest.mark.parametrize(
    "value, message",
    [
        (b"x", "cannot represent bytes in a config tree"),
        ({1, 2}, "cannot represent set in a config tree"),
        (frozenset(), "cannot represent frozenset in a config tree"),
        (bytearray(), "cannot represent bytearray in a config tree"),
        ({"a": [1, object()]}, "cannot represent object in a config tree"),
        ({1: "a"}, "config keys must be strings"),
        ({"a": {b"k": 1}}, "config keys must be strings"),
        ({"\ud800": 1}, "config keys must be strings"),
    ],
)
def test_type_errors(value, message):
    with pytest.raises(TypeError) as info:
        jsonc.dumps(value)
    assert str(info.value) == message


def test_date_uses_the_bare_type_name():
    import datetime

    with pytest.raises(TypeError, match="^cannot represent date in a config tree$"):
        jsonc.dumps({"when": datetime.date(2024, 1, 1)})


def test_lone_surrogate_value_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        jsonc.dumps({"a": "\udc80"})


def nested(depth, make):
    value = 0
    for _ in range(depth):
        value = make(value)
    return value


@pytest.mark.parametrize("make", [lambda v: [v], lambda v: {"k": v}, lambda v: (v,)])
def test_nesting_limit(make):
    text = jsonc.dumps(nested(1024, make))
    assert text.count("[") + text.count("{") == 1024
    with pytest.raises(RecursionError, match="maximum nesting depth of 1024 exceeded"):
        jsonc.dumps(nested(1025, make))
    with pytest.raises(RecursionError):
        jsonc.dumps(nested(200_000, make))


def test_self_containing_values_raise_recursion_error():
    items = [1]
    items.append(items)
    mapping = {}
    mapping["self"] = mapping
    for value in (items, mapping):
        with pytest.raises(RecursionError):
            jsonc.dumps(value)


class Growing(int):
    """An int beyond 64 bits whose str() changes the containers around it."""

    def __new__(cls, action):
        obj = super().__new__(cls, 2**70)
        obj.action = action
        return obj

    def __str__(self):
        self.action()
        return "1180591620717411303424"


def test_dict_that_changes_size_raises_panic_exception():
    data = {}
    data["a"] = Growing(lambda: data.__setitem__("new", 1))
    data["b"] = 2
    with pytest.raises(BaseException) as info:
        jsonc.dumps(data)
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "dictionary changed size during iteration"


def test_list_that_shrinks_is_read_up_to_its_current_length():
    data = []
    data.extend([Growing(lambda: data.__delitem__(slice(1, None))), 2, 3])
    assert jsonc.dumps(data) == "[1180591620717411303424]"


@pytest.mark.parametrize(
    "change, expected",
    [
        # The item being written takes itself and the rest out of the list.
        (lambda data: data.clear(), "[1180591620717411303424]"),
        # A later plain item is replaced (and the old one freed) meanwhile:
        # the walk reads the new one.
        (lambda data: data.__setitem__(1, "new"), '[1180591620717411303424,"new"]'),
        (lambda data: data.__setitem__(1, 7), "[1180591620717411303424,7]"),
    ],
)
def test_list_changed_while_an_item_is_written(change, expected):
    data = []
    data.extend([Growing(lambda: change(data)), "".join(["old"] * 3)])
    assert jsonc.dumps(data) == expected


@pytest.mark.parametrize(
    "change, expected",
    [
        # A later value is replaced (and the old one freed) while an earlier
        # one is written: the walk reads the new one.
        (lambda data: data.__setitem__("b", "new"), '{"a":1180591620717411303424,"b":"new","c":3}'),
        (lambda data: data.__setitem__("b", [7]), '{"a":1180591620717411303424,"b":[7],"c":3}'),
        (lambda data: data.__setitem__("c", 4.5), '{"a":1180591620717411303424,"b":"oldoldold","c":4.5}'),
    ],
)
@pytest.mark.parametrize(
    "wrap, written",
    [
        (lambda value: value, "{}"),
        # The code runs inside a container value: the walk of the outer dict
        # must still know that code ran and read its next entry again.
        (lambda value: [value], "[{}]"),
        (lambda value: {"x": [1, {"y": value}]}, '{{"x":[1,{{"y":{}}}]}}'),
    ],
)
def test_dict_value_replaced_while_an_earlier_one_is_written(change, expected, wrap, written):
    data = {}
    data["a"] = wrap(Growing(lambda: change(data)))
    data["b"] = "".join(["old"] * 3)
    data["c"] = 3
    big = "1180591620717411303424"
    assert jsonc.dumps(data) == expected.replace(big, written.format(big))


def test_str_of_big_int_failure_passes_through():
    class Broken(int):
        def __str__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError):
        jsonc.dumps([Broken(2**80)])


hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(), children, max_size=5),
    max_leaves=30,
)


@settings(max_examples=300, deadline=None)
@given(json_values)
def test_output_is_json_that_reads_back_equal(value):
    assert json.loads(jsonc.dumps(value)) == value


exact_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.text(),
    lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(), children, max_size=5),
    max_leaves=30,
)


@settings(max_examples=300, deadline=None)
@given(exact_values)
def test_text_equals_the_standard_library_without_floats(value):
    # Without floats the two layouts coincide byte for byte.
    assert jsonc.dumps(value) == json.dumps(value, separators=(",", ":"), ensure_ascii=False)


# Short keys and values are copied a word at a time and fall back to the
# escaping writer when a byte needs an escape: text around those lengths,
# thick with the bytes that need one, in both places.
short_texts = st.text(alphabet=st.sampled_from('ab"\\\x00\x1f\n\x7f é'), max_size=40)


@settings(max_examples=500, deadline=None)
@given(st.lists(st.tuples(short_texts, short_texts), max_size=4))
def test_short_text_equals_the_standard_library(pairs):
    value = [dict(pairs), [v for _, v in pairs]]
    assert jsonc.dumps(value) == json.dumps(value, separators=(",", ":"), ensure_ascii=False)
