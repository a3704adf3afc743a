"""`make demo`: a tour of the tabrix command line over the files in examples/.

Each step prints the command, then what it printed. The YAML config uses
anchors, merge keys and ${VAR:-default} references; broken.toml has an error
on its last line.
"""

from __future__ import annotations

import os
import pathlib
import shlex
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent


def run(*args: str, env: dict[str, str] | None = None, note: str = "") -> None:
    shown = " ".join(shlex.quote(a) for a in args)
    prefix = " ".join(f"{k}={shlex.quote(v)}" for k, v in (env or {}).items())
    print(f"\n$ {prefix + ' ' if prefix else ''}tabrix {shown}" + (f"    # {note}" if note else ""))
    result = subprocess.run([sys.executable, "-m", "tabrix", *args], capture_output=True, text=True,
                            env={**os.environ, **(env or {})}, cwd=ROOT)
    sys.stdout.write(result.stdout)
    sys.stdout.write(result.stderr)
    if result.returncode:
        print(f"(exit status {result.returncode})")


def main() -> int:
    print("tabrix: YAML, TOML, JSON with comments, INI, CSV and TSV to plain values and back.")
    run("convert", "examples/config.yaml", "--to", "toml", "--env",
        env={"DB_HOST": "db.internal"}, note="anchors merged, ${VAR:-default} expanded")
    run("convert", "examples/config.yaml", "--to", "json", "--env", env={"LOG_LEVEL": "debug"})
    run("get", "examples/config.yaml", "services.1.replicas")
    run("get", "examples/config.toml", "users.0", note="dates become text, containers print as JSON")
    run("convert", "examples/settings.jsonc", "--to", "yaml", note="comments, bare keys, trailing commas, hex")
    run("convert", "examples/app.ini", "--to", "json")
    run("check", "examples/config.yaml", "examples/config.toml", "examples/broken.toml",
        note="the broken file's error, located")
    run("rows", "examples/people.csv", note="streamed a record at a time, each cell typed")
    run("convert", "examples/people.csv", "--to", "yaml", note="loaded whole: each column typed as one")
    return 0


if __name__ == "__main__":
    sys.exit(main())
