"""The main job end to end on the bundled examples: each format loaded into
plain Python values, written back, and shown as JSON."""

from __future__ import annotations

import os
import pathlib
import sys

from tabrix._native import csv, ini, interpolate, jsonc, toml, tsv, yaml

HERE = pathlib.Path(__file__).resolve().parent


def section(title: str) -> None:
    print(f"\n== {title} " + "=" * max(0, 60 - len(title)))


def show(label: str, action) -> None:
    try:
        result = action()
    except NotImplementedError as error:
        print(f"{label}: ({error})")
        return
    except ValueError as error:
        print(f"{label}: ValueError:\n{error}")
        return
    text = result if isinstance(result, str) else jsonc.dumps(result)
    print(f"{label}:\n{text.rstrip()}")


def read(name: str) -> str:
    return (HERE / name).read_text(encoding="utf-8")


def main() -> int:
    section("Python value -> JSON")
    value = {"name": "tabrix", "formats": ["yaml", "toml", "jsonc", "ini", "csv", "tsv"],
             "ratio": 0.1, "big": 2**70, "nothing": None}
    show("jsonc.dumps", lambda: jsonc.dumps(value))

    section("YAML with anchors and ${VAR:-default}")
    env = {"DB_HOST": "db.internal", **{k: v for k, v in os.environ.items() if k == "LOG_LEVEL"}}
    show("yaml.loads (as JSON)", lambda: yaml.loads(read("config.yaml")))
    show("interpolated", lambda: interpolate(yaml.loads(read("config.yaml")), env))
    show("as TOML", lambda: toml.dumps(interpolate(yaml.loads(read("config.yaml")), env)))

    section("TOML 1.1")
    show("toml.loads (as JSON)", lambda: toml.loads(read("config.toml")))
    show("as YAML", lambda: yaml.dumps(toml.loads(read("config.toml"))))
    show("a broken file", lambda: toml.loads(read("broken.toml")))

    section("JSON with comments")
    show("jsonc.loads (as JSON)", lambda: jsonc.loads(read("settings.jsonc")))

    section("INI")
    show("ini.loads (as JSON)", lambda: ini.loads(read("app.ini")))
    show("ini.dumps", lambda: ini.dumps(ini.loads(read("app.ini"))))

    section("CSV and TSV")
    show("csv.loads (column types inferred)", lambda: csv.loads(read("people.csv")))
    show("csv.stream_at, row by row", lambda: list(csv.stream_at(str(HERE / "people.csv"))))
    show("tsv.loads", lambda: tsv.loads(read("people.tsv")))
    show("csv.dumps", lambda: csv.dumps(csv.loads(read("people.csv"))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
