"""tabrix: configuration files (YAML, TOML, JSON with comments, INI, CSV, TSV)
to plain Python values and back, with a fast native core.

The codecs live in :mod:`tabrix._native`, one submodule per format, each with
``loads(data)`` and ``dumps(obj)``::

    from tabrix._native import jsonc
    jsonc.dumps({"a": [1, 2.5, None, True]})   # '{"a":[1,2.5,null,true]}'
"""

from __future__ import annotations

from tabrix import _native
from tabrix._native import csv, ini, interpolate, jsonc, toml, tsv, yaml

__all__ = ["csv", "ini", "interpolate", "jsonc", "toml", "tsv", "yaml"]
__version__ = "0.1.0"
