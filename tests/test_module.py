"""The module frame: submodules, registration order, function objects."""

import importlib
import os
import subprocess
import sys
import sysconfig

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


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="a free-threaded interpreter only")
def test_importing_keeps_the_gil_disabled_on_a_free_threaded_interpreter():
    # A fresh interpreter with its own default: neither -X gil nor PYTHON_GIL,
    # which would force the GIL off whatever the module declares. A module that
    # did not declare itself safe would turn the GIL on with a RuntimeWarning.
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    code = ("import sys, tabrix, tabrix._native; from tabrix._native import csv; "
            "list(csv.stream(b'a\\n1\\n')); print(sys._is_gil_enabled())")
    done = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code],
                          capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "False"
    assert "GIL" not in done.stderr
