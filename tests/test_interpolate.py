"""interpolate(tree, env): the reference syntax, its messages and the walk."""

import copy
import os
import string

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tabrix._native import interpolate, jsonc

ENV = {"HOME": "/h", "EMPTY": "", "A": "a", "B": "b"}
NESTING = "maximum nesting depth of 1024 exceeded (does a container contain itself?)"
LONE = "lone $ (escape it as $$)"


def invalid(quoted, reason):
    return f"invalid interpolation in {quoted}: {reason}"


def expand_error(text, env=ENV):
    with pytest.raises(ValueError) as info:
        interpolate(text, env)
    return str(info.value)


def colliding_key(name, on_compare):
    """A dict key that hashes like the str `name`, so that looking `name` up
    compares with it and runs `on_compare` (whose result is the comparison)."""

    class Key:
        def __hash__(self):
            return hash(name)

        def __eq__(self, other):
            return on_compare()

    return Key()


# ---------------------------------------------------------------- syntax

@pytest.mark.parametrize(
    "text, when_set, when_empty, when_unset",  # None: the missing-value error
    [
        ("$NAME", "value", "", ""),
        ("${NAME}", "value", "", ""),
        ("${NAME-w}", "value", "", "w"),
        ("${NAME:-w}", "value", "w", "w"),
        ("${NAME+w}", "w", "w", ""),
        ("${NAME:+w}", "w", "", ""),
        ("${NAME?w}", "value", "", None),
        ("${NAME:?w}", "value", None, None),
    ],
)
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
        ("$$HOME $${HOME} $$$HOME", "$HOME ${HOME} $/h"),
        ("$HOME/bin ${HOME}x $HOMEx $HOME-x", "/h/bin /hx  /h-x"),
        ("$home$_", ""),  # names are case-sensitive; "_" is a name
        ("a$A.b$B${A}${B}", "aa.bbab"),
        ("${A:-${B:-z}} ${NO:-${NOPE:-z}} ${NO:-$A-${B}}", "a z a-b"),
        ("${NO:-{x}} ${NO:-{}", "{x} {"),  # a "{" without "$" opens no level
        ("${NO:-$${B}}", "${B}"),  # "$${" still opens a level when the brace is matched
        ("${A:+[${B}]}${NO:+${A}}${A:+$$}${NO:-}", "[b]$"),
        ("é$A€ 𝄞${B}", "éa€ 𝄞b"),
        ("", ""),
    ],
)
def test_expansion(text, expected):
    assert interpolate(text, ENV) == expected


def test_values_are_not_expanded_again():
    assert interpolate("$X ${U:-$Y}", {"X": "$Y", "Y": "${Z}"}) == "$Y ${Z}"


def test_words_are_expanded_only_when_used():
    env = {"A": "a", "BAD": 1}
    for text in ["${A:-$1}", "${A-${}}", "${NO:+$}", "${A?$BAD}", "${NO+${BAD}}"]:
        interpolate(text, env)
    with pytest.raises(ValueError):
        interpolate("${NO:-$1}", env)
    with pytest.raises(TypeError):
        interpolate("${A:+$BAD}", env)


# ---------------------------------------------------------------- messages

@pytest.mark.parametrize(
    "text, reason",
    [
        ("cost: 5$", LONE), ("$1", LONE), ("$ x", LONE), ("$é", LONE),
        ("${", "unterminated ${"), ("${A", "unterminated ${"), ("x${A:-${B}", "unterminated ${"),
        ("${}", "missing variable name"), ("${1}", "missing variable name"), ("${ A}", "missing variable name"),
        ("${A:}", "unknown operator"), ("${A=x}", "unknown operator"), ("${A:=x}", "unknown operator"),
        ("${A x}", "unknown operator"), ("${A${B}}", "unknown operator"),
        ("$1 ${", LONE),  # the first fault of the text is reported
    ],
)
def test_malformed_references(text, reason):
    assert expand_error(text) == invalid(f'"{text}"', reason)


@pytest.mark.parametrize(
    "text, quoted",
    [
        ('say "hi" \\ $', r'"say \"hi\" \\ $"'),
        ("tab\tcr\rlf\nnul\0 $", r'"tab\tcr\rlf\nnul\0 $"'),
        ("bell\x07 esc\x1b del\x7f \u0085 $", r'"bell\u{7} esc\u{1b} del\u{7f} \u{85} $"'),
        ("e\u0301 \u200d\ufe0f $", r'"e\u{301} \u{200d}\u{fe0f} $"'),  # grapheme-extending characters
        ("\u00ad\u2028\u00a0\U0010ffff $", r'"\u{ad}\u{2028}\u{a0}\u{10ffff} $"'),  # format, separators, private use
        ("it's café 漢字 😀 $", "\"it's café 漢字 😀 $\""),
    ],
)
def test_quoting_of_the_text_in_messages(text, quoted):
    assert expand_error(text) == invalid(quoted, LONE)


@pytest.mark.parametrize(
    "text, message",
    [
        ("${NO:-a $1}", invalid('"a $1"', LONE)),
        ("${NO:-${NOPE:-\t$}}", invalid(r'"\t$"', LONE)),
        ("${NO:-${NOPE:-x}$}", invalid('"${NOPE:-x}$"', LONE)),
        ('${A:+"${}"}', invalid(r'"\"${}\""', "missing variable name")),
        ("${NO:?${A:}}", invalid('"${A:}"', "unknown operator")),
        ("x ${NO:-${NOPE:?inner}} y", "required variable NOPE is missing a value: inner"),
        ("${NO?}", "required variable NO is missing a value: "),
        ("${EMPTY:?${A}/$B \"$$\"\t}", "required variable EMPTY is missing a value: a/b \"$\"\t"),
    ],
)
def test_messages_of_words(text, message):
    assert expand_error(text) == message


# ---------------------------------------------------------------- env

@pytest.mark.parametrize(
    "value, message",
    [(1, "'int' object is not an instance of 'str'"), (None, "'None' is not an instance of 'str'"),
     (b"x", "'bytes' object is not an instance of 'str'")],
)
@pytest.mark.parametrize("text", ["$A", "${A+x}", "${NO:-$A}"])
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


def test_subclasses_are_read_from_their_storage():
    class Env(dict):
        def __getitem__(self, key):
            raise AssertionError("__getitem__ called")

        def __missing__(self, key):
            raise AssertionError("__missing__ called")

    class S(str):
        def __str__(self):
            raise AssertionError("__str__ called")

    result = interpolate(S("<$A|$NO|${NO:-d}>"), Env(A=S("a")))
    assert result == "<a||d>" and type(result) is str
    plain = S("no reference")
    assert interpolate(plain, Env()) is plain


def test_lookup_exceptions_pass_through():
    def fail():
        raise LookupError("compared")

    with pytest.raises(LookupError, match="compared"):
        interpolate({"x": ["$A"]}, {colliding_key("A", fail): "v"})


@pytest.mark.parametrize("tree, env", [("\ud800", {}), (["ok", "$A \udfff"], ENV), ("$A", {"A": "\ud800"})])
def test_lone_surrogates_have_no_utf8_text(tree, env):
    with pytest.raises(UnicodeEncodeError):
        interpolate(tree, env)


# ---------------------------------------------------------------- walk

def test_containers_come_back_new_and_plain_with_the_same_keys():
    class L(list):
        pass

    class D(dict):
        pass

    tree = D({"$K": L(["$A", 1, {"${A}": "${B}"}]), "n": None, 2: "$A"})
    result = interpolate(tree, ENV)
    assert result == {"$K": ["a", 1, {"${A}": "b"}], "n": None, 2: "a"}
    assert type(result) is dict and type(result["$K"]) is list and type(result["$K"][2]) is dict
    assert list(result) == ["$K", "n", 2]
    assert next(iter(result)) is next(iter(tree))
    for empty in ([], {}):
        assert interpolate(empty, ENV) == empty and interpolate(empty, ENV) is not empty


def test_same_objects_back_where_nothing_changes():
    values = ["".join(["no ", "reference"]), "".join(["漢字 ", "😀"]), "".join(["caf", "é"]), 10**30, 1.5, True,
              None, ("$A",), b"$A", {"$A"}, object()]
    result = interpolate(values, ENV)
    assert all(after is before for before, after in zip(values, result, strict=True))
    changed = ["$$", "é$A", "😀${A}"]
    assert interpolate(changed, ENV) == ["$", "éa", "😀a"]


def test_input_is_never_modified():
    tree = {"a": ["$A", {"b": "${B}"}], "c": "${NO:-d}", "bad": ["ok", "${NO:?missing}"]}
    snapshot, env = copy.deepcopy(tree), dict(ENV)
    with pytest.raises(ValueError, match="missing"):
        interpolate(tree, env)
    assert tree == snapshot
    del tree["bad"]
    assert interpolate(tree, env) == {"a": ["a", {"b": "b"}], "c": "d"}
    assert tree == {"a": ["$A", {"b": "${B}"}], "c": "${NO:-d}"} and env == ENV


def test_first_failure_ends_the_walk():
    seen = []
    env = {colliding_key(name, lambda name=name: seen.append(name)): "x" for name in "AB"}
    with pytest.raises(ValueError):
        interpolate(["$A", "$1", "$B"], env)
    assert "A" in seen and "B" not in seen  # nothing after the failing string was looked up


def test_list_shrinking_during_the_walk_is_read_only_so_far():
    tree = ["$A", "b", "c"]
    assert interpolate(tree, {colliding_key("A", lambda: tree.clear()): "v"}) == [""]


def test_dict_changed_during_the_walk_is_read_as_it_was():
    tree = {"a": "$A", "b": "x"}
    assert interpolate(tree, {colliding_key("A", lambda: tree.update(b="y", c=1)): "v"}) == {"a": "", "b": "x"}


def test_dict_subclass_changing_size_while_copied_is_a_panic():
    class D(dict):
        pass

    armed = False

    def grow():
        if armed:
            tree["grown"] = 1
        return False

    # Copying the second key compares it with the first, which grows the dict.
    tree = D({colliding_key("k", grow): "$A", colliding_key("k", lambda: False): "x"})
    armed = True
    with pytest.raises(BaseException) as info:
        interpolate(tree, ENV)
    assert type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception)
    assert str(info.value) == "dictionary changed size during iteration"


def test_nesting_limit_is_the_conversions_limit():
    def nested(depth, leaf):
        for _ in range(depth):
            leaf = [leaf]
        return leaf

    result = interpolate(nested(1024, "$A"), ENV)
    for _ in range(1024):
        assert type(result) is list and len(result) == 1
        result = result[0]
    assert result == "a"
    for tree in [nested(1025, "x"), nested(100_000, "x")]:
        with pytest.raises(RecursionError) as info:
            interpolate(tree, ENV)
        with pytest.raises(RecursionError) as dumps_info:
            jsonc.dumps(tree)
        assert str(info.value) == str(dumps_info.value) == NESTING


@pytest.mark.parametrize("kind", ["list", "dict", "mixed"])
def test_self_containing_structures(kind):
    tree = {"list": ["$A"], "dict": {"a": "$A"}, "mixed": [{"x": []}]}[kind]
    {"list": lambda: tree.append(tree), "dict": lambda: tree.update(me=tree),
     "mixed": lambda: tree[0]["x"].append(tree)}[kind]()
    with pytest.raises(RecursionError) as info:
        interpolate(tree, ENV)
    assert str(info.value) == NESTING


def test_word_nesting_limit():
    def nested(depth, leaf):
        return "${N:-" * depth + leaf + "}" * depth

    assert interpolate(nested(1024, "$A"), ENV) == "a"
    for depth in [1025, 50_000]:
        with pytest.raises(RecursionError) as info:
            interpolate(nested(depth, "x"), ENV)
        assert str(info.value).startswith('references in "${N:-')
        assert str(info.value).endswith('" nested deeper than 1024 levels')
    assert interpolate("${A:-" + nested(5000, "x") + "}", ENV) == "a"  # unused words do not count


def test_large_texts():
    assert interpolate(("x" * 1000 + "$A${B}$$") * 1000, ENV) == ("x" * 1000 + "ab$") * 1000
    assert interpolate("<${L:-}>", {"L": "v" * 1_000_000}) == "<" + "v" * 1_000_000 + ">"


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
