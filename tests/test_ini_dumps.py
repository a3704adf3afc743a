"""ini.dumps: the fixed layout, the text of each kind of value, the type
errors, dicts changing under the walk, and round trips through ini.loads."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tabrix._native import ini

try:
    import numpy
except ImportError:  # pragma: no cover - numpy comes with the benchmark packages
    numpy = None


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 2.5


class Both(Index, Real):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class IndexStr(str):
    def __index__(self):
        return 7


class DictSub(dict):
    pass


def value_text(value):
    text = ini.dumps({"s": {"k": value}})
    prefix, suffix = "[s]\nk = ", "\n\n"
    assert text.startswith(prefix) and text.endswith(suffix)
    return text[len(prefix):-len(suffix)]


@pytest.mark.parametrize(
    "obj, text",
    [
        ({}, ""),
        ({"s": {"a": 1, "b": True}}, "[s]\na = 1\nb = true\n\n"),
        ({"one": {"a": "x"}, "three": {"b": "y", "c": "z"}}, "[one]\na = x\n\n[three]\nb = y\nc = z\n\n"),
        ({"na me": {"k ;#": "'v' \"w\" ; # = :"}}, "[na me]\nk ;# = \\'v' \"w\" ; # = :\n\n"),
        ({"\u00e9": {"\U0001F600": "caf\u00e9"}}, "[\u00e9]\n\U0001F600 = caf\u00e9\n\n"),
        (DictSub(s=DictSub(k=StrSub("v"))), "[s]\nk = v\n\n"),
    ],
)
def test_layout(obj, text):
    assert ini.dumps(obj) == text


@pytest.mark.parametrize(
    "value, text",
    [
        (True, "true"), (False, "false"),
        (0, "0"), (-5, "-5"), (2**63 - 1, "9223372036854775807"), (-(2**63), "-9223372036854775808"),
        (2**63, "9223372036854776000"), (2**64, "18446744073709552000"), (-(2**70), "-1180591620717411300000"),
        (IntSub(12), "12"), (Index(-3), "-3"), (Both(4), "4"), (IndexStr("text"), "7"),
        (1.0, "1"), (2.5, "2.5"), (0.1, "0.1"), (-0.0, "-0"), (0.0, "0"), (1e20, "100000000000000000000"),
        (1e-7, "0.0000001"), (123456.789, "123456.789"), (5e-324, "0." + "0" * 323 + "5"),
        (1.7976931348623157e308, "17976931348623157" + "0" * 292),
        (math.nan, "NaN"), (-math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"),
        (FloatSub(1.5), "1.5"), (Real(), "2.5"),
        ("", ""), ("plain text", "plain text"), (StrSub("sub"), "sub"),
        ("a\\b", "a\\\\b"), ("a\nb", "a\\nb"), ("\\\n\\", "\\\\\\n\\\\"), ("a\rb", "a\\rb"), ("a\t\0", "a\t\0"),
        ("'quoted'", "\\'quoted'"), ('"a" b', '\\"a" b'),
        ("x 'y'", "x 'y'"), ("x \"", "x \""), ("\u00e9\U0001F600", "\u00e9\U0001F600"),
        # White space at either end, which a plain value loses: quoted, with
        # backslash, quote, line feed and carriage return escaped.
        ("  x", '"  x"'), ("x  ", '"x  "'), ("\t", '"\t"'), ("\u3000", '"\u3000"'), ("\t\0", '"\t\0"'),
        ("'quoted' ", "\"'quoted' \""), ("  'x", "\"  'x\""), ("\u3000\"x", '"\u3000\\"x"'),
        (" a\\b\"c\nd\re ", '" a\\\\b\\"c\\nd\\re "'), ("\n", '"\\n"'), ("x\r", '"x\\r"'), ("\x85", '"\x85"'),
    ],
)
def test_value_text(value, text):
    assert value_text(value) == text
    if type(value) is str:
        assert ini.loads(ini.dumps({"s": {"k": value, "next": "intact"}})) == {"s": {"k": value, "next": "intact"}}


@pytest.mark.skipif(numpy is None, reason="numpy is not installed")
def test_numpy_scalars():
    assert value_text(numpy.bool_(True)) == "true"
    assert value_text(numpy.bool_(False)) == "false"
    assert value_text(numpy.int64(-7)) == "-7"
    assert value_text(numpy.uint64(2**64 - 1)) == "18446744073709552000"
    assert value_text(numpy.float64(0.25)) == "0.25"
    assert value_text(numpy.float32(0.1)) == "0.10000000149011612"
    assert value_text(numpy.str_("text")) == "text"


def test_bool_types_are_recognised_by_name_and_module():
    def bool_type(name, module):
        return type(name, (), {"__module__": module, "__bool__": lambda self: True,
                               "__index__": lambda self: 5, "__float__": lambda self: 5.0})

    assert value_text(bool_type("bool_", "numpy")()) == "true"
    assert value_text(bool_type("bool", "numpy")()) == "true"
    assert value_text(bool_type("bool_", "other")()) == "5"
    assert value_text(bool_type("boolean", "numpy")()) == "5"


def test_failing_truth_value_propagates():
    def fail(self):
        raise ZeroDivisionError("no truth")

    fake = type("bool_", (), {"__module__": "numpy", "__bool__": fail})
    with pytest.raises(ZeroDivisionError, match="no truth"):
        ini.dumps({"s": {"k": fake()}})


class Raises:
    def __index__(self):
        raise RuntimeError("discarded")

    def __float__(self):
        raise RuntimeError("discarded too")


VALUE_ERROR = "INI values must be str, int, float or bool"


@pytest.mark.parametrize(
    "obj, message",
    [
        ([], "INI dumps expects a mapping of sections to mappings"),
        (None, "INI dumps expects a mapping of sections to mappings"),
        ([("s", {})], "INI dumps expects a mapping of sections to mappings"),
        ({1: {}}, "section names must be str"),
        ({"\ud800": {}}, "section names must be str"),
        ({"s": []}, "section s must be a mapping"),
        ({"s": {"k": "v"}, "t\u00e9": "x"}, "section t\u00e9 must be a mapping"),
        ({"s": {1: "v"}}, "option names must be str"),
        ({"s": {"\udc80": "v"}}, "option names must be str"),
        ({"s": {"k": None}}, VALUE_ERROR),
        ({"s": {"k": [1]}}, VALUE_ERROR),
        ({"s": {"k": {}}}, VALUE_ERROR),
        ({"s": {"k": b"bytes"}}, VALUE_ERROR),
        ({"s": {"k": 10**400}}, VALUE_ERROR),
        ({"s": {"k": "\ud800"}}, VALUE_ERROR),
        ({"s": {"k": Raises()}}, VALUE_ERROR),
        ({"s": {"a": 1, "b": object()}, "t": 5}, VALUE_ERROR),  # the first offence in order wins
        ({"s": {"a": object()}, 5: {}}, VALUE_ERROR),
    ],
)
def test_type_errors(obj, message):
    with pytest.raises(TypeError) as raised:
        ini.dumps(obj)
    assert str(raised.value) == message
    assert raised.value.__context__ is None


@pytest.mark.parametrize(
    "section, option, header, line",
    [
        # Escaped where the reader would read syntax: "]" in a section name;
        # "=" and ":" in an option name, and a first "[", ";" or "#"; a
        # backslash, line feed or carriage return in either.
        ("t]x", "a=b:c", "[t\\]x]", "a\\=b\\:c"),
        ("[a", "[z", "[[a]", "\\[z"),
        ("s;", ";x", "[s;]", "\\;x"),
        ("#s", "#y", "[#s]", "\\#y"),
        ("a\nb\\c", "d\ne\\f\rg", "[a\\nb\\\\c]", "d\\ne\\\\f\\rg"),
        ("", "x;#[]\"'", "[]", "x;#[]\"'"),
        ("\ufeffs", "\ufeffk", "[\ufeffs]", "\ufeffk"),
        ("a b", "c\td", "[a b]", "c\td"),
    ],
)
def test_names_are_escaped_and_read_back(section, option, header, line):
    document = {section: {option: "v", "next": "intact"}}
    assert ini.dumps(document) == f"{header}\n{line} = v\nnext = intact\n\n"
    assert ini.loads(ini.dumps(document)) == document


@pytest.mark.parametrize(
    "obj, message",
    [
        # What the reader would trim, drop or reject: refused, naming the place.
        ({"s": {}}, "section s has no options"),
        ({"a": {"k": "v"}, "b": {}}, "section b has no options"),
        ({" s": {"k": "v"}}, "section name  s starts or ends with white space"),
        ({"s\u3000": {"k": "v"}}, "section name s\u3000 starts or ends with white space"),
        ({"s\n": {}}, "section name s\n starts or ends with white space"),
        ({"s": {"": "v"}}, "section s has an empty option name"),
        ({"s": {"  x": ""}}, "option name   x in section s starts or ends with white space"),
        ({"s": {"k": "v", "x\t": "v"}}, "option name x\t in section s starts or ends with white space"),
        ({"s": {"\x85": 1}}, "option name \x85 in section s starts or ends with white space"),
    ],
)
def test_refusals(obj, message):
    with pytest.raises(ValueError) as raised:
        ini.dumps(obj)
    assert str(raised.value) == message


class Grows:
    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target[f"added{len(self.target)}"] = {}
        return 1


def test_dict_changing_size_raises_panic():
    section = {}
    section["a"] = Grows(section)
    section["b"] = 2
    with pytest.raises(BaseException) as raised:
        ini.dumps({"s": section})
    assert type(raised.value).__name__ == "PanicException"
    assert not isinstance(raised.value, Exception)
    assert str(raised.value) == "dictionary changed size during iteration"

    root = {"s": {}}
    root["s"]["a"] = Grows(root)
    with pytest.raises(BaseException, match="dictionary changed size during iteration") as raised:
        ini.dumps(root)
    assert type(raised.value).__name__ == "PanicException"


def test_argument_by_keyword():
    assert ini.dumps(obj={"s": {"k": 1}}) == "[s]\nk = 1\n\n"


# ---------------------------------------------------------------- round trips

def test_escaped_values_read_back():
    value = "line one\nline two \\ with \\n a backslash\\"
    text = ini.dumps({"s": {"k": value}})
    assert "\n" not in text.split("\n")[1][4:]
    assert ini.loads(text) == {"s": {"k": value}}


@pytest.mark.parametrize("value", ["a\rb", "x\r", "'open", '"open', "  'open", "'a' 'b'", '"x" y', "\r\n'"])
def test_values_that_would_disturb_the_next_option_read_back(value):
    document = {"s": {"k": value, "next": "intact"}, "t": {"u": "'"}}
    loaded = ini.loads(ini.dumps(document))
    assert loaded == document


# Names: no escapes, no brackets, separators or comment signs, no blanks at
# either end (ini.dumps refuses them). Values: any text.
NAME_ALPHABET = st.characters(blacklist_characters="[]=:;#\\\r\n", blacklist_categories=("Cs", "Cc"))
NAMES = st.text(NAME_ALPHABET, min_size=1, max_size=12).filter(lambda s: s == s.strip())
VALUES = st.text(st.characters(blacklist_categories=("Cs",)), max_size=30)
DOCUMENTS = st.dictionaries(NAMES, st.dictionaries(NAMES, VALUES, min_size=1, max_size=6), max_size=6)


@settings(max_examples=300, deadline=None)
@given(DOCUMENTS)
def test_round_trip(document):
    assert ini.loads(ini.dumps(document)) == document


@settings(max_examples=100, deadline=None)
@given(st.dictionaries(NAMES, st.dictionaries(NAMES, st.one_of(st.booleans(), st.integers(-(2**63), 2**63 - 1),
                                                                st.floats()), min_size=1), max_size=4))
def test_round_trip_of_scalars_as_text(document):
    loaded = ini.loads(ini.dumps(document))
    for name, section in document.items():
        for option, value in section.items():
            text = loaded[name][option]
            if isinstance(value, bool):
                assert text == str(value).lower()
            elif isinstance(value, int):
                assert int(text) == value
            elif math.isnan(value):
                assert text == "NaN"
            else:
                assert float(text) == value and "e" not in text
