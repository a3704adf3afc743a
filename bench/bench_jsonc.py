"""JSON with comments: loading and writing."""

from __future__ import annotations

import json
import marshal
from typing import Any

from documents import config_document, small_config_document
from harness import Case, small_loads_case
from tabrix._native import jsonc


def commented_text(value: Any) -> str:
    """The value as a hand-written JSONC config looks: indented, a line
    comment above every tenth member, a block comment after every twentieth
    element or member, and a trailing comma after the last entry of every
    non-empty array and object."""
    out: list[str] = []
    count = 0

    def write(item: Any, indent: str) -> None:
        nonlocal count
        inner = indent + "  "
        if isinstance(item, dict) and item:
            out.append("{\n")
            for key, member in item.items():
                count += 1
                if count % 10 == 0:
                    out.append(f"{inner}// {key}: set by the deployment\n")
                out.append(f"{inner}{json.dumps(key)}: ")
                write(member, inner)
                out.append(", /* checked */\n" if count % 20 == 0 else ",\n")
            out.append(indent + "}")
        elif isinstance(item, list) and item:
            out.append("[\n")
            for element in item:
                count += 1
                out.append(inner)
                write(element, inner)
                out.append(", /* checked */\n" if count % 20 == 0 else ",\n")
            out.append(indent + "]")
        else:
            out.append(json.dumps(item))

    out.append("// generated configuration\n")
    write(value, "")
    out.append("\n")
    return "".join(out)


def cases() -> list[Case]:
    doc = config_document()
    text = json.dumps(doc, separators=(",", ":"))
    indented = json.dumps(doc, indent=2)
    commented = commented_text(doc)
    frozen = marshal.dumps(doc)
    small = small_config_document()
    small_commented = commented_text(small)
    return [
        Case(
            "jsonc.dumps 1.5 MB",
            lambda: jsonc.dumps(doc),
            {"json.dumps": lambda: json.dumps(doc, separators=(",", ":"))},
            size_bytes=len(text.encode()),
            floor=lambda: marshal.dumps(doc),
            target="3x json.dumps",
        ),
        Case(
            "jsonc.loads 1.5 MB, plain JSON",
            lambda: jsonc.loads(indented),
            {"json.loads": lambda: json.loads(indented)},
            size_bytes=len(indented.encode()),
            floor=lambda: marshal.loads(frozen),
            target="1.3x json.loads; 1.5x floor",
        ),
        Case(
            "jsonc.loads 1.5 MB, comments",
            lambda: jsonc.loads(commented),
            {"json5.loads": lambda: _json5().loads(commented)},
            size_bytes=len(commented.encode()),
            floor=lambda: marshal.loads(frozen),
            target="500x json5.loads",
            rounds=1,  # json5 takes about 20 s per call
        ),
        small_loads_case("jsonc.loads", jsonc.loads, small_commented, small,
                         {"json5.loads": lambda: _json5().loads(small_commented)}),
    ]


def _json5() -> Any:
    import json5  # Debian's python3-json5, installed by `make bench`

    return json5
