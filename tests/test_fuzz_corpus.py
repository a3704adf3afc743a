"""The fuzz targets' seed corpora (fuzz/corpus/<target>/), inputs that once
crashed a target included, run through the Python functions: each ends in a
result or a clear exception, never a crash."""

import pathlib

import pytest

from tabrix._native import csv, ini, interpolate, jsonc, toml, tsv, yaml

CORPUS = pathlib.Path(__file__).resolve().parent.parent / "fuzz" / "corpus"
CLEAR = (ValueError, RecursionError)


def inputs(target):
    folder = CORPUS / target
    return sorted(folder.iterdir()) if folder.is_dir() else []


@pytest.mark.parametrize("target, load", [("yaml_load", yaml.loads), ("toml_load", toml.loads),
                                          ("jsonc_load", jsonc.loads), ("ini_load", ini.loads)])
def test_text_loaders(target, load):
    files = inputs(target)
    assert files, f"no corpus for {target}"
    for path in files:
        try:
            text = path.read_bytes().decode("utf-8")
        except UnicodeDecodeError:
            continue  # the targets take valid UTF-8 only, as loads does
        try:
            load(text)
        except CLEAR:
            pass


def test_csv_reader():
    # Byte 0 picks the delimiter, bytes 1 and 2 the chunk sizes of the target;
    # the rest is the document.
    files = inputs("csv_read")
    assert files
    for path in files:
        data = path.read_bytes()
        if len(data) < 3:
            continue
        codec = tsv if data[0] & 1 else csv
        body = data[3:]
        try:
            for _ in codec.stream(body):
                pass
        except CLEAR:
            pass
        try:
            codec.loads(body.decode("utf-8"))
        except (UnicodeDecodeError, *CLEAR):
            pass


def test_interpolation():
    files = inputs("interpolate")
    assert files
    env = {"A": "a$", "B": "", "HOME": "/h"}
    for path in files:
        try:
            text = path.read_bytes().decode("utf-8")
        except UnicodeDecodeError:
            continue
        try:
            interpolate([text, {"k": text}], env)
        except CLEAR:
            pass
