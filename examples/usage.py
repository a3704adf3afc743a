"""A typed tour of the tabrix API (checked with mypy --strict by the tests)."""

from __future__ import annotations

import io
import pathlib
import tempfile
from typing import Any

import tabrix


def main() -> None:
    here = pathlib.Path(__file__).resolve().parent
    config: Any = tabrix.load(here / "config.yaml")
    config = tabrix.interpolate(config, {"DB_HOST": "db.internal"})
    services: list[dict[str, Any]] = config["services"]
    print([service["name"] for service in services])

    settings = tabrix.loads("[server]\nport = 8080\n", "toml")
    print(tabrix.dumps(settings, "yaml"), end="")

    with tempfile.TemporaryDirectory() as folder:
        target = pathlib.Path(folder) / "settings.json"
        tabrix.dump(settings, target)
        print(target.read_text())

    buffer = io.StringIO("a = 1\n")
    print(tabrix.load(buffer, "toml"))

    for row in tabrix.iter_rows(here / "people.csv"):
        name: str = row["name"]
        print(name, row["age"])


if __name__ == "__main__":
    main()
