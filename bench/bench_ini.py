"""INI: loading and writing against configparser."""

from __future__ import annotations

import configparser
import io
import marshal
import random

from documents import WORDS
from harness import Case, small_loads_case, tiny_case
from tabrix._native import ini

OPTIONS = ("host port timeout retries enabled mode path user group level weight region zone replicas image "
           "endpoint interval threshold owner description").split()


def _value(rng: random.Random) -> str:
    kind = rng.random()
    if kind < 0.3:
        return " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 5)))
    if kind < 0.55:
        return str(rng.randint(0, 100_000))
    if kind < 0.65:
        return f"{rng.uniform(0, 1000):.{rng.randint(1, 4)}f}"
    if kind < 0.75:
        return rng.choice(("true", "false", "yes", "no"))
    if kind < 0.9:
        return f"/var/lib/{rng.choice(WORDS)}/{rng.choice(WORDS)}-{rng.randint(1, 99)}"
    return f"https://{rng.choice(WORDS)}-{rng.randint(1, 99)}.example.com:{rng.randint(1000, 9999)}/api"


def ini_document(target_bytes: int = 600_000, seed: int = 5) -> str:
    """An INI text of about `target_bytes`: sections of 5 to 25 options with
    recurring names, a comment line now and then, a blank line after each
    section. Plain values only, so that configparser reads it the same."""
    rng = random.Random(seed)
    lines: list[str] = []
    size = 0
    index = 0
    while size < target_bytes:
        chunk = []
        if index % 7 == 0:
            chunk.append(f"; {rng.choice(WORDS)} settings")
        chunk.append(f"[{rng.choice(WORDS)}.{rng.choice(WORDS)}-{index}]")
        for name in rng.sample(OPTIONS, rng.randint(5, min(25, len(OPTIONS)))):
            suffix = f"_{rng.randint(1, 3)}" if rng.random() < 0.2 else ""
            chunk.append(f"{name}{suffix} = {_value(rng)}")
        chunk.append("")
        size += sum(len(line) + 1 for line in chunk)
        lines.extend(chunk)
        index += 1
    return "\n".join(lines)


def configparser_loads(text: str) -> dict[str, dict[str, str]]:
    parser = configparser.RawConfigParser(interpolation=None, strict=False)
    parser.optionxform = str  # keep the case of option names, as ini.loads does
    parser.read_string(text)
    return {name: dict(parser.items(name, raw=True)) for name in parser.sections()}


def configparser_dumps(value: dict[str, dict[str, str]]) -> str:
    parser = configparser.RawConfigParser(interpolation=None)
    parser.optionxform = str
    parser.read_dict(value)
    out = io.StringIO()
    parser.write(out)
    return out.getvalue()


def cases() -> list[Case]:
    text = ini_document()
    value = ini.loads(text)
    if value != configparser_loads(text):
        raise AssertionError("ini.loads and configparser read the benchmark document differently")
    blob = marshal.dumps(value)
    small_text = ini_document(2_000)
    return [
        Case(
            "ini.loads 0.6 MB",
            lambda: ini.loads(text),
            {"configparser": lambda: configparser_loads(text)},
            size_bytes=len(text.encode()),
            floor=lambda: marshal.loads(blob),
            target="not slower than before",
        ),
        Case(
            "ini.dumps 0.6 MB",
            lambda: ini.dumps(value),
            {"configparser": lambda: configparser_dumps(value)},
            size_bytes=len(text.encode()),
            floor=lambda: marshal.dumps(value),
        ),
        small_loads_case("ini.loads", ini.loads, small_text, ini.loads(small_text),
                         {"configparser": lambda: configparser_loads(small_text)}),
        tiny_case("ini.loads", ini.loads, "[s]\na = 1\n", {"configparser": lambda: configparser_loads("[s]\na = 1\n")}),
    ]
