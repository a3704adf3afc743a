"""The TOML project's decoder suite, every case listed for TOML 1.1.0: valid
documents load to their expected values, invalid ones raise ValueError."""

from __future__ import annotations

import json
import math
import re

import pytest

from tabrix._native import toml

SUITE = "toml-test/tests"
VERSION_LIST = "files-toml-1.1.0"


def _cases(kind: str) -> list[str]:
    from conftest import CONFORMANCE

    listing = CONFORMANCE / SUITE / VERSION_LIST
    if not listing.is_file():
        return []
    names = [line.strip() for line in listing.read_text().splitlines()]
    return [n for n in names if n.startswith(kind + "/") and n.endswith(".toml")]


_DATE = re.compile(r"(\d{4}-\d{2}-\d{2})")
_TIME = re.compile(r"(\d{2}):(\d{2})(?::(\d{2})(?:\.(\d+))?)?")
_OFFSET = re.compile(r"[Zz]|[+-]\d{2}:\d{2}")


def datetime_fields(text: str) -> tuple:
    """A date-time text as comparable fields: which parts it has and their
    values, with absent seconds as 0, the fraction as nanoseconds and the
    offset in minutes."""
    date = time = offset = None
    rest = text
    if m := _DATE.match(rest):
        date, rest = m[1], rest[m.end():]
        if rest:
            assert rest[0] in "Tt ", text
            rest = rest[1:]
    if rest:
        m = _TIME.match(rest)
        assert m, text
        fraction = (m[4] or "")[:9].ljust(9, "0")
        time = (int(m[1]), int(m[2]), int(m[3] or 0), int(fraction))
        rest = rest[m.end():]
    if rest:
        assert date is not None and _OFFSET.fullmatch(rest), text
        offset = 0 if rest in "Zz" else (-1 if rest[0] == "-" else 1) * (int(rest[1:3]) * 60 + int(rest[4:6]))
    return date, time, offset


_DATETIME_KINDS = {
    "datetime": (True, True, True),
    "datetime-local": (True, True, False),
    "date-local": (True, False, False),
    "time-local": (False, True, False),
}


def check(actual, expected, where="root"):
    if isinstance(expected, dict) and set(expected) == {"type", "value"} and isinstance(expected["type"], str):
        kind, text = expected["type"], expected["value"]
        if kind == "string":
            assert actual == text and type(actual) is str, where
        elif kind == "integer":
            assert type(actual) is int and actual == int(text), where
        elif kind == "float":
            assert type(actual) is float, where
            if text.lstrip("+-") == "nan":
                assert math.isnan(actual), where
            else:
                wanted = float(text)
                assert actual == wanted, where
                assert math.copysign(1, actual) == math.copysign(1, wanted), where
        elif kind == "bool":
            assert actual is (text == "true"), where
        else:
            assert type(actual) is str, where
            ours, theirs = datetime_fields(actual), datetime_fields(text)
            has_date, has_time, has_offset = _DATETIME_KINDS[kind]
            assert (ours[0] is not None, ours[1] is not None, ours[2] is not None) == (has_date, has_time, has_offset)
            assert ours == theirs, f"{where}: {actual!r} vs {text!r}"
        return
    if isinstance(expected, dict):
        assert type(actual) is dict, where
        assert set(actual) == set(expected), f"{where}: keys {sorted(actual)} vs {sorted(expected)}"
        for key, value in expected.items():
            check(actual[key], value, f"{where}.{key}")
        return
    assert isinstance(expected, list), where
    assert type(actual) is list and len(actual) == len(expected), where
    for i, (a, e) in enumerate(zip(actual, expected)):
        check(a, e, f"{where}[{i}]")


def read_document(path) -> str | None:
    """The document as a str, or None when its bytes are not UTF-8 (a str
    cannot hold them, so they never reach the parser)."""
    try:
        return path.read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        return None


@pytest.mark.parametrize("name", _cases("valid"))
def test_valid_document_loads_to_expected_value(conformance_dir, name):
    path = conformance_dir / SUITE / name
    expected = json.loads(path.with_suffix(".json").read_text(encoding="utf-8"))
    text = read_document(path)
    assert text is not None
    check(toml.loads(text), expected)


@pytest.mark.parametrize("name", _cases("invalid"))
def test_invalid_document_is_rejected(conformance_dir, name):
    path = conformance_dir / SUITE / name
    text = read_document(path)
    if text is None:
        # Bytes that are not UTF-8 cannot be a str; as the closest str, the
        # undecodable bytes become lone surrogates, which the argument layer
        # rejects before any parsing.
        text = path.read_bytes().decode("utf-8", "surrogateescape")
        with pytest.raises(UnicodeEncodeError):
            toml.loads(text)
        return
    with pytest.raises(ValueError) as caught:
        toml.loads(text)
    assert str(caught.value).startswith("TOML parse error at line ")
    assert str(caught.value).endswith("\n")


def test_suite_is_complete(conformance_dir):
    assert len(_cases("valid")) > 200 and len(_cases("invalid")) > 400
