"""YAML: loading and writing a generated ~1 MB block-style config, against
PyYAML's C-accelerated CSafeLoader and CSafeDumper and ruamel.yaml (PyPI)."""

from __future__ import annotations

import marshal
from typing import Callable

import yaml as pyyaml
from documents import config_document
from harness import Case, optional_peers, small_loads_case, tiny_case
from tabrix._native import yaml


def yaml_config(target_bytes: int = 1_000_000) -> tuple[dict, str]:
    """The config value and its block-style YAML text of about `target_bytes`."""
    doc = config_document(target_bytes=target_bytes, seed=13)
    text = yaml.dumps(doc)
    # The text means the same to both loaders, so both do the same job.
    assert pyyaml.load(text, Loader=pyyaml.CSafeLoader) == doc == yaml.loads(text)
    return doc, text


def ruamel(method: str, *args: object) -> dict[str, Callable[[], object]]:
    """ruamel.yaml's safe loader or dumper (its C parser and emitter), if installed."""
    def make() -> Callable[[], object]:
        import io

        from ruamel.yaml import YAML

        handle = YAML(typ="safe")
        if method == "load":
            return lambda: handle.load(*args)

        def dump() -> str:
            out = io.StringIO()
            handle.dump(*args, out)
            return out.getvalue()
        return dump

    return optional_peers(**{f"ruamel.yaml {method}": make})


def cases() -> list[Case]:
    doc, text = yaml_config()
    blob = marshal.dumps(doc)
    size = len(text.encode())
    small_doc, small_text = yaml_config(2_000)
    # The same document with a directive first: outside what the fast scanner
    # reads, so the full parser reads it (the cost of every text the fast
    # scanner leaves, near enough).
    directive = "%YAML 1.2\n---\n" + text
    return [
        Case(
            "yaml.loads 1 MB",
            lambda: yaml.loads(text),
            {"CSafeLoader": lambda: pyyaml.load(text, Loader=pyyaml.CSafeLoader), **ruamel("load", text)},
            size_bytes=size,
            floor=lambda: marshal.loads(blob),
            target="40x CSafeLoader; 1.5x floor",
        ),
        Case(
            "yaml.loads 1 MB, full parser",
            lambda: yaml.loads(directive),
            size_bytes=size,
            floor=lambda: marshal.loads(blob),
        ),
        Case(
            "yaml.dumps 1 MB",
            lambda: yaml.dumps(doc),
            {"CSafeDumper": lambda: pyyaml.dump(doc, Dumper=pyyaml.CSafeDumper, sort_keys=False, allow_unicode=True),
             **ruamel("dump", doc)},
            size_bytes=size,
            floor=lambda: marshal.dumps(doc),
            target="30x CSafeDumper",
        ),
        small_loads_case("yaml.loads", yaml.loads, small_text, small_doc,
                         {"CSafeLoader": lambda: pyyaml.load(small_text, Loader=pyyaml.CSafeLoader)}),
        tiny_case("yaml.loads", yaml.loads, "a: 1\n", {"CSafeLoader": lambda: pyyaml.load("a: 1\n", Loader=pyyaml.CSafeLoader)}),
    ]
