"""python -m tabrix: the command line (see tabrix.cli)."""

from tabrix.cli import run

run()
