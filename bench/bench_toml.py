"""TOML: loading against rtoml, tomllib and tomli, writing against rtoml and
tomli_w, on a generated config of about 1 MB with arrays of tables."""

from __future__ import annotations

import marshal
import tomllib
from typing import Any, Callable

import tomli_w

from documents import config_document
from harness import Case, optional_peers, small_loads_case, tiny_case
from tabrix._native import toml


def toml_config_document(target_bytes: int = 1_000_000) -> dict:
    """The benchmark config, sized so that its TOML text is about
    `target_bytes`: [[services]] blocks with [services.env]-style sub-tables,
    and regions holding arrays of tables of zones."""
    doc = config_document(target_bytes=target_bytes)
    scale = target_bytes / len(tomli_w.dumps(doc).encode())
    return config_document(target_bytes=int(target_bytes * scale))


def toml_loaders(text: str) -> dict[str, Callable[[], Any]]:
    def rtoml() -> Callable[[], Any]:
        import rtoml as module

        return lambda: module.loads(text)

    def tomli() -> Callable[[], Any]:
        import tomli as module

        return lambda: module.loads(text)

    return optional_peers(**{"rtoml.loads": rtoml, "tomllib.loads": lambda: lambda: tomllib.loads(text),
                             "tomli.loads": tomli})


def toml_writers(value: Any) -> dict[str, Callable[[], Any]]:
    def rtoml() -> Callable[[], Any]:
        import rtoml as module

        return lambda: module.dumps(value)

    return optional_peers(**{"rtoml.dumps": rtoml, "tomli_w.dumps": lambda: lambda: tomli_w.dumps(value)})


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
            toml_loaders(text),
            size_bytes=size,
            floor=lambda: marshal.loads(frozen),
            target="> 1x rtoml; 1.3x floor",
        ),
        Case(
            f"toml.dumps {size / 1e6:.1f} MB",
            lambda: toml.dumps(doc),
            toml_writers(doc),
            size_bytes=size,
            floor=lambda: marshal.dumps(doc),
            target="> 1x rtoml",
        ),
        small_loads_case("toml.loads", toml.loads, small_text, small_doc, toml_loaders(small_text)),
        tiny_case("toml.loads", toml.loads, "a = 1", toml_loaders("a = 1")),
    ]
