"""The module frame: submodules, registration order, function objects."""

import importlib

import pytest

import tabrix._native as native

SUBMODULES = ["yaml", "csv", "tsv", "toml", "jsonc", "ini"]
DELIMITED = ["CsvStream", "loads", "dumps", "stream", "stream_at", "dumps_header", "dumps_row"]


def test_parent_all_and_doc():
    assert type(native.__all__) is list
    assert native.__all__ == SUBMODULES + ["interpolate"]
    assert native.__doc__ == ""


@pytest.mark.parametrize(
    "name, names",
    [("yaml", ["loads", "dumps"]), ("csv", DELIMITED), ("tsv", DELIMITED), ("toml", ["loads", "dumps"]),
     ("jsonc", ["loads", "dumps"]), ("ini", ["loads", "dumps"])],
)
def test_submodule_all(name, names):
    module = getattr(native, name)
    assert module.__all__ == names
    assert module.__name__ == name
    assert module.__doc__ is None
    for attr in names:
        assert hasattr(module, attr)


def test_csv_stream_class_is_shared_and_not_instantiable():
    assert native.csv.CsvStream is native.tsv.CsvStream
    assert native.csv.CsvStream.__name__ == "CsvStream"
    with pytest.raises(TypeError):
        native.csv.CsvStream()


@pytest.mark.parametrize(
    "module, function, signature",
    [(m, "loads", "(data)") for m in SUBMODULES]
    + [(m, "dumps", "(obj)") for m in SUBMODULES]
    + [(m, f, s) for m in ("csv", "tsv") for f, s in
       [("stream", "(data)"), ("stream_at", "(path)"), ("dumps_header", "(header)"),
        ("dumps_row", "(header, number, row)")]],
)
def test_function_objects(module, function, signature):
    sub = getattr(native, module)
    fn = getattr(sub, function)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ is None
    assert fn.__name__ == function
    assert fn.__module__ == module
    assert fn.__self__ is sub


def test_interpolate_is_bound_to_the_parent():
    assert native.interpolate.__text_signature__ == "(tree, env)"
    assert native.interpolate.__module__ == "tabrix._native"
    assert native.interpolate.__self__ is native


def test_same_name_functions_are_distinct():
    assert native.csv.loads is not native.tsv.loads
    assert native.csv.dumps_row is not native.tsv.dumps_row
    assert native.yaml.loads is not native.toml.loads


def test_submodules_are_attributes_not_importable_modules():
    from tabrix._native import yaml  # noqa: F401  (attribute import works)

    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("tabrix._native.yaml")
