"""TOML: loading against tomllib and tomli, writing against tomli_w, on a
generated config of about 1 MB with arrays of tables."""

from __future__ import annotations

import marshal
import tomllib

import tomli
import tomli_w

from documents import config_document
from harness import Case, small_loads_case
from tabrix._native import toml


def toml_config_document(target_bytes: int = 1_000_000) -> dict:
    """The benchmark config, sized so that its TOML text is about
    `target_bytes`: [[services]] blocks with [services.env]-style sub-tables,
    and regions holding arrays of tables of zones."""
    doc = config_document(target_bytes=target_bytes)
    scale = target_bytes / len(tomli_w.dumps(doc).encode())
    return config_document(target_bytes=int(target_bytes * scale))


def cases() -> list[Case]:
    doc = toml_config_document()
    text = tomli_w.dumps(doc)
    assert toml.loads(text) == tomllib.loads(text) == doc
    frozen = marshal.dumps(doc)
    size = len(text.encode())
    small_doc = toml_config_document(2_000)
    small_text = tomli_w.dumps(small_doc)
    return [
        Case(
            f"toml.loads {size / 1e6:.1f} MB",
            lambda: toml.loads(text),
            {"tomllib.loads": lambda: tomllib.loads(text), "tomli.loads": lambda: tomli.loads(text)},
            size_bytes=size,
            floor=lambda: marshal.loads(frozen),
            target="25x tomllib; 3x floor",
        ),
        Case(
            f"toml.dumps {size / 1e6:.1f} MB",
            lambda: toml.dumps(doc),
            {"tomli_w.dumps": lambda: tomli_w.dumps(doc)},
            size_bytes=size,
            floor=lambda: marshal.dumps(doc),
            target="10x tomli_w",
        ),
        small_loads_case("toml.loads", toml.loads, small_text, small_doc,
                         {"tomllib.loads": lambda: tomllib.loads(small_text)}),
    ]
