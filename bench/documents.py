"""Generated documents of realistic shape for the benchmarks (deterministic)."""

from __future__ import annotations

import json
import random
from typing import Any

WORDS = ("alpha beta gamma delta epsilon service region cluster node replica timeout retry backend frontend "
         "cache queue worker primary secondary enabled disabled zone west east north south metrics logs").split()


def _word(rng: random.Random) -> str:
    return rng.choice(WORDS)


def _scalar(rng: random.Random) -> Any:
    kind = rng.random()
    if kind < 0.35:
        return " ".join(_word(rng) for _ in range(rng.randint(1, 4)))
    if kind < 0.6:
        return rng.randint(0, 100_000)
    if kind < 0.75:
        return round(rng.uniform(0, 1000), rng.randint(1, 4))
    if kind < 0.9:
        return rng.random() < 0.5
    return f"{_word(rng)}-{rng.randint(1, 99)}.example.com"


def _service(rng: random.Random, index: int) -> dict[str, Any]:
    return {
        "name": f"{_word(rng)}-{index}",
        "enabled": rng.random() < 0.8,
        "replicas": rng.randint(1, 12),
        "cpu": round(rng.uniform(0.1, 8), 2),
        "image": f"registry.example.com/{_word(rng)}/{_word(rng)}:{rng.randint(1, 9)}.{rng.randint(0, 20)}",
        "ports": [rng.randint(1000, 65000) for _ in range(rng.randint(1, 3))],
        "env": {f"{_word(rng).upper()}_{i}": _scalar(rng) for i in range(rng.randint(2, 6))},
        "labels": {_word(rng): _word(rng) for _ in range(rng.randint(1, 4))},
        "healthcheck": {"path": f"/{_word(rng)}/health", "interval": rng.randint(5, 60), "timeout": 2.5},
    }


def config_document(target_bytes: int = 1_500_000, seed: int = 7) -> dict[str, Any]:
    """A config-like value: nested dicts, lists of dicts, strings, ints, floats
    and bools, whose compact JSON text is about `target_bytes` long."""
    rng = random.Random(seed)
    doc: dict[str, Any] = {
        "version": 3,
        "name": "benchmark config",
        "settings": {f"option_{i}": _scalar(rng) for i in range(50)},
        "services": [],
        "regions": {},
    }
    size = len(json.dumps(doc))
    index = 0
    while size < target_bytes:
        service = _service(rng, index)
        if index % 5 == 4:
            region = doc["regions"].setdefault(_word(rng) + str(index % 40), {"zones": [], "weight": rng.random()})
            region["zones"].append({"id": index, "primary": _word(rng), "capacity": rng.randint(10, 1000)})
        doc["services"].append(service)
        size += len(json.dumps(service)) + 1
        index += 1
    return doc


def small_config_document() -> dict[str, Any]:
    """About 2 KB of JSON: where call overhead dominates."""
    return config_document(target_bytes=2_000, seed=11)
