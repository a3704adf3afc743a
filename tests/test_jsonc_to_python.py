"""The tree-to-Python conversion behind every loads, seen through
jsonc.loads: big integers, repeated keys, floats, shared key objects."""

import math
import sys

import pytest

from tabrix._native import jsonc


@pytest.mark.parametrize(
    "value",
    [2**63, 2**64, -(2**63) - 1, -(2**64), 10**30, -(10**30), 2**200 + 1, -(3**150)],
)
def test_big_integers_both_ways(value):
    text = jsonc.dumps(value)
    assert text == str(value)
    assert jsonc.loads(text) == value
    assert jsonc.loads(jsonc.dumps({"n": [value, -value]})) == {"n": [value, -value]}


def test_the_64_bit_edges_stay_exact_in_containers():
    values = [2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 0, -1, 1]
    assert jsonc.loads(jsonc.dumps(values)) == values


@pytest.mark.parametrize(
    "text, keys, value_of_a",
    [
        ('{"a": 1, "b": 2, "a": 3}', ["a", "b"], 3),
        ('{"a": [1, 2, {"deep": 1}], "a": null}', ["a"], None),
        ('{"b": 0, "a": {}, "c": 0, "a": {"x": [1]}}', ["b", "a", "c"], {"x": [1]}),
        ('{"a": 1, "a": 2, "a": 3, "a": 4}', ["a"], 4),
    ],
)
def test_repeated_keys(text, keys, value_of_a):
    result = jsonc.loads(text)
    assert list(result) == keys
    assert result["a"] == value_of_a


@pytest.mark.parametrize(
    "value",
    [0.1, 1.5, -2.75, 1e300, -1e-300, 5e-324, 1.7976931348623157e308, 2.0**-1074, 123456.789e10, 1e16, 1e15],
)
def test_floats_come_back_with_the_same_bits(value):
    result = jsonc.loads(jsonc.dumps(value))
    assert type(result) is float
    assert result.hex() == value.hex()


def test_negative_zero():
    zero = jsonc.loads(jsonc.dumps(-0.0))
    assert zero == 0.0 and math.copysign(1.0, zero) == -1.0
    assert math.copysign(1.0, jsonc.loads("[0.0]")[0]) == 1.0
    assert jsonc.loads("-0") == 0 and type(jsonc.loads("-0")) is int


def test_infinities_are_written_to_read_back():
    assert jsonc.loads(jsonc.dumps([math.inf, -math.inf])) == [math.inf, -math.inf]


@pytest.mark.parametrize("text, value", [("[]", []), ("{}", {}), ("[[], {}]", [[], {}]), ("7", 7), ('"s"', "s"),
                                         ("null", None), ("2.5", 2.5)])
def test_empty_containers_and_root_scalars(text, value):
    result = jsonc.loads(text)
    assert result == value and type(result) is type(value)


def test_records_share_their_key_objects():
    # 600 distinct keys, each in two records: the second record's keys are the
    # first record's objects.
    names = [f"field_{i}" for i in range(600)]
    record = "{" + ", ".join(f'"{n}": {i}' for i, n in enumerate(names)) + "}"
    first, second = jsonc.loads(f"[{record}, {record}]")
    assert first == second
    assert all(a is b for a, b in zip(first, second))


@pytest.mark.parametrize("pattern", [
    "com.example.svc{:04d}.timeout",     # 29 bytes, the same first and last 8
    "settings_{:04d}_value_x",           # 23 bytes
    "aaaaaaaa{:04d}bbbbbbbbbbbbbbbbbbbb",  # 32 bytes, the longest a cache holds
])
def test_keys_that_differ_only_in_the_middle_share_their_objects(pattern):
    # Keys alike but for their middle bytes must not crowd into one run of
    # the cache's slots, where all but the first few would go uncached.
    names = [pattern.format(i) for i in range(200)]
    record = "{" + ", ".join(f'"{n}": {i}' for i, n in enumerate(names)) + "}"
    first, second = jsonc.loads(f"[{record}, {record}]")
    assert first == second
    assert all(a is b for a, b in zip(first, second))


def test_long_keys_are_made_each_time_but_equal():
    key = "k" * 100
    first, second = jsonc.loads(f'[{{"{key}": 1}}, {{"{key}": 2}}]')
    assert list(first) == list(second) == [key]


@pytest.mark.thread_unsafe(reason="changes the interpreter-wide limit of int() digits")
def test_a_failing_conversion_leaves_the_module_usable():
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        bad = '{"ok": [1, 2, "x"], "bad": 0x' + "1" * 5000 + ', "after": {"k": [3]}}'
        for _ in range(3):
            with pytest.raises(ValueError, match="invalid literal for int"):
                jsonc.loads(bad)
        assert jsonc.loads('{"ok": [1, 2, "x"]}') == {"ok": [1, 2, "x"]}
    finally:
        sys.set_int_max_str_digits(limit)


@pytest.mark.thread_unsafe(reason="counts references to None, True, False and 1, which every thread uses")
def test_refcounts_of_shared_values_are_balanced():
    # Keys taken from the cache and small ints and singletons from the
    # interpreter: the counts must come back to where they were.
    text = '[{"a": null, "b": true, "c": 1}, {"a": false, "b": null, "c": 1}]'
    before = (sys.getrefcount(None), sys.getrefcount(True), sys.getrefcount(False), sys.getrefcount(1))
    for _ in range(1000):
        jsonc.loads(text)
    after = (sys.getrefcount(None), sys.getrefcount(True), sys.getrefcount(False), sys.getrefcount(1))
    assert all(abs(b - a) < 10 for a, b in zip(before, after))
