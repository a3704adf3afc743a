"""JSON with comments: loading and writing."""

from __future__ import annotations

import json
import marshal
from typing import Any, Callable

from documents import config_document, small_config_document
from harness import Case, optional_peers, small_loads_case, tiny_case
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


def json_loaders(text: str) -> dict[str, Callable[[], Any]]:
    """The JSON peers' loads of `text` (those installed here)."""
    def orjson() -> Callable[[], Any]:
        import orjson

        return lambda: orjson.loads(text)

    def msgspec() -> Callable[[], Any]:
        import msgspec

        decode = msgspec.json.Decoder().decode
        return lambda: decode(text)

    def ujson() -> Callable[[], Any]:
        import ujson

        return lambda: ujson.loads(text)

    def rapidjson() -> Callable[[], Any]:
        import rapidjson

        return lambda: rapidjson.loads(text)

    def pyjson5() -> Callable[[], Any]:
        import pyjson5

        return lambda: pyjson5.loads(text)

    return optional_peers(**{"orjson.loads": orjson, "msgspec.json.decode": msgspec, "ujson.loads": ujson,
                             "rapidjson.loads": rapidjson, "json.loads": lambda: lambda: json.loads(text),
                             "pyjson5.loads": pyjson5})


def json_writers(value: Any) -> dict[str, Callable[[], Any]]:
    """The JSON peers' dumps of `value` to a str (those installed here)."""
    def orjson() -> Callable[[], Any]:
        import orjson

        return lambda: orjson.dumps(value).decode()

    def msgspec() -> Callable[[], Any]:
        import msgspec

        encode = msgspec.json.Encoder().encode
        return lambda: encode(value).decode()

    def ujson() -> Callable[[], Any]:
        import ujson

        return lambda: ujson.dumps(value, ensure_ascii=False)

    def rapidjson() -> Callable[[], Any]:
        import rapidjson

        return lambda: rapidjson.dumps(value, ensure_ascii=False)

    def pyjson5() -> Callable[[], Any]:
        import pyjson5

        return lambda: pyjson5.dumps(value)

    return optional_peers(**{
        "orjson.dumps().decode()": orjson, "msgspec.json.encode().decode()": msgspec, "ujson.dumps": ujson,
        "rapidjson.dumps": rapidjson,
        "json.dumps": lambda: lambda: json.dumps(value, separators=(",", ":"), ensure_ascii=False),
        "pyjson5.dumps": pyjson5})


def cases() -> list[Case]:
    doc = config_document()
    text = json.dumps(doc, separators=(",", ":"))
    indented = json.dumps(doc, indent=2)
    commented = commented_text(doc)
    frozen = marshal.dumps(doc)
    small = small_config_document()
    small_commented = commented_text(small)
    comment_peers = {name: fn for name, fn in json_loaders(commented).items() if name == "pyjson5.loads"}
    tiny = {"a": 1}
    return [
        Case(
            "jsonc.dumps 1.5 MB",
            lambda: jsonc.dumps(doc),
            json_writers(doc),
            size_bytes=len(text.encode()),
            floor=lambda: marshal.dumps(doc),
            target=">= 1x orjson",
        ),
        Case(
            "jsonc.loads 1.5 MB, plain JSON",
            lambda: jsonc.loads(indented),
            json_loaders(indented),
            size_bytes=len(indented.encode()),
            floor=lambda: marshal.loads(frozen),
            target=">= 1x orjson; 1.0x floor",
        ),
        Case(
            "jsonc.loads 1.5 MB, comments",
            lambda: jsonc.loads(commented),
            comment_peers,
            size_bytes=len(commented.encode()),
            floor=lambda: marshal.loads(frozen),
        ),
        small_loads_case("jsonc.loads", jsonc.loads, small_commented, small),
        tiny_case("jsonc.loads", jsonc.loads, '{"a": 1}', json_loaders('{"a": 1}')),
        Case(
            "jsonc.dumps tiny: {'a': 1}",
            lambda: jsonc.dumps(tiny),
            json_writers(tiny),
            target="<= json.dumps",
        ),
    ]
