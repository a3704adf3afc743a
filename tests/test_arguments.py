"""The argument layer: binding messages, conversions and their notes."""

import pytest

import tabrix._native as native
from tabrix._native import csv, jsonc


class StrSub(str):
    def encode(self, *args, **kwargs):  # never called: the stored text is used
        raise AssertionError("overridden method called")


class DictSub(dict):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: jsonc.dumps(), "dumps() missing 1 required positional argument: 'obj'"),
        (lambda: jsonc.dumps(1, 2), "dumps() takes 1 positional arguments but 2 were given"),
        (lambda: jsonc.dumps(1, 2, 3), "dumps() takes 1 positional arguments but 3 were given"),
        (lambda: jsonc.dumps(text=1), "dumps() got an unexpected keyword argument 'text'"),
        (lambda: jsonc.dumps(1, obj=1), "dumps() got multiple values for argument 'obj'"),
        (lambda: jsonc.dumps(1, nope=1), "dumps() got an unexpected keyword argument 'nope'"),
        (lambda: native.interpolate(), "interpolate() missing 2 required positional arguments: 'tree' and 'env'"),
        (lambda: native.interpolate({}), "interpolate() missing 1 required positional argument: 'env'"),
        (lambda: native.interpolate(env={}), "interpolate() missing 1 required positional argument: 'tree'"),
        (lambda: native.interpolate({}, {}, {}), "interpolate() takes 2 positional arguments but 3 were given"),
        (lambda: native.interpolate({}, tree={}), "interpolate() got multiple values for argument 'tree'"),
        (lambda: csv.dumps_row(),
         "dumps_row() missing 3 required positional arguments: 'header', 'number', and 'row'"),
        (lambda: csv.dumps_row([], row={}),
         "dumps_row() missing 1 required positional argument: 'number'"),
        (lambda: csv.dumps_row(number=1), "dumps_row() missing 2 required positional arguments: 'header' and 'row'"),
        (lambda: csv.dumps_row(1, 2, 3, 4), "dumps_row() takes 3 positional arguments but 4 were given"),
        (lambda: csv.dumps_header(), "dumps_header() missing 1 required positional argument: 'header'"),
        (lambda: jsonc.loads(), "loads() missing 1 required positional argument: 'data'"),
        (lambda: jsonc.loads("{}", "x"), "loads() takes 1 positional arguments but 2 were given"),
        (lambda: jsonc.loads(text="{}"), "loads() got an unexpected keyword argument 'text'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)  # binding errors get no note


def test_too_many_positional_reported_before_keywords():
    with pytest.raises(TypeError, match="takes 1 positional arguments but 2 were given"):
        jsonc.dumps(1, 2, bogus=3)


def test_unexpected_keyword_with_non_ascii_name():
    with pytest.raises(TypeError) as info:
        jsonc.dumps(**{"clé": 1})
    assert str(info.value) == "dumps() got an unexpected keyword argument 'clé'"


@pytest.mark.parametrize(
    "call, exc_type, message, note",
    [
        (lambda: jsonc.loads(b"{}"), TypeError, "'bytes' object is not an instance of 'str'", "data"),
        (lambda: jsonc.loads(None), TypeError, "'None' is not an instance of 'str'", "data"),
        (lambda: jsonc.loads(data=1), TypeError, "'int' object is not an instance of 'str'", "data"),
        (lambda: native.interpolate({}, []), TypeError, "'list' object is not an instance of 'dict'", "env"),
        (lambda: native.interpolate({}, None), TypeError, "'None' is not an instance of 'dict'", "env"),
        (lambda: csv.stream_at(b"x"), TypeError, "'bytes' object is not an instance of 'str'", "path"),
    ],
)
def test_conversion_errors_carry_the_parameter_note(call, exc_type, message, note):
    with pytest.raises(exc_type) as info:
        call()
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{note}'"]


def test_qualified_type_name_in_conversion_error():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        jsonc.loads(Outer.Inner())
    assert str(info.value) == "'test_qualified_type_name_in_conversion_error.<locals>.Outer.Inner' object is not " \
                              "an instance of 'str'"


def test_lone_surrogate_data_is_unicode_encode_error_with_note():
    with pytest.raises(UnicodeEncodeError) as info:
        jsonc.loads("\ud800")
    assert info.value.__notes__ == ["while processing 'data'"]


def test_first_failing_parameter_wins():
    # tree is not converted, env is: only env's failure can be reported
    with pytest.raises(TypeError) as info:
        native.interpolate(object(), 5)
    assert info.value.__notes__ == ["while processing 'env'"]


def test_subclass_arguments_are_accepted():
    # A str subclass is read through its stored characters: its overridden
    # methods are never called, and the result is built from exact types.
    result = jsonc.loads(StrSub('{"a": [1, "x"]}'))
    assert result == {"a": [1, "x"]}
    assert type(result) is dict and type(result["a"][1]) is str
    assert jsonc.loads(data=StrSub("// only a number\n7")) == 7
    for call in (lambda: native.interpolate("x", DictSub()),):
        try:
            call()
        except NotImplementedError:
            pass
