"""Environment interpolation over a loaded config, against a plain-Python walk
that runs string.Template(...).safe_substitute on every string."""

from __future__ import annotations

import marshal
import string
from typing import Any

from documents import config_document, small_config_document
from harness import Case
from tabrix._native import interpolate

ENV = {
    "HOME": "/home/service",
    "REGION": "eu-west-1",
    "CLUSTER": "prod-7",
    "REGISTRY": "registry.internal.example.com",
    "LOG_LEVEL": "info",
    "DATA_DIR": "/var/lib/data",
    "VERSION": "4.12.0",
    "USER": "deploy",
}
NAMES = sorted(ENV)


def _reference(index: int, text: str) -> str:
    """`text` with a reference in one of the forms both sides understand."""
    name = NAMES[index % len(NAMES)]
    form = index % 4
    if form == 0:
        return f"${name}/{text}"
    if form == 1:
        return f"{text} ${{{name}}}"
    if form == 2:
        return f"${{{name}}}-{text}-${NAMES[(index + 3) % len(NAMES)]}"
    return f"{text} costs $$5 in ${name}"


def config_with_references(doc: dict[str, Any] | None = None) -> dict[str, Any]:
    """The ~1.5 MB config (or `doc`) with a reference in every fifth string value."""
    count = 0

    def walk(value: Any) -> Any:
        nonlocal count
        if isinstance(value, str):
            count += 1
            return _reference(count // 5, value) if count % 5 == 0 else value
        if isinstance(value, list):
            return [walk(v) for v in value]
        if isinstance(value, dict):
            return {k: walk(v) for k, v in value.items()}
        return value

    return walk(config_document() if doc is None else doc)


def template_walk(value: Any, env: dict[str, str]) -> Any:
    if isinstance(value, str):
        return string.Template(value).safe_substitute(env)
    if isinstance(value, list):
        return [template_walk(v, env) for v in value]
    if isinstance(value, dict):
        return {k: template_walk(v, env) for k, v in value.items()}
    return value


def cases() -> list[Case]:
    doc = config_with_references()
    if interpolate(doc, ENV) != template_walk(doc, ENV):
        raise AssertionError("interpolate and string.Template disagree on the benchmark document")
    # The floor: building a structure like the result from scratch.
    result_blob = marshal.dumps(interpolate(doc, ENV))
    small = config_with_references(small_config_document())
    small_blob = marshal.dumps(interpolate(small, ENV))
    return [
        Case(
            "interpolate 1.5 MB, references in 1/5 of strings",
            lambda: interpolate(doc, ENV),
            {"Template walk": lambda: template_walk(doc, ENV)},
            floor=lambda: marshal.loads(result_blob),
            target="5x Template walk",
        ),
        Case(
            "interpolate 2 KB",
            lambda: interpolate(small, ENV),
            {"Template walk": lambda: template_walk(small, ENV)},
            floor=lambda: marshal.loads(small_blob),
        ),
    ]
