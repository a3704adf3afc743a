"""The YAML fast scanner against the YAML parser.

yaml.loads reads the common shape of configuration text with its own fast
scanner and leaves every other text to the parser. The test driver
yaml_fast_check (tests/native, built with the module) runs each text both
ways: the fast scanner's events must be the parser's exactly, and the load with the fast
scanner first must give the same value or the same error as the load with the
parser alone. Its verdict per text is "fast" (the fast scanner read it),
"bail" (it left the text to the parser) or "mismatch: ..." (a fault).
"""

import pathlib
import random
import re
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import native_driver
from tabrix._native import yaml

ROOT = pathlib.Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"


def verdicts(texts):
    """The driver's verdict on each text."""
    driver = native_driver("yaml_fast_check")
    if driver is None:
        pytest.fail("yaml_fast_check was not built with the imported tabrix._native")
    data = b"".join(b"%d\n%s" % (len(t), t) for t in (t.encode("utf-8") for t in texts))
    done = subprocess.run([str(driver)], input=data, capture_output=True, check=True, timeout=600)
    lines = done.stdout.decode().splitlines()
    assert len(lines) == len(texts)
    return lines


def assert_agree(texts):
    """No text where the two event sources differ; the verdicts."""
    results = verdicts(texts)
    faults = [(text, verdict) for text, verdict in zip(texts, results) if verdict.startswith("mismatch")]
    assert not faults, faults[:5]
    return results


# ------------------------------------------------------------ the subset, text by text

FAST = [
    # Block structure: mappings, sequences, indentless and compact forms.
    "a: 1", "a: 1\nb: 2\n", "- 1\n- x", "a:\n  b:\n    c: d\n  e: f\ng: h",
    "a:\n- 1\n- 2\nb: 3", "a:\n    - 1\n    - 2\nb: 3", "- a: 1\n  b: 2\n- c: 3",
    "-   a: 1\n    b: 2", "- - a\n  - b\n- - c", "- - - x\n    - y\n  - z", "-\n  a: 1\n-\n  - 2",
    "a:\n- b: 1\n  c:\n  - d\n- e\nf: g", "a:\n b:\n  c: 1", "  a: 1\n  b: 2", " - 1\n - 2",
    # Empty nodes.
    "a:", "a:\nb:", "- \n-", "a:\n  # c\nb: 1", "- a:\n  b:", "---", "--- # c", "", "# c\n\n# d",
    "---\na: 1", "--- \n- 1",
    # Plain scalars: what they may hold, and where they end.
    "a: b c  d", "a: b  ", "a: b # c", "a: b#c", "a: b:c", "a: http://h:80/p?q=1&r=2", "a: -1", "a: -x",
    "a: ?x", "a: :x", "a: x? y", "a: x 'y'", "a: x'y\"z", "a: x [y]", "k [x]: v", "a: 0x1F", "a: .inf",
    "a: ~", "a: ---", "a: ...", "a: x,y", "a: x{y}", "a: ${A:-b}", "a b : c", "-1: x", "?x: 1", ":x: 1",
    "a:b: c", "a: é日本😀", "é: x", "a: x\xa0y", "42", "x # c", "a: 1\n\n\n   \nb: 2", "a: 1   \n  # c\nb: 2",
    "a: x ## y", "a: x\n#c\n  #d\nb: y", "a", "a: b\tc", "a\tb: c \t d", "a: [b\tc, d]", "a: 1 # c\td",
    # Quoted scalars.
    "a: 'x'", "a: 'it''s'", "a: ''", "a: ''''", "'k': v", "'k' : v", '"k": v', "a: ' x '", "a: 'a\"b'",
    'a: "x"', 'a: ""', r'a: "\0\a\b\t\n\v\f\r\e\ \"\/\\"', r'a: "\N\_\L\P"', r'a: "\x41\xe9\u00e9\U0001F600"',
    r'a: "\u0000"', r'a: "x\\"', "a: '#'", 'a: "# x"', "a: 'x' # c", "- 'a': 1\n  b: 2", "'a b': 'c: d'",
    "a: '\t'", 'a: "\tx\t"', 'a: "\\\t"',
    # Plain scalars over several lines: folded, up to a less indented line or a comment.
    "a: b\n c", "a: b\n\n c", "a: b  \n   c d  \n\n\n  e\nf: g", "- a\n  b\n- c", "- a\n b # c\n- d",
    "x\ny", "x\n\n  y\nz", "a: b\n  - c\n  [d] &e *f !g |h >i 'j' \"k\" %l @m\n  n#o", "a: b\n  # c\nd: e",
    "a:\n  b: c\n   d\n  e: f", "- - a\n    b\n  - c", "a:\n  b\nc: d", "a:\n    b\n  c\n\n d\ne: f", "-\n  b\n- c",
    "a:\n  'b'\nc:\n  \"d\"", "a:\n  [b, c]\nd:\n  {e: f}\ng: &x\n  h\ni:\n  *x", "a: &x\n  [b]", "a: b\n   \n  c",
    "a: b\n  ---\n  ...", "a: b\n  x:y",
    # Literal and folded block scalars: indentation, folding, chomping.
    "a: |\n  x\n  y\nb: 1", "a: >\n  x\n  y\n\n  z\n   w\n  v\nb: 1", "a: |-\n  x\n\n", "a: |+\n  x\n\n\nb: 1",
    "a: |\n  x", "a: |\nb: 1", "a: >-\n", "a: |2\n    x\n   y", "a: |1-\n  x", "a: >+2\n   x\n  y",
    "a: |  # c\n  x\n  # in the text\n# a comment\nb: 1", "a: |\n\n  \n  x\n      \n  y\n", "a: |\n  x\ty\n  \tz",
    "- |\n x\n- >\n  y\n   z", "- a: |\n    x\n  b: >\n    y", "a:\n- |\n  x\n- y", "a: &x |\n  z\nb: *x",
    "a: >\n  x\n\n\n  y\n  \n  z\n", "a: |\n  é😀\n", "a: >\n  x\n  \ty",
    # Flow collections on one line.
    "a: []", "a: {}", "a: [1, 2]", "a: [ 1 , 2 ]", "a: [x y, 'q', \"d\"]", "a: {b: 1, c: [2, 3]}",
    "a: [[1], [2, [3]], {}]", "a: {'b': c, \"d\": e}", "a: [a:b, -1, x#y, x?]", "[1, 2]", "{a: 1}",
    "- [1]\n- {a: b}", "a: [x] # c",
    # Anchors and aliases.
    "a: &x 1\nb: *x", "a: &x\n  b: 1\nc: *x", "a: &x\n- 1\nb: *x", "- &x [1, 2]\n- *x", "- &x\n  a: 1\n- *x",
    "a: &x\nb: *x", "a: &x [1]\nb: [*x, {c: *x}]", "- &a-b_1 x\n- *a-b_1 # c", "a: &x [*x]",
    # Aliases to anchors never defined: the loads fail alike.
    "a: *nope", "a: [*nope]", "a: *x",
    "base: &b {x: 1}\nd:\n  <<: *b\n  y: 2",
    # Tags on nodes of one line.
    "a: !REF x", "- !!str 5\n- ! a\n- !t &a [1]\n- &b !u.v/w 'q'\n- *a", "a: !!int x", "a: !t |\n  x",
    "a: !!map {b: 1}", "a: !t-x_y [1]", "- !!float 1",
    # CR LF line ends read as LF.
    "a: 1\r\nb: 2\r\n", "a: |\r\n  x\r\n\r\n  y\r\nb: c\r\n  d\r\n# e\r\n", "- a\r\n-\r\n  b: 'c'",
    # A key of 1024 bytes is still a simple key.
    "k" * 1024 + ": v", "- " + "k" * 1024 + ": v",
]

BAIL = [
    # Characters the reader or the scanner treats specially.
    "a:\tb", "a: 1\t# c", "\ta: 1", "a:\n\t- 1", "-\tx", "a: 1\rb: 2", "a: 1\r\nb: 2\r", "a: 'x\r\n  y'",
    "a: x\u0085y", "a: x\u2028y", "a: x\u2029y", "a: \ufeff", "a: 1\n\ufeffb: 2", "a: \x00", "a: \x01",
    "a: \x7f", "a: \x9f", "a: \ufffe", "a: b\t", "a: b\t\nc: d", "a: b\t#c", "a\t: b", "a: [b\t, c]",
    "a: [b\t]", "a: b\t:c",
    # Scalars over several lines, but plain ones in the block context.
    "a: 'b\n  c'", 'a: "b\n  c"', 'a: "b\\\n  c"', "a:\n  'b'\n   c", "a:\n  [b]: c", "a:\n  *b : c", "a: [1,\n  2]",
    "a: {b: 1,\n  c: 2}", "a: [1 # c\n]", "a: b\n  c: d", "a: b\n  : d", "a: b\n  c:", "a: b\n\tc", "a: b\n  \tc",
    "a: b\n  c\n  # x\n  d", "x\n---\ny", "- a\n  b: c",
    # Block scalars the fast scanner does not take, tags, directives, markers, documents.
    "a: |#c\n  x", "a: |\t\n  x", "a: |0\n  x", "a: |-0\n  x", "a: |0-\n  x", "a: |\n\tx", "a: |\n  x\n\ty",
    "a: |\n  x\n y", "|\n x", "a: |\n      \n  x", "a: >\n  \tx", "a: !t\n  b: 1", "a: !t",
    "- !t\n- x", "a: !<tag:x> y", "a: !e!x y", "a: !t%21 y", "a: !!", "a: !! x", "a: !t:x y", "- !t k: v",
    "a: !t *x", "a: !t !u x", "a: !t\tx", "!t a: 1", "%YAML 1.1\n---\na: 1", "a: 1\n...", "a: 1\n---\nb: 2",
    "--- x", "--- |\n x", "...", "a: 1\n--- ",
    # Keys the fast scanner leaves to the parser.
    "? a\n: 1", "[a]: 1", "{a: b}: 1", "&x a: 1", "*x : 1", "- &x a: 1", "k" * 1025 + ": v",
    "é" * 600 + ": v", "a: 1\nb", "- a\nb: 1", "a: 1\n- b", "'a'x: 1", "'a':b", '"a"#c',
    # Values the fast scanner leaves to the parser.
    "a: b: c", "a: - b", "a: ? b", "a: 'x'#c", "a: [x]#c", "a: 'x' y", "a: [x] y", "a: &x *y",
    "a: &x &y 1", "a: @x", "a: `x`", "a: %x", "a: ,x", "a: ]", "a: }", "a: 'x':", "a: b:",
    "a: &x: 1", "a: *x: 1", "- *x : 1", "a: &x\n  - 1\n- 2",
    # Flow collections with what the fast scanner leaves to the parser.
    "a: [1, 2, ]", "a: [,]", "a: [a: b]", "a: [a:, b]", "a: [a:]", "a: {a}", "a: {a: }", "a: {a:b}",
    "a: [?x]", "a: [-]", "a: [&x 1]", "a: [!t 1]", "a: {a: [1], b}", "a: [a:[b]]", "a: ['a': b]",
    # Escapes the fast scanner does not take.
    r'a: "\q"', r'a: "\ud800"', r'a: "\U00110000"', r'a: "\x4"', r'a: "\u00e"', 'a: "\\\n"',
    # Nesting beyond the limit.
    "[" * 256 + "]" * 256, "- " * 256 + "x",
]


@pytest.mark.parametrize("text", FAST)
def test_fast_scanner_reads_the_subset(text):
    assert assert_agree([text]) == ["fast"], text


@pytest.mark.parametrize("text", BAIL)
def test_fast_scanner_leaves_the_rest_to_the_parser(text):
    assert assert_agree([text]) == ["bail"], text


def test_depth_at_the_limit_is_read_fast():
    assert assert_agree(["[" * 255 + "]" * 255, "- " * 255 + "x"]) == ["fast", "fast"]


def test_loads_agree_on_results_and_errors():
    # The same texts through the public function: values, key order, errors.
    assert yaml.loads("a: 1\nb: [x, 'y']\na: 2") == {"b": ["x", "y"], "a": 2}
    assert list(yaml.loads("- z: 1\n  a: 2")[0]) == ["z", "a"]
    with pytest.raises(ValueError, match=r"^unknown anchor at byte 3 line 1 column 4$"):
        yaml.loads("a: *nope")
    with pytest.raises(ValueError, match=r"^recursion limit exceeded at byte 255 line 1 column 256$"):
        yaml.loads("[" * 256 + "]" * 256)
    with pytest.raises(ValueError, match=r"^mapping values are not allowed in this context at byte 1025 line 1 "):
        yaml.loads("k" * 1025 + ": v")
    with pytest.raises(ValueError, match=r"^could not find expected ':' at byte 1030 line 2 column 1026$"):
        yaml.loads("a: 1\n" + "k" * 1025 + ": v")
    with pytest.raises(ValueError, match=r"^expected exactly one YAML document, found 0$"):
        yaml.loads("# nothing")


# ------------------------------------------------------------ documents the fast scanner must read

def test_benchmark_and_example_documents_are_read_fast():
    sys.path.insert(0, str(BENCH))
    try:
        from bench_yaml import yaml_config
    finally:
        sys.path.remove(str(BENCH))
    _, text = yaml_config(200_000)
    example = (ROOT / "examples" / "config.yaml").read_text()
    plain_example = re.sub(r"^ *<<: \*defaults\n", "", example.replace(" &defaults", ""), flags=re.M)
    assert "&" not in plain_example and "*" not in plain_example
    assert assert_agree([text, example, plain_example]) == ["fast"] * 3


def test_the_conformance_suite_agrees(conformance_dir):
    suite = conformance_dir / "yaml-test-suite"
    texts = [path.read_bytes().decode("utf-8") for path in sorted(suite.glob("**/in.yaml"))]
    results = assert_agree(texts)
    assert len(results) > 350 and results.count("fast") > 50


# ------------------------------------------------------------ generated documents

WORDS = ["alpha", "beta", "x1", "a:b", "a#b", "-5", "1.5", "0x1F", "true", "~", "null", "é", "日本", "😀",
         "http://h:80/p", "v1.2", "a'b", 'a"b', "x?", "[x]", "{y}", "a,b", "$HOME", "${A:-b}", "*x", "&y", "!z"]
FIRST_WORDS = [w for w in WORDS if w[0] not in "[{*&!"]
ESCAPES = ["\\n", "\\t", "\\\\", '\\"', "\\/", "\\0", "\\x41", "\\u00e9", "\\U0001F600", "\\N", "\\_", "\\ "]


@st.composite
def plain(draw, words=FIRST_WORDS, more=WORDS):
    return " ".join([draw(st.sampled_from(words))] + draw(st.lists(st.sampled_from(more), max_size=3)))


@st.composite
def single_quoted(draw):
    text = draw(st.text(st.characters(min_codepoint=0x20, max_codepoint=0x2FF, blacklist_categories=("Cc",)),
                        max_size=8))
    return "'" + text.replace("'", "''") + "'"


@st.composite
def double_quoted(draw):
    parts = draw(st.lists(st.one_of(st.sampled_from(ESCAPES), st.sampled_from(["a", " ", "é", "#", ": ", "'"])),
                          max_size=6))
    return '"' + "".join(parts) + '"'


FLOW_WORDS = [w for w in WORDS if not set(w) & set("[]{},:#")]
FLOW_FIRST = [w for w in FLOW_WORDS if w[0] not in "*&!"]


@st.composite
def flow(draw, depth=0):
    def item():
        choices = [plain(FLOW_FIRST, FLOW_WORDS), single_quoted(), double_quoted()]
        if depth < 2:
            choices.append(flow(depth + 1))
        return draw(st.one_of(choices))

    if draw(st.booleans()):
        return "[" + ", ".join(item() for _ in range(draw(st.integers(0, 3)))) + "]"
    keys = st.sampled_from(["a", "b c", "'q'", '"d"'])
    entries = [draw(keys) + ": " + item() for _ in range(draw(st.integers(0, 3)))]
    return "{" + ", ".join(entries) + "}"


class Writer:
    """Builds one document of the subset, line by line."""

    def __init__(self, draw):
        self.draw, self.lines, self.anchors, self.names = draw, [], [], 0

    def choice(self, options):
        return self.draw(st.sampled_from(options))

    def scalar(self, anchored):
        if self.anchors and not anchored and self.choice([False] * 9 + [True]):
            return "*" + self.choice(self.anchors)
        tag = self.choice([""] * 8 + ["!t ", "!!str "])
        return tag + self.draw(st.one_of(plain(), single_quoted(), double_quoted(), flow()))

    def continued(self, indent):
        """Lines that continue a plain scalar whose key or "-" stands at `indent`."""
        for _ in range(self.draw(st.integers(0, 2))):
            if self.choice([False, False, True]):
                self.lines.append("")
            self.lines.append(" " * (indent + self.choice([1, 2, 3])) + self.draw(plain(WORDS, WORDS)))

    def anchor(self):
        if self.choice([False] * 8 + [True]):
            self.names += 1
            name = f"n{self.names}"
            self.anchors.append(name)
            return f"&{name}"
        return ""

    def comment_or_blank(self):
        if self.choice([False] * 6 + [True]):
            self.lines.append(self.choice(["", "   ", "# c", "  # c: d", "#"]))

    def key(self):
        return self.draw(st.one_of(plain(FIRST_WORDS, FIRST_WORDS), single_quoted(), double_quoted()))

    def node(self, indent, depth, prefix):
        """A node whose first line starts with `prefix` (a key and ':', or '-')."""
        kind = self.choice(["scalar", "scalar", "block", "mapping", "sequence"] if depth < 3 else ["scalar", "block"])
        anchor = self.anchor()
        if kind == "scalar":
            value = self.scalar(bool(anchor))
            self.lines.append(" " * indent + prefix + " " + (anchor + " " if anchor else "") + value)
            if value[0] not in "*!'\"[{":
                self.continued(indent)
            return
        if kind == "block":
            # A literal or folded scalar: its lines deeper than the key or "-".
            header = self.choice(["|", ">"]) + self.choice(["", "-", "+", "2", "1-"]) + self.choice(["", "  # c"])
            self.lines.append(" " * indent + prefix + " " + (anchor + " " if anchor else "") + header)
            step = self.choice([2, 3, 4]) if header[1:2] not in ("1", "2") else int(header[1])
            for i in range(self.draw(st.integers(0, 4))):
                # The first line sets the indentation: more spaces come later only.
                text = self.choice(["x", "a b", "# no comment", "k: v", "- i", "'q'", "t\tu"]
                                   + (["", "  more", "\tx"] if i else []))
                self.lines.append(" " * (indent + step) + text if text else "")
            return
        self.lines.append(" " * indent + prefix + (" " + anchor if anchor else "") + self.choice(["", " # c"]))
        self.comment_or_blank()
        step = self.choice([1, 2, 2, 4])
        if kind == "mapping":
            self.mapping(indent + step, depth + 1)
        elif prefix != "-" and self.choice([True, False]):
            self.sequence(indent, depth + 1)  # indentless
        else:
            self.sequence(indent + step, depth + 1)

    def mapping(self, indent, depth):
        for _ in range(self.draw(st.integers(1, 3))):
            self.node(indent, depth, self.key() + ":")
            self.comment_or_blank()

    def sequence(self, indent, depth):
        for _ in range(self.draw(st.integers(1, 3))):
            if depth < 3 and self.choice([False, False, True]):
                # A compact mapping or sequence after the "- ".
                start = len(self.lines)
                if self.choice([True, False]):
                    self.mapping(indent + 2, depth + 1)
                else:
                    self.sequence(indent + 2, depth + 1)
                self.lines[start] = " " * indent + "- " + self.lines[start][indent + 2:]
            else:
                self.node(indent, depth, "-")
            self.comment_or_blank()


@st.composite
def documents(draw):
    writer = Writer(draw)
    if draw(st.booleans()):
        writer.lines.append(draw(st.sampled_from(["---", "--- # c", "# head"])))
    if draw(st.booleans()):
        writer.mapping(0, 0)
    else:
        writer.sequence(0, 0)
    # (A last line of spaces without a line break is left to the parser.)
    return "\n".join(writer.lines).rstrip(" ") + draw(st.sampled_from(["", "\n", "\n\n", "\n# end"]))


NASTY = [":", ": ", " #", "#", "-", "- ", "\t", "\r", "\r\n", "'", '"', "\\", "[", "]", "{", "}", ",", "?",
         "? ", "&a ", "*a", "!", "|", ">", "%", "@", "`", "\n", " ", "  ", "\x00", "\u0085", "\u2028",
         "\ufeff", "...", "---", "\n...", "\n---", "\n- ", "\n  ", "\n\n", "\\x4", "\\u00e9", "''", "é"]


@st.composite
def near_misses(draw):
    text = draw(documents())
    for _ in range(draw(st.integers(1, 3))):
        at = draw(st.integers(0, len(text)))
        if draw(st.booleans()):
            text = text[:at] + draw(st.sampled_from(NASTY)) + text[at:]
        else:
            text = text[:at] + text[at + draw(st.integers(1, 3)):]
    return text


SETTINGS = settings(max_examples=50, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(st.lists(documents(), min_size=5, max_size=10))
def test_documents_of_the_subset_are_read_fast(texts):
    texts += [text.replace("\n", "\r\n") for text in texts]
    assert assert_agree(texts) == ["fast"] * len(texts)


@SETTINGS
@given(st.lists(near_misses(), min_size=5, max_size=10))
def test_near_misses_agree(texts):
    assert_agree(texts)


ALPHABET = list("ab1 :-#'\"\\[]{},?&*!|>%@`.\n~0x\té") + [": ", "- ", " #", "---", "...", "&a ", "*a", "\\n",
                                                        "\\x41", "  ", "\n  ", "''"]


@SETTINGS
@given(st.lists(st.lists(st.sampled_from(ALPHABET), max_size=16).map("".join), min_size=50, max_size=100))
def test_short_texts_agree(texts):
    assert_agree(texts)


# Any character but surrogates, and format characters (the byte order mark
# among them, which the writer leaves as it is and the fast scanner does not
# take).
DUMPED_TEXT = st.text(st.characters(blacklist_categories=("Cs", "Cf")), max_size=12)


@SETTINGS
@given(st.lists(st.recursive(
    st.none() | st.booleans() | st.integers(-2**63, 2**63 - 1) | st.floats() | DUMPED_TEXT,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(DUMPED_TEXT, inner, max_size=4),
    max_leaves=20), min_size=10, max_size=20))
def test_what_dumps_writes_is_read_fast(values):
    # Block layout, quoted and plain scalars, escapes: all of it in the subset.
    texts = [yaml.dumps(value) for value in values]
    results = assert_agree(texts)
    slow = [text for text, verdict in zip(texts, results) if verdict != "fast"]
    assert not slow, slow[:3]


def test_many_random_documents_agree():
    # A fixed sample larger than the properties draw, from a seeded generator.
    rng = random.Random(2024)
    texts = []
    for _ in range(3000):
        words = [rng.choice(WORDS + ["", " ", ":", "- ", "\n", "\n  ", "\n- ", "'", '"', "[", "]", "{", "}", ","])
                 for _ in range(rng.randint(1, 12))]
        texts.append(rng.choice(["", "a: ", "- ", "a:\n  "]) + "".join(words))
    results = assert_agree(texts)
    assert results.count("fast") > 300
