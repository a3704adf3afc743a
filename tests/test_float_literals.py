"""Decimal float literals read the same, bit for bit, by every loader, and as
Python's float() reads them: the nearest double. Literals of up to 19 digits
with a short exponent take a shortcut in the readers, so the strategy keeps
to the edges of that shortcut (2^53, 10^22, 19 digits) as well as beyond."""

import math
import struct

from hypothesis import example, given, settings
from hypothesis import strategies as st

from tabrix._native import csv, jsonc, toml, yaml


def bits(value: float) -> bytes:
    return struct.pack("<d", value)


# Digits with no leading zero (or a lone 0), a fraction, an exponent: a form
# that JSON, TOML, YAML and CSV all read as a float.
LITERALS = st.builds(
    lambda sign, whole, fraction, exponent: sign + whole + fraction + exponent,
    st.sampled_from(["", "-"]),
    st.just("0") | st.from_regex(r"[1-9][0-9]{0,21}", fullmatch=True),
    st.sampled_from([""]) | st.from_regex(r"\.[0-9]{1,21}", fullmatch=True),
    st.sampled_from(["", "e22", "e23", "e-22", "e-23", "E+5", "e-324", "e308", "e309"])
    | st.integers(-40, 40).map(lambda e: f"e{e}"),
).filter(lambda text: "." in text or "e" in text.lower())


LOADERS = {
    "jsonc": lambda text: jsonc.loads(text),
    "toml": lambda text: toml.loads(f"x = {text}")["x"],
    "yaml": lambda text: yaml.loads(f"x: {text}")["x"],
    "csv": lambda text: csv.loads(f"x\n{text}\n")[0]["x"],
}


@settings(max_examples=500)
@given(LITERALS)
@example("9007199254740993.0")  # 2^53 + 1: the first integer a double cannot hold
@example("9007199254740992.0e22")
@example("1234567890123456789.0")  # 19 digits, beyond 2^53
@example("0.1e-22")
@example("123456789012345.6")
def test_every_loader_reads_the_nearest_double(text):
    expected = float(text)
    for name, load in LOADERS.items():
        got = load(text)
        assert isinstance(got, float), name
        assert bits(got) == bits(expected) or (math.isnan(got) and math.isnan(expected)), (name, text, got)
