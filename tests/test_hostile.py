"""Hostile input: deep nesting, huge documents, very long strings and keys,
huge integers, alias bombs, invalid UTF-8, NUL characters, self-referencing
and very deep values. Every loader and dumper ends with a clear exception or
the correct result, within bounded time and memory."""

import json
import re
import subprocess
import sys
import textwrap
import time

import pytest

import tabrix
from tabrix._native import csv, ini, interpolate, jsonc, toml, tsv, yaml

from support import PARALLEL_THREADS, SANITIZED


# Under the sanitizers everything runs several times slower: the big
# documents shrink and the time limits grow. So do the limits when each test
# runs in several threads at once (pytest-run-parallel), which share the cores.
SLOWDOWN = (8 if SANITIZED else 1) * PARALLEL_THREADS
M = 1_000_000
NESTING_MESSAGE = re.escape("maximum nesting depth of 1024 exceeded (does a container contain itself?)")


def within(seconds, call, *args):
    """call(*args), failing the test if it takes longer than `seconds`."""
    start = time.perf_counter()
    try:
        return call(*args)
    finally:
        spent = time.perf_counter() - start
        assert spent < seconds * SLOWDOWN, f"took {spent:.1f}s"


def raises_within(seconds, exception, match, call, *args):
    with pytest.raises(exception, match=match):
        within(seconds, call, *args)


# ---------------------------------------------------------------- nesting

@pytest.mark.parametrize("load, text, exception, match", [
    (yaml.loads, "[" * M + "]" * M, ValueError, "^recursion limit exceeded at byte 255 "),
    (yaml.loads, "{a: " * M + "1" + "}" * M, ValueError, "^recursion limit exceeded at byte 1020 "),
    (yaml.loads, "- " * M + "x", ValueError, "^recursion limit exceeded at byte 510 "),
    (yaml.loads, "[" * M, ValueError, "^recursion limit exceeded"),
    (yaml.loads, "&a [" * M, ValueError, "^recursion limit exceeded"),
    (toml.loads, "a = " + "[" * M + "]" * M, ValueError, "recursion limit\n$"),
    (toml.loads, "a = " + "{b = " * M + "1" + "}" * M, ValueError, "recursion limit\n$"),
    (toml.loads, "a" + ".a" * M + " = 1", ValueError, "recursion limit\n$"),
    (toml.loads, "[a" + ".a" * M + "]", ValueError, "recursion limit\n$"),
    (toml.loads, "[[a" + ".a" * M + "]]", ValueError, "recursion limit\n$"),
    (jsonc.loads, "[" * M + "]" * M, ValueError, "^Maximum nesting depth exceeded on line 1 column 513$"),
    (jsonc.loads, '{"a":' * M + "1" + "}" * M, ValueError, "^Maximum nesting depth exceeded"),
    (jsonc.loads, "[" * M, ValueError, "^Maximum nesting depth exceeded"),
    (ini.loads, "[" * M, ValueError, "^1:1000001 "),
    (lambda text: interpolate(text, {}), "${A:-" * M + "x" + "}" * M, RecursionError,
     "nested deeper than 1024 levels$"),
    (lambda text: interpolate(text, {}), "${A:-" * M, ValueError, "unterminated"),
], ids=["yaml-flow", "yaml-flow-map", "yaml-block", "yaml-unclosed", "yaml-anchored", "toml-arrays",
        "toml-inline-tables", "toml-dotted-key", "toml-header", "toml-array-of-tables", "jsonc-arrays",
        "jsonc-objects", "jsonc-unclosed", "ini-brackets", "interpolate-words", "interpolate-unclosed"])
def test_a_million_levels_of_nesting(load, text, exception, match):
    raises_within(2, exception, match, load, text)


def test_aliases_cannot_stack_past_the_nesting_limit():
    # Each anchored list holds the previous one: 1100 levels from a short text.
    text = "a: &b0 []\n" + "".join(f"b{i}: &b{i} [*b{i - 1}]\n" for i in range(1, 1100))
    raises_within(2, RecursionError, f"^{NESTING_MESSAGE}", yaml.loads, text)
    assert len(yaml.loads(text.split("b1000:")[0])["b999"]) == 1  # 1000 levels are fine


def nested_list(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def nested_dict(depth):
    value = {}
    for _ in range(depth):
        value = {"k": value}
    return value


def self_referencing_list():
    value = [1]
    value.append(value)
    return value


def self_referencing_dict():
    value = {"a": 1}
    value["b"] = [{"c": value}]
    return value


TREE_DUMPERS = [yaml.dumps, jsonc.dumps, lambda value: toml.dumps({"root": value}),
                lambda value: interpolate(value, {})]
TREE_DUMPER_IDS = ["yaml", "jsonc", "toml", "interpolate"]


@pytest.fixture(scope="module")
def hostile_values():
    # Made once: a million levels take a moment to build and to free.
    return {"deep-list": nested_list(M), "deep-dict": nested_dict(M), "cyclic-list": self_referencing_list(),
            "cyclic-dict": self_referencing_dict()}


@pytest.mark.parametrize("dump", TREE_DUMPERS, ids=TREE_DUMPER_IDS)
@pytest.mark.parametrize("kind", ["deep-list", "deep-dict", "cyclic-list", "cyclic-dict"])
def test_dumpers_stop_deep_and_self_referencing_values(hostile_values, dump, kind):
    raises_within(2, RecursionError, f"^{NESTING_MESSAGE}", dump, hostile_values[kind])


@pytest.mark.parametrize("dump, value, expected", [
    (yaml.dumps, nested_list(1023), "- " * 1022 + "- []\n"),
    (jsonc.dumps, nested_list(1023), "[" * 1024 + "]" * 1024),
    (toml.dumps, {"a": nested_list(1022)}, "a = " + "[" * 1023 + "]" * 1023 + "\n"),
], ids=["yaml", "jsonc", "toml"])
def test_dumpers_take_nesting_up_to_the_limit(dump, value, expected):
    assert within(2, dump, value) == expected


def test_interpolate_takes_nesting_up_to_the_limit():
    value = nested_list(1023)
    value[0][0] = "$A"
    result = interpolate(value, {"A": "x"})
    assert result[0][0] == "x" and result is not value


@pytest.mark.parametrize("dump, value, exception, match", [
    (ini.dumps, {"s": nested_dict(100)}, TypeError, "^INI values must be str, int, float or bool$"),
    (ini.dumps, self_referencing_dict(), TypeError, "^section a must be a mapping$"),
    (csv.dumps, [{"a": nested_list(100)}], TypeError, "^record 1 column a is not a csv scalar$"),
    (csv.dumps, [{"a": 1}, self_referencing_list()], ValueError, "^record 2 is not a mapping$"),
], ids=["ini-deep", "ini-cyclic", "csv-deep", "csv-cyclic"])
def test_flat_dumpers_refuse_nested_values(dump, value, exception, match):
    raises_within(2, exception, match, dump, value)


# ---------------------------------------------------------------- huge documents

BIG_SCRIPT = textwrap.dedent("""
    import json, resource, sys, time
    from tabrix._native import csv, ini, jsonc, toml, yaml
    if not {sanitized}:
        resource.setrlimit(resource.RLIMIT_AS, (6 << 30, 6 << 30))
    fmt, size = sys.argv[1], int(sys.argv[2])
    pad = "lorem ipsum dolor sit amet, " * 36
    block = {{
        "yaml": "- {{id: 7, text: '" + pad + "'}}\\n",
        "toml": "[[t]]\\nid = 7\\ntext = '" + pad + "'\\n",
        "jsonc": '{{"id": 7, "text": "' + pad + '"}},',
        "ini": "".join(f"k{{j}} = {{pad}}\\n" for j in range(1000)),
        "csv": '7,"' + pad + '"\\n',
    }}[fmt]
    count = size // len(block)
    body = block * count
    text = {{
        "yaml": body, "toml": body, "jsonc": "[" + body + "0]", "csv": "id,text\\n" + body,
        "ini": "".join(f"[s{{i}}]\\n" + block for i in range(count)),
    }}[fmt]
    codec = {{"yaml": yaml, "toml": toml, "jsonc": jsonc, "ini": ini, "csv": csv}}[fmt]
    start = time.perf_counter()
    value = codec.loads(text)
    loaded = time.perf_counter() - start
    if fmt == "toml":
        value = value["t"]
    elif fmt == "ini":
        value = [v for section in value.values() for v in section.values()]
    elif fmt == "jsonc":
        value.pop()
    start = time.perf_counter()
    if fmt in ("yaml", "jsonc"):
        dumped = len(codec.dumps(value))
    else:
        dumped = len(codec.dumps({{"t": value}} if fmt == "toml" else value)) if fmt != "ini" else 0
    dump_time = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({{"chars": len(text), "count": len(value), "expected": count * 1000 if fmt == "ini" else count,
                       "load": loaded, "dump": dump_time, "dumped": dumped, "peak": peak}}))
""")


@pytest.mark.thread_unsafe(reason="bounds the time and memory of 100 MB documents, for one at a time")
@pytest.mark.parametrize("fmt", ["yaml", "toml", "jsonc", "ini", "csv"])
def test_huge_documents(fmt):
    # 100 MB of text (10 MB under the sanitizers), loaded and written back in
    # a fresh interpreter limited to 6 GB of address space.
    size = (10 if SANITIZED else 100) * 2 ** 20
    result = subprocess.run([sys.executable, "-c", BIG_SCRIPT.format(sanitized=SANITIZED), fmt, str(size)],
                            capture_output=True, text=True, timeout=120 * SLOWDOWN)
    assert result.returncode == 0, result.stderr[-2000:]
    report = json.loads(result.stdout)
    assert report["chars"] > size * 0.95
    assert report["count"] == report["expected"]
    assert report["load"] < 15 * SLOWDOWN and report["dump"] < 15 * SLOWDOWN, report
    if fmt in ("yaml", "jsonc", "toml", "csv"):
        assert report["dumped"] > size * 0.9
    if not SANITIZED:
        assert report["peak"] < 8 * size, report


# ---------------------------------------------------------------- long strings and keys

LONG = "k" * (10 * 2 ** 20)


@pytest.mark.parametrize("fmt, value", [
    ("yaml", {LONG: LONG}),
    ("yaml", {"a": [LONG + " : # x"]}),
    ("toml", {LONG: LONG, "t": {LONG: [LONG]}}),
    ("jsonc", {LONG: [LONG]}),
    ("ini", {LONG: {LONG: LONG}}),
    ("csv", [{LONG: LONG, "b": "x" + LONG}]),
    ("tsv", [{LONG: 1}]),
], ids=["yaml", "yaml-special", "toml", "jsonc", "ini", "csv", "tsv"])
def test_ten_megabyte_strings_and_keys_round_trip(fmt, value):
    codec = getattr(tabrix._native, fmt)
    text = within(3, codec.dumps, value)
    assert within(3, codec.loads, text) == value


def test_yaml_keys_over_1024_characters_must_be_explicit():
    assert yaml.loads("? " + LONG + "\n: 1\n") == {LONG: 1}
    raises_within(2, ValueError, "^mapping values are not allowed", yaml.loads, LONG + ": 1\n")


# ---------------------------------------------------------------- huge numbers

DIGITS = "1" * M


@pytest.mark.parametrize("load, text, expected", [
    (yaml.loads, DIGITS, float("inf")),            # a decimal integer beyond 64 bits reads as a float
    (yaml.loads, "-" + DIGITS, float("-inf")),
    (yaml.loads, "0x" + "f" * M, "0x" + "f" * M),  # a prefixed integer beyond 64 bits is text
    (yaml.loads, "1." + DIGITS, 1.1111111111111112),
    (yaml.loads, "1e" + "9" * M, float("inf")),
    (yaml.loads, "1e-" + "9" * M, 0.0),
    (toml.loads, "a = 1." + DIGITS, {"a": 1.1111111111111112}),
    (toml.loads, "a = 1e" + "9" * M, {"a": float("inf")}),
    (toml.loads, "a = 1e-" + "9" * M, {"a": 0.0}),
    (jsonc.loads, "1." + DIGITS, 1.1111111111111112),
    (jsonc.loads, "-1e" + "9" * M, float("-inf")),
    (jsonc.loads, "[" + "9" * 4000 + "]", [int("9" * 4000)]),
    (jsonc.loads, "0x" + "f" * 1000, int("f" * 1000, 16)),
    (csv.loads, "a\n1." + DIGITS, [{"a": 1.1111111111111112}]),
    (csv.loads, "a\n" + "9" * 4000, [{"a": int("9" * 4000)}]),
    (lambda text: next(csv.stream(text.encode())), "a\n1e-" + "9" * M, {"a": 0.0}),
], ids=["yaml-int", "yaml-negative-int", "yaml-hex", "yaml-float", "yaml-exponent", "yaml-negative-exponent",
        "toml-float", "toml-exponent", "toml-negative-exponent", "jsonc-float", "jsonc-exponent", "jsonc-int",
        "jsonc-hex", "csv-float", "csv-int", "stream-exponent"])
def test_huge_numbers_read_correctly(load, text, expected):
    assert within(2, load, text) == expected


@pytest.mark.parametrize("load, text, exception, match", [
    (toml.loads, "a = " + DIGITS, ValueError, "^TOML parse error at line 1, column 5\n"),
    (toml.loads, "a = 0x" + "f" * M, ValueError, "^TOML parse error at line 1, column 5\n"),
    (jsonc.loads, DIGITS, ValueError, "Exceeds the limit"),   # the interpreter's limit on int() digits
    (jsonc.loads, "0x" + "f" * M, ValueError, "invalid literal for int"),
    (csv.loads, "a\n" + DIGITS, ValueError, "Exceeds the limit"),
    (lambda text: list(tsv.stream(text.encode())), "a\n" + DIGITS, ValueError, "Exceeds the limit"),
    (yaml.dumps, 10 ** 5000, ValueError, "Exceeds the limit"),
    (toml.dumps, {"a": 2 ** 64}, ValueError, "^TOML cannot hold the integer 18446744073709551616 "),
], ids=["toml-int", "toml-hex", "jsonc-int", "jsonc-hex", "csv-int", "stream-int", "yaml-dumps", "toml-dumps"])
def test_huge_integers_fail_clearly(load, text, exception, match):
    raises_within(2, exception, match, load, text)


# ---------------------------------------------------------------- alias bombs

def laughs(levels, width):
    lines = ['l0: &l0 "lol"']
    for i in range(1, levels):
        lines.append(f"l{i}: &l{i} [" + ", ".join([f"*l{i - 1}"] * width) + "]")
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("text", [
    laughs(10, 10),                                                   # a billion laughs
    laughs(40, 2),                                                    # doubling, 2**39 nodes
    "a: &a [" + ",".join(["x"] * 1000) + "]\nb: [" + ",".join(["*a"] * 5000) + "]\n",  # just over the budget
    "a: &a {" + ", ".join(f"k{i}: {i}" for i in range(10000)) + "}\n"
    + "".join(f"m{i}: {{<<: *a}}\n" for i in range(2000)),            # merged again and again
    "a: &a [" + ",".join(map(str, range(10000))) + "]\nm:\n" + "".join(f"  ? *a\n  : {i}\n" for i in range(2000)),
], ids=["billion-laughs", "doubling", "over-budget", "merges", "alias-keys"])
def test_alias_bombs_hit_the_node_budget(text):
    raises_within(2, ValueError, r"^node budget exceeded \(alias expansion\?\)$", yaml.loads, text)


def test_aliases_within_the_budget_load():
    value = within(5, yaml.loads, laughs(6, 9))  # 9**5 = 59049 leaves
    assert value["l5"][8][8][8][8][8] == "lol"
    assert value["l5"][0] is not value["l5"][1]  # aliases are copies


# ---------------------------------------------------------------- invalid UTF-8 (bytes input)

def utf8_error(row, record, line, field, byte, index):
    return (f"row {row}: CSV parse error: record {record} (line {line}, field: {field}, byte: {byte}): "
            f"invalid utf-8: invalid UTF-8 in field {field} near byte index {index}")


@pytest.mark.parametrize("bad", [b"\xff", b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\x80", b"\xe2\x82",
                                 b"\xf0\x9f\x98"],
                         ids=["ff", "overlong", "surrogate", "beyond-10ffff", "continuation", "truncated",
                              "truncated-4"])
def test_stream_reports_invalid_utf8_and_goes_on(bad):
    stream = csv.stream(b"a,b\n1,x" + bad + b"y\n2,z\n")
    with pytest.raises(ValueError) as info:
        next(stream)
    assert str(info.value) == utf8_error(2, 1, 2, 1, 4, 1)
    assert next(stream) == {"a": 2, "b": "z"}


def test_stream_header_with_invalid_utf8():
    with pytest.raises(ValueError, match=r"^CSV parse error: record 0 \(line 1, field: 1, byte: 0\)"):
        csv.stream(b"a,\xffb\n1,2\n")


@pytest.mark.parametrize("at", [8190, 8191, 8192, 8193])
def test_characters_across_read_boundaries(tmp_path, at):
    # A four-byte character that starts on either side of the 8192-byte reads.
    head = b"a\n"
    record = b"x" * (at - len(head)) + "\U0001F600".encode() + b"y\n"
    data = head + record + b"z\n"
    expected = [{"a": "x" * (at - len(head)) + "\U0001F600y"}, {"a": "z"}]
    path = tmp_path / "t.csv"
    path.write_bytes(data)
    assert list(csv.stream(data)) == expected
    assert list(csv.stream_at(str(path))) == expected


def test_invalid_utf8_files_through_the_package(tmp_path):
    for name in ("c.yaml", "c.toml", "c.json", "c.ini", "c.csv"):
        path = tmp_path / name
        path.write_bytes(b"\xef\xbb\xbfa\xff")
        with pytest.raises(ValueError, match=rf"^{path}: not valid UTF-8 at byte 4$"):
            tabrix.load(path)


# ---------------------------------------------------------------- NUL characters

@pytest.mark.parametrize("load, text, match", [
    (yaml.loads, "a: x\0y", "^control characters are not allowed at byte 4 line 1 column 5$"),
    (yaml.loads, "\0", "^control characters are not allowed at byte 0 "),
    (toml.loads, 'a = "x\0y"', "control character in a string"),
    (toml.loads, "a = 1\0", "expected a newline after the value"),
    (jsonc.loads, "[1,\0 2]", "^Unexpected token on line 1 column 4$"),
], ids=["yaml-plain", "yaml-alone", "toml-string", "toml-after-value", "jsonc-between-values"])
def test_nul_where_a_format_forbids_it(load, text, match):
    with pytest.raises(ValueError, match=match):
        load(text)


@pytest.mark.parametrize("load, text, expected", [
    (jsonc.loads, '["a\0b", "\\u0000"] // \0', ["a\0b", "\0"]),
    (ini.loads, "[s\0]\n\0 = x\0y\n", {"s\0": {"\0": "x\0y"}}),
    (csv.loads, "a\0,b\nx\0y,\"\0\"\n", [{"a\0": "x\0y", "b": "\0"}]),
    (lambda text: list(csv.stream(text.encode())), "a\nx\0\n", [{"a": "x\0"}]),
    (lambda text: interpolate(text, {"A": "\0"}), "\0$A${B:-\0}", "\0\0\0"),
    (yaml.loads, 'a: "\\0"', {"a": "\0"}),
    (toml.loads, 'a = "\\u0000"', {"a": "\0"}),
], ids=["jsonc", "ini", "csv", "stream", "interpolate", "yaml-escape", "toml-escape"])
def test_nul_kept_where_a_format_allows_it(load, text, expected):
    assert load(text) == expected


CONTROL = "".join(map(chr, range(32))) + "\x7f\x85\u2028\ufeff"


@pytest.mark.parametrize("fmt, value", [
    ("yaml", {CONTROL: [CONTROL, "a" + CONTROL]}),
    ("toml", {CONTROL: CONTROL}),
    ("jsonc", {CONTROL: CONTROL}),
    ("ini", {"s": {"k": "a" + CONTROL.replace("\t", "") + "z"}}),
    ("csv", [{"a": CONTROL, "b\0": "\0"}]),
], ids=["yaml", "toml", "jsonc", "ini", "csv"])
def test_nul_and_control_characters_round_trip(fmt, value):
    codec = getattr(tabrix._native, fmt)
    assert codec.loads(codec.dumps(value)) == value
