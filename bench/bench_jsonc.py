"""JSON with comments: writing (and loading, once it exists)."""

from __future__ import annotations

import json

from documents import config_document
from harness import Case
from tabrix._native import jsonc


def cases() -> list[Case]:
    doc = config_document()
    text = json.dumps(doc, separators=(",", ":"))
    return [
        Case(
            "jsonc.dumps 1.5 MB",
            lambda: jsonc.dumps(doc),
            {"json.dumps": lambda: json.dumps(doc, separators=(",", ":"))},
            size_bytes=len(text.encode()),
            target="3x json.dumps",
        ),
    ]
