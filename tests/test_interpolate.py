"""interpolate(tree, env): the reference syntax, its messages and the walk."""

import copy
import os
import string

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tabrix._native import interpolate, jsonc

ENV = {"SET": "value", "EMPTY": "", "HOME": "/h", "A": "a", "B": "b"}
NESTING = "maximum nesting depth of 1024 exceeded (does a container contain itself?)"


def invalid(text, reason):
    return f"invalid interpolation in {text}: {reason}"


def expand_error(text, env=ENV):
    with pytest.raises(ValueError) as info:
        interpolate(text, env)
    return str(info.value)


# ---------------------------------------------------------------- operators

OPERATOR_TABLE = [
    # text, variable set to "value", set to "", unset (None = missing-value error)
    ("$NAME", "value", "", ""),
    ("${NAME}", "value", "", ""),
    ("${NAME-w}", "value", "", "w"),
    ("${NAME:-w}", "value", "w", "w"),
    ("${NAME+w}", "w", "w", ""),
    ("${NAME:+w}", "w", "", ""),
    ("${NAME?w}", "value", "", None),
    ("${NAME:?w}", "value", None, None),
]


@pytest.mark.parametrize("text, when_set, when_empty, when_unset", OPERATOR_TABLE)
@pytest.mark.parametrize("state", ["set", "empty", "unset"])
def test_operators(text, when_set, when_empty, when_unset, state):
    env = {"set": {"NAME": "value"}, "empty": {"NAME": ""}, "unset": {"OTHER": "x"}}[state]
    expected = {"set": when_set, "empty": when_empty, "unset": when_unset}[state]
    if expected is None:
        assert expand_error(text, env) == "required variable NAME is missing a value: w"
    else:
        assert interpolate(f"<{text}>", env) == f"<{expected}>"


@pytest.mark.parametrize(
    "text, expected",
    [
        ("cost: $$5", "cost: $5"),
        ("$$$$", "$$"),
        ("$$HOME", "$HOME"),
        ("$${HOME}", "${HOME}"),
        ("$$$HOME", "$/h"),
        ("$HOME/bin", "/h/bin"),
        ("${HOME}x", "/hx"),
        ("$HOMEx", ""),
        ("$HOME-x", "/h-x"),
        ("$home", ""),  # names are case-sensitive
        ("$_", ""),
        ("${A}${B}$A$B", "abab"),
        ("a$A.b$B", "aa.bb"),
        ("${A:-${B:-z}}", "a"),
        ("${NO:-${NOPE:-z}}", "z"),
        ("${NO:-$A-${B}}", "a-b"),
        ("${NO:-{x}}", "{x}"),
        ("${NO:-{}", "{"),  # a lone "{" opens no level: the first "}" closes
        ("${NO:-$${B}}", "${B}"),  # "${" counts for the closing brace even after a "$"
        ("${NO:-}", ""),
        ("${A:+[${B}]}", "[b]"),
        ("${NO:+${A}}", ""),
        ("${A:+$$}", "$"),
        ("x${EMPTY}y", "xy"),
        ("é$A€ 𝄞${B}", "éa€ 𝄞b"),
        ("", ""),
    ],
)
def test_expansion(text, expected):
    assert interpolate(text, ENV) == expected


def test_values_are_not_expanded_again():
    assert interpolate("$X", {"X": "$Y", "Y": "no"}) == "$Y"
    assert interpolate("${U:-$X}", {"X": "${Y}"}) == "${Y}"


def test_words_are_expanded_only_when_used():
    env = {"A": "a", "BAD": 1}
    # A malformed or type-failing word that is not used is never looked at.
    for text in ["${A:-$1}", "${A-${}}", "${NO:+$}", "${A?$BAD}", "${A:-$BAD}", "${NO+${BAD}}"]:
        interpolate(text, env)
    with pytest.raises(ValueError):
        interpolate("${NO:-$1}", env)
    with pytest.raises(TypeError):
        interpolate("${A:+$BAD}", env)


# ---------------------------------------------------------------- messages

@pytest.mark.parametrize(
    "text, reason",
    [
        ("cost: 5$", "lone $ (escape it as $$)"),
        ("$1", "lone $ (escape it as $$)"),
        ("$ x", "lone $ (escape it as $$)"),
        ("$-", "lone $ (escape it as $$)"),
        ("$é", "lone $ (escape it as $$)"),
        ("${", "unterminated ${"),
        ("${A", "unterminated ${"),
        ("x${A:-${B}", "unterminated ${"),
        ("${}", "missing variable name"),
        ("${1}", "missing variable name"),
        ("${ A}", "missing variable name"),
        ("${:-x}", "missing variable name"),
        ("${A:}", "unknown operator"),
        ("${A=x}", "unknown operator"),
        ("${A:=x}", "unknown operator"),
        ("${A x}", "unknown operator"),
        ("${A${B}}", "unknown operator"),
        ("${A::-x}", "unknown operator"),
    ],
)
def test_malformed_references(text, reason):
    assert expand_error(text) == invalid(f'"{text}"', reason)


def test_first_error_in_a_text_wins():
    assert expand_error("$1 ${") == invalid('"$1 ${"', "lone $ (escape it as $$)")
    assert expand_error("${NO:?gone} $1") == "required variable NO is missing a value: gone"


@pytest.mark.parametrize(
    "text, quoted",
    [
        ('say "hi" $', r'"say \"hi\" $"'),
        ("back\\slash $", r'"back\\slash $"'),
        ("tab\tcr\rlf\nnul\0 $", r'"tab\tcr\rlf\nnul\0 $"'),
        ("bell\x07 esc\x1b del\x7f $", r'"bell\u{7} esc\u{1b} del\u{7f} $"'),
        ("it's $", "\"it's $\""),
        ("e\u0301 $", r'"e\u{301} $"'),  # a combining acute accent
        ("\u200d\ufe0f $", r'"\u{200d}\u{fe0f} $"'),  # grapheme-extending joiner and selector
        ("\u0085\u00ad\u2028 $", r'"\u{85}\u{ad}\u{2028} $"'),  # control, format, line separator
        ("\u00a0\u3000 $", r'"\u{a0}\u{3000} $"'),  # spaces other than U+0020
        ("\U000e0001\U0010ffff $", r'"\u{e0001}\u{10ffff} $"'),  # a tag, a private-use code point
        ("café 漢字 😀 ÿ $", '"café 漢字 😀 ÿ $"'),
    ],
)
def test_quoting_of_the_text_in_messages(text, quoted):
    assert expand_error(text) == invalid(quoted, "lone $ (escape it as $$)")


@pytest.mark.parametrize(
    "text, message",
    [
        ("${NO:-a $1}", invalid('"a $1"', "lone $ (escape it as $$)")),
        ("${NO:-${NOPE:-\t$}}", invalid(r'"\t$"', "lone $ (escape it as $$)")),
        ("${NO:-${NOPE:-x}$}", invalid('"${NOPE:-x}$"', "lone $ (escape it as $$)")),
        ('${A:+"${}"}', invalid(r'"\"${}\""', "missing variable name")),
        ("${NO-${A:}}", invalid('"${A:}"', "unknown operator")),
        ("${NO:?${A:}}", invalid('"${A:}"', "unknown operator")),
        ("x ${NO:-${NOPE:?inner}} y", "required variable NOPE is missing a value: inner"),
    ],
)
def test_errors_inside_words_name_the_word(text, message):
    assert expand_error(text) == message


@pytest.mark.parametrize(
    "text, message",
    [
        ("${NO?}", "required variable NO is missing a value: "),
        ("${EMPTY:?}", "required variable EMPTY is missing a value: "),
        ("${NO:?${A}/$B and $$}", "required variable NO is missing a value: a/b and $"),
        ("${NO?\"quoted\"\t}", "required variable NO is missing a value: \"quoted\"\t"),
        ("${NO_2:?${NO:-fallback}}", "required variable NO_2 is missing a value: fallback"),
    ],
)
def test_required_value_messages(text, message):
    assert expand_error(text) == message


# ---------------------------------------------------------------- env

@pytest.mark.parametrize(
    "value, message",
    [
        (1, "'int' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (b"x", "'bytes' object is not an instance of 'str'"),
        (["x"], "'list' object is not an instance of 'str'"),
    ],
)
@pytest.mark.parametrize("text", ["$A", "${A}", "${A-x}", "${A:+x}", "${A?x}", "${NO:-$A}"])
def test_referenced_value_must_be_a_str(value, message, text):
    with pytest.raises(TypeError) as info:
        interpolate(["ok", {"k": text}], {"A": value})
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_unreferenced_values_are_never_inspected():
    assert interpolate("$A", {"A": "x", "B": 1, "C": None}) == "x"


def test_env_must_be_a_dict():
    with pytest.raises(TypeError) as info:
        interpolate({"a": "$HOME"}, os.environ)
    assert str(info.value) == "'_Environ' object is not an instance of 'dict'"
    assert info.value.__notes__ == ["while processing 'env'"]
    assert interpolate({"a": "$HOME"}, dict(os.environ)) == {"a": os.environ.get("HOME", "")}


def test_dict_subclass_env_is_read_from_its_storage():
    class Env(dict):
        def __getitem__(self, key):
            raise AssertionError("__getitem__ called")

        def __missing__(self, key):
            raise AssertionError("__missing__ called")

        def get(self, key, default=None):
            raise AssertionError("get called")

    assert interpolate("$A-$NO-${NO:-d}", Env(A="a")) == "a--d"


def test_str_subclass_values_and_texts():
    class S(str):
        def __str__(self):
            raise AssertionError("__str__ called")

    result = interpolate(S("<$A>"), {"A": S("value")})
    assert result == "<value>" and type(result) is str
    plain = S("no reference")
    assert interpolate(plain, {}) is plain


def test_lookup_exceptions_pass_through():
    class Key:
        # Collides with the name "A" in the dict, and cannot be compared.
        def __hash__(self):
            return hash("A")

        def __eq__(self, other):
            raise LookupError("compared")

    with pytest.raises(LookupError, match="compared"):
        interpolate({"x": ["$A"]}, {Key(): "v"})


@pytest.mark.parametrize("text", ["\ud800", "x\udfff", "$A \ud800", "\U0001f600\udc00"])
def test_lone_surrogate_in_a_text(text):
    with pytest.raises(UnicodeEncodeError):
        interpolate(["fine", text], {"A": "a"})


def test_lone_surrogate_in_a_value():
    with pytest.raises(UnicodeEncodeError):
        interpolate("$A", {"A": "\ud800"})
    assert interpolate("$B", {"A": "\ud800", "B": "b"}) == "b"


# ---------------------------------------------------------------- walk

def test_walk_returns_new_plain_containers_and_keeps_keys():
    class L(list):
        pass

    class D(dict):
        pass

    tree = D({"$K": L(["$A", 1, {"${A}": "${B}"}]), "n": None, 2: "$A"})
    result = interpolate(tree, ENV)
    assert result == {"$K": ["a", 1, {"${A}": "b"}], "n": None, 2: "a"}
    assert type(result) is dict and type(result["$K"]) is list and type(result["$K"][2]) is dict
    assert list(result) == ["$K", "n", 2]
    key = next(iter(tree))
    assert next(iter(result)) is key  # the very key object


def test_same_objects_back_where_nothing_changes():
    class Other:
        pass

    text = "".join(["no reference", " here"])
    wide = "".join(["漢字 ", "😀 é"])
    latin = "".join(["caf", "é"])
    values = [text, wide, latin, 10**30, 1.5, True, None, ("$A",), b"$A", bytearray(b"$A"), Other(), {"$A"}]
    result = interpolate(values, ENV)
    assert result == values and result is not values
    for before, after in zip(values, result):
        assert after is before
    for value in values:
        assert interpolate(value, ENV) is value
    empty_list, empty_dict = [], {}
    assert interpolate(empty_list, ENV) == [] and interpolate(empty_list, ENV) is not empty_list
    assert interpolate(empty_dict, ENV) == {} and interpolate(empty_dict, ENV) is not empty_dict


@pytest.mark.parametrize("text", ["$$", "a$A", "é$A", "😀$A", "漢${A}"])
def test_expanded_strings_are_new(text):
    result = interpolate(text, ENV)
    assert result is not text and type(result) is str
    assert result == text.replace("$$", "$").replace("${A}", "a").replace("$A", "a")


def test_input_is_never_modified():
    tree = {"a": ["$A", {"b": "${B}"}], "c": "${NO:-d}", "bad": ["ok", "${NO:?missing}"]}
    snapshot = copy.deepcopy(tree)
    env = dict(ENV)
    with pytest.raises(ValueError, match="missing"):
        interpolate(tree, env)
    assert tree == snapshot
    del tree["bad"]
    snapshot = copy.deepcopy(tree)
    assert interpolate(tree, env) == {"a": ["a", {"b": "b"}], "c": "d"}
    assert tree == snapshot and env == ENV


def test_first_failure_ends_the_walk():
    seen = []

    class Key:
        def __init__(self, name):
            self.name = name

        def __hash__(self):
            return hash(self.name)

        def __eq__(self, other):
            seen.append(self.name)
            return False

    env = {Key("A"): "x", Key("B"): "y"}
    with pytest.raises(ValueError):
        interpolate(["$A", "$1", "$B"], env)
    assert seen == ["A"]  # nothing after the failing string was looked up


def test_list_shrinking_during_the_walk_is_read_only_so_far():
    tree = ["$A", "b", "c"]

    class Key:
        def __hash__(self):
            return hash("A")

        def __eq__(self, other):
            del tree[1:]
            return False

    assert interpolate(tree, {Key(): "v"}) == [""]


def test_dict_changed_during_the_walk_is_read_as_it_was():
    tree = {"a": "$A", "b": "x"}

    class Key:
        def __hash__(self):
            return hash("A")

        def __eq__(self, other):
            tree.clear()
            tree["new"] = 1
            return False

    assert interpolate(tree, {Key(): "v"}) == {"a": "", "b": "x"}


def test_dict_subclass_changing_size_while_copied_is_a_panic():
    class D(dict):
        pass

    armed = False

    class Key:
        def __init__(self, name):
            self.name = name

        def __hash__(self):
            return 1  # every key collides, so inserting one compares it

        def __eq__(self, other):
            if armed:
                tree["grown"] = 1
            return self is other

    tree = D({Key("a"): "$A", Key("b"): "x"})
    armed = True
    with pytest.raises(BaseException) as info:
        interpolate(tree, ENV)
    assert not isinstance(info.value, Exception)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "dictionary changed size during iteration"


def nested_lists(depth, leaf):
    value = leaf
    for _ in range(depth):
        value = [value]
    return value


def test_nesting_limit_is_the_conversions_limit():
    result = interpolate(nested_lists(1024, "$A"), ENV)
    for _ in range(1024):
        assert type(result) is list and len(result) == 1
        result = result[0]
    assert result == "a"
    for tree in [nested_lists(1025, "x"), nested_lists(100_000, "x")]:
        with pytest.raises(RecursionError) as interpolate_info:
            interpolate(tree, ENV)
        with pytest.raises(RecursionError) as dumps_info:
            jsonc.dumps(tree)
        assert str(interpolate_info.value) == str(dumps_info.value) == NESTING


@pytest.mark.parametrize("kind", ["list", "dict", "mixed"])
def test_self_containing_structures(kind):
    if kind == "list":
        tree = ["$A"]
        tree.append(tree)
    elif kind == "dict":
        tree = {"a": "$A"}
        tree["self"] = tree
    else:
        inner = {"x": []}
        tree = [inner]
        inner["x"].append(tree)
    with pytest.raises(RecursionError) as info:
        interpolate(tree, ENV)
    assert str(info.value) == NESTING


def nested_words(depth, leaf):
    return "${N:-" * depth + leaf + "}" * depth


def test_word_nesting_limit():
    assert interpolate(nested_words(1024, "$A"), ENV) == "a"
    for depth in [1025, 50_000]:
        with pytest.raises(RecursionError) as info:
            interpolate(nested_words(depth, "x"), ENV)
        assert str(info.value).startswith('references in "${N:-')
        assert str(info.value).endswith('" nested deeper than 1024 levels')
    # Unused words are not expanded, so they do not count.
    assert interpolate("${A:-" + nested_words(5000, "x") + "}", ENV) == "a"


def test_large_texts():
    text = ("x" * 1000 + "$A${B}$$") * 1000
    assert interpolate(text, ENV) == ("x" * 1000 + "ab$") * 1000
    long_value = "v" * 1_000_000
    assert interpolate("<${L:-}>", {"L": long_value}) == f"<{long_value}>"


# ---------------------------------------------------------------- oracle

class Blank(dict):
    def __missing__(self, key):
        return ""


@settings(max_examples=400, deadline=None)
@given(
    text=st.text(alphabet=st.sampled_from(list("$${}AB_1 xé😀")), max_size=24),
    env=st.dictionaries(st.sampled_from(["A", "B", "AB", "_", "A1", "B_"]), st.text(max_size=3), max_size=4),
)
def test_agrees_with_string_template_on_plain_references(text, env):
    # Without operators the syntax is string.Template's; unset names are empty.
    try:
        expected = string.Template(text).substitute(Blank(env))
    except ValueError:
        with pytest.raises(ValueError, match="^invalid interpolation in "):
            interpolate(text, env)
    else:
        assert interpolate(text, env) == expected
