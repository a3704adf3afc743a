"""ini.loads: the dialect, its escapes, its error positions, and the section
table (empty sections dropped, repeated sections merged, repeated options
replaced in place)."""

import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tabrix._native import ini

# ---------------------------------------------------------------- a model reader
# A character-by-character transcription of the dialect: it keeps the line
# and column counts the error positions are defined by, and serves as the
# oracle for generated documents.

WHITE_SPACE = set(map(chr, [*range(9, 14), 32, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F,
                            0x205F, 0x3000]))
SIMPLE_ESCAPES = {"0": "\0", "a": "\a", "b": "\b", "t": "\t", "r": "\r", "n": "\n"}


class ModelError(Exception):
    pass


def show(char):
    if char is None:
        return "None"
    return "Some('" + {"'": "\\'", "\n": "\\n", "\r": "\\r"}.get(char, char) + "')"


def strip(text, start=True):
    end = len(text)
    while end and text[end - 1] in WHITE_SPACE:
        end -= 1
    begin = 0
    while start and begin < end and text[begin] in WHITE_SPACE:
        begin += 1
    return text[begin:end]


class ModelReader:
    def __init__(self, text):
        self.text = text.lstrip("\ufeff")
        self.index, self.line, self.column, self.ch = -1, 0, 0, None
        self.bump()

    def bump(self):
        if self.index + 1 >= len(self.text):
            self.index, self.ch = len(self.text), None
            return
        self.index += 1
        self.ch = self.text[self.index]
        if self.ch == "\n":
            self.line, self.column = self.line + 1, 0
        else:
            self.column += 1

    def error(self, message):
        raise ModelError(f"{self.line + 1}:{self.column + 1} {message}")

    def skip_white_space(self, line_breaks=True):
        while self.ch is not None and self.ch in WHITE_SPACE and (line_breaks or self.ch not in "\n\r"):
            self.bump()

    def read_until(self, ends):
        out = []
        while self.ch not in ends:
            if self.ch is None:
                self.error(f'expecting "[{", ".join(map(show, ends))}]" but found EOF.')
            if self.ch == "\\":
                self.bump()
                if self.ch is None:
                    self.error(f'expecting "[{", ".join(map(show, ends))}]" but found EOF.')
                if self.ch in SIMPLE_ESCAPES:
                    out.append(SIMPLE_ESCAPES[self.ch])
                elif self.ch == "x":
                    code = ""
                    for _ in range(4):
                        self.bump()
                        if self.ch is None:
                            self.error(f'expecting "[{", ".join(map(show, ends))}]" but found EOF.')
                        char = self.ch
                        if char == "\\":
                            self.bump()
                            if self.ch != "\n":
                                self.error(f'expecting "\\\\n" but found "{show(self.ch)}".')
                        code += char
                    if not all(c in "0123456789abcdefABCDEF" for c in code) or 0xD800 <= int(code, 16) <= 0xDFFF:
                        self.error("unknown character in \\xHH form")
                    out.append(chr(int(code, 16)))
                elif self.ch != "\n":
                    out.append(self.ch)
            else:
                out.append(self.ch)
            self.bump()
        return "".join(out)

    def read_value(self):
        self.bump()
        self.skip_white_space(line_breaks=False)
        value, first = "", True
        while self.ch is not None:
            if self.ch in "\"'":
                quote = self.ch
                self.bump()
                value += self.read_until([quote])
                self.bump()
                first = False
                continue
            value += strip(self.read_until(["\n", "\r", None]), start=first)
            break
        return value

    def blocks(self):
        blocks, key = [[None, []]], ""
        self.skip_white_space()
        while self.ch is not None:
            if self.ch in ";#":
                if self.column > 1:
                    self.error("doesn't support inline comment")
                while self.ch is not None:
                    char = self.ch
                    self.bump()
                    if char == "\n":
                        break
            elif self.ch == "[":
                self.bump()
                name = strip(self.read_until(["]"]))
                self.bump()
                blocks.append([name, []])
            elif self.ch in "=:":
                if not key:
                    self.error("missing key")
                blocks[-1][1].append((key, self.read_value()))
                key = ""
            else:
                key = strip(self.read_until(["=", ":"]))
            self.skip_white_space()
        return blocks


def model_loads(text):
    result = {}
    for name, pairs in ModelReader(text).blocks():
        if not pairs:
            continue
        if name is None:
            raise ModelError("keys found outside of any section")
        section = result.setdefault(name, {})
        for key, value in pairs:
            section[key] = value
    return result


def outcome(load, text):
    try:
        return load(text)
    except (ValueError, ModelError) as error:
        return ("error", str(error))


# ---------------------------------------------------------------- documents

@pytest.mark.parametrize(
    "text, expected",
    [
        ("", {}),
        ("; only\n# comments\n", {}),
        ("\n\n  \t\n", {}),
        ("[a]\n", {}),
        ("[a]\n[b]\nk = v\n[c]\n", {"b": {"k": "v"}}),
        ("[a]\nx = 1\n[b]\n[a]\ny = 2\nx = 3\n", {"a": {"x": "3", "y": "2"}}),
        ("[s]\nk = 1\nk = 2\nj = 3\nk = 4", {"s": {"k": "4", "j": "3"}}),
        ("[s]\nk: v\nj:w", {"s": {"k": "v", "j": "w"}}),
        ("[s]\nk = v ; text\nj = v # text\n", {"s": {"k": "v ; text", "j": "v # text"}}),
        ("[s]\nk = 'a' 'b' c\n", {"s": {"k": "a 'b' c"}}),
        ('[s]\nk = "x" y\n', {"s": {"k": "x y"}}),
        ('[s]\nk = x "y"\n', {"s": {"k": 'x "y"'}}),
        ("[s]\nk = 'a''b'c\n", {"s": {"k": "abc"}}),
        ('[s]\nk = "a" b\n', {"s": {"k": "a b"}}),
        ('[s]\nk = "  inner  "  \n', {"s": {"k": "  inner  "}}),
        ("[s]\nk = '' x \n", {"s": {"k": " x"}}),
        ('[s]\nk = "two\nlines"\n', {"s": {"k": "two\nlines"}}),
        ('[s]\nk = "a;b=c:d#e"', {"s": {"k": "a;b=c:d#e"}}),
        ('[s]\nk = "a"\nj = b', {"s": {"k": "a", "j": "b"}}),
        ("[s]\nk = first \\\n   second\n", {"s": {"k": "first    second"}}),
        ("[s]\nk =\nj = \t \n", {"s": {"k": "", "j": ""}}),
        ("[s]\nk = = v\n", {"s": {"k": "= v"}}),
        ("[s]\r\nk = v\r\nj = 'q'\r\n\r\n[t]\r\nx = y\r\n", {"s": {"k": "v", "j": "q"}, "t": {"x": "y"}}),
        ("[s]\rk = v", {"s": {"k": "v"}}),
        ("[s]\nword\nk = v\n", {"s": {"word\nk": "v"}}),
        ("[s]\nk\n= v\n", {"s": {"k": "v"}}),
        ("[ spaced name ]\n  Key  =  Value  \n", {"spaced name": {"Key": "Value"}}),
        ("[S]\nk = 1\n[s]\nK = 2\n", {"S": {"k": "1"}, "s": {"K": "2"}}),
        ("[a] k = v\n", {"a": {"k": "v"}}),
        ("[multi\nline]\nk = v", {"multi\nline": {"k": "v"}}),
        ("[]\nk = v", {"": {"k": "v"}}),
        ("[s]\n\u3000k\u00a0=\u2003v\u3000\n", {"s": {"k": "v"}}),
        ("[s]\nk = v\u2028w\n", {"s": {"k": "v\u2028w"}}),
        ("\ufeff\ufeff[s]\nk = \ufeffv\ufeff", {"s": {"k": "\ufeffv\ufeff"}}),
        ("\ufeff", {}),
        ("[s]\nnumber = 1\nflag = true\nreal = 2.5\n", {"s": {"number": "1", "flag": "true", "real": "2.5"}}),
        ("[s]\n\U0001F600 = caf\u00e9 \u00fc\n", {"s": {"\U0001F600": "caf\u00e9 \u00fc"}}),
        ("[s]\nk = x\n;k = y\n#k = z\n", {"s": {"k": "x"}}),
    ],
)
def test_documents(text, expected):
    assert ini.loads(text) == expected
    assert model_loads(text) == expected


@pytest.mark.parametrize(
    "escaped, value",
    [
        ("\\0", "\0"), ("\\a", "\a"), ("\\b", "\b"), ("\\t", "\t"), ("\\r", "\r"), ("\\n", "\n"),
        ("\\\\", "\\"), ("\\;", ";"), ("\\#", "#"), ("\\=", "="), ("\\:", ":"), ('\\"', '"'), ("\\'", "'"),
        ("\\q", "q"), ("\\\u00e9", "\u00e9"), ("\\\U0001F600", "\U0001F600"), ("\\ ", " "),
        ("\\x0041", "A"), ("\\x00e9", "\u00e9"), ("\\x00E9", "\u00e9"), ("\\xFFFF", "\uffff"), ("\\x0000", "\0"),
        ("\\x20ac", "\u20ac"), ("\\x00413", "A3"), ("a\\\nb", "ab"),
    ],
)
def test_escapes_inside_a_value(escaped, value):
    # Between visible characters, so that trimming leaves the escape alone.
    assert ini.loads(f"[s]\nk = <{escaped}>\n") == {"s": {"k": f"<{value}>"}}


@pytest.mark.parametrize(
    "text, expected",
    [
        ("[a\\]b]\nk = v", {"a]b": {"k": "v"}}),
        ("[s]\nk\\=x\\:y = v", {"s": {"k=x:y": "v"}}),
        ("[s]\n\\;k = v", {"s": {";k": "v"}}),
        ("[s]\nk = '\\'q\\''", {"s": {"k": "'q'"}}),
        ('[s]\nk = "a\\"b" c\\"d', {"s": {"k": 'a"b c"d'}}),
        ('[s]\nk = "\\x0041\\n"', {"s": {"k": "A\n"}}),
        ("[s]\nk = \\t x \\t", {"s": {"k": "x"}}),  # decoded blanks are trimmed too
        ("[s]\nk = \\x0020x", {"s": {"k": "x"}}),
        ("[s]\n\\x0020 \\x006b = v", {"s": {"k": "v"}}),
        ("[\\x0073]\nk = v", {"s": {"k": "v"}}),
    ],
)
def test_escapes_in_names_and_quotes(text, expected):
    assert ini.loads(text) == expected


# ---------------------------------------------------------------- errors

EOF_KEY = 'expecting "[Some(\'=\'), Some(\':\')]" but found EOF.'
EOF_LINE = 'expecting "[Some(\'\\n\'), Some(\'\\r\'), None]" but found EOF.'


@pytest.mark.parametrize(
    "text, message",
    [
        (";x\n ;y", "2:3 doesn't support inline comment"),
        ("[s]\n  ; comment\n", "2:4 doesn't support inline comment"),
        ("[s] ; comment", "1:6 doesn't support inline comment"),
        ("[s]\r\n;ok\r\n\t#no", "3:3 doesn't support inline comment"),
        ("=", "1:2 missing key"),
        ("[s]\nk = v\n= w", "3:2 missing key"),
        ("[s]\n \\x0020 = v", "2:10 missing key"),
        ("abc", f"1:4 {EOF_KEY}"),
        ("[s]\nword\n", f"3:1 {EOF_KEY}"),
        ("[s]\nk\u00e9\u00e9", f"2:4 {EOF_KEY}"),
        ("[abc", "1:5 expecting \"[Some(']')]\" but found EOF."),
        ('[s]\nk = "abc', "2:9 expecting \"[Some('\"')]\" but found EOF."),
        ('[s]\nk = "abc\n', "3:1 expecting \"[Some('\"')]\" but found EOF."),
        ("[s]\nk = 'abc", "2:9 expecting \"[Some('\\'')]\" but found EOF."),
        ("[s]\nk = v\\", f"2:7 {EOF_LINE}"),
        ("[s\\", "1:4 expecting \"[Some(']')]\" but found EOF."),
        ("[s]\nk = \\x00", f"2:9 {EOF_LINE}"),
        ("[s]\nk = \\x12\\", '2:10 expecting "\\\\n" but found "None".'),
        ("[s]\nk = \\x\\a", "2:9 expecting \"\\\\n\" but found \"Some('a')\"."),
        ("[s]\nk = \\x\\'", "2:9 expecting \"\\\\n\" but found \"Some('\\'')\"."),
        ("[s]\nk = \\x\\\r", "2:9 expecting \"\\\\n\" but found \"Some('\\r')\"."),
        ("[s]\nk = \\x\\\u00e9", "2:9 expecting \"\\\\n\" but found \"Some('\u00e9')\"."),
        ("[s]\nk = \\x\\\n123", "3:4 unknown character in \\xHH form"),
        ("[s]\nk = \\x41\nmore\n", "3:2 unknown character in \\xHH form"),
        ("[s]\nk = \\xd800", "2:11 unknown character in \\xHH form"),
        ("[s]\nk = \\xDFFF", "2:11 unknown character in \\xHH form"),
        ("[s]\nk = \\x00g1", "2:11 unknown character in \\xHH form"),
        ("[s]\nk = \\x+041", "2:11 unknown character in \\xHH form"),
        ("[s]\nk = \\x\u00e9\u00e9\u00e9\u00e9", "2:11 unknown character in \\xHH form"),
        ("[\\x004", "1:7 expecting \"[Some(']')]\" but found EOF."),
        ("\ufeff=", "1:2 missing key"),
        ("x = 1\n[a]\n", "keys found outside of any section"),
        ("x = 1\n[a]\ny = 'open\n", "4:1 expecting \"[Some('\\'')]\" but found EOF."),
    ],
)
def test_errors(text, message):
    with pytest.raises(ValueError) as raised:
        ini.loads(text)
    assert str(raised.value).endswith(message)
    assert outcome(model_loads, text) == ("error", str(raised.value))


def test_error_is_a_plain_value_error():
    with pytest.raises(ValueError) as raised:
        ini.loads("[s]\nk = \\x12\\")
    assert str(raised.value) == '2:10 expecting "\\\\n" but found "None".'
    assert type(raised.value) is ValueError


def test_keys_before_the_first_header_are_allowed_when_they_hold_nothing():
    # Only a block holding pairs counts; the comment and the blank lines make no pair.
    assert ini.loads("; header\n\n[s]\nk = v") == {"s": {"k": "v"}}


# ---------------------------------------------------------------- arguments, results

class StrSub(str):
    pass


def test_argument_checks():
    with pytest.raises(TypeError) as raised:
        ini.loads(b"[s]\nk = v")
    assert str(raised.value) == "'bytes' object is not an instance of 'str'"
    assert "while processing 'data'" in raised.value.__notes__
    with pytest.raises(UnicodeEncodeError) as raised:
        ini.loads("[s]\nk = \ud800")
    assert "while processing 'data'" in raised.value.__notes__
    assert ini.loads(data=StrSub("[s]\nk = v")) == {"s": {"k": "v"}}


def test_results_are_exact_dicts_of_str():
    result = ini.loads("[s]\nk = 1\nj = \\x00e9\n[t]\nk = true")
    assert type(result) is dict and all(type(v) is dict for v in result.values())
    values = [value for section in result.values() for value in section.values()]
    assert values == ["1", "\u00e9", "true"] and all(type(v) is str for v in values)
    # Option names repeated across sections keep their order in each.
    assert list(result["s"]) == ["k", "j"] and list(result["t"]) == ["k"]


def test_large_document_with_many_sections_and_duplicates():
    lines = []
    for i in range(3000):
        lines.append(f"[section {i % 1000}]")
        lines += [f"option{j} = value {i} {j}" for j in range(12)]
        lines.append(f"option{i % 7} = last {i}")
    result = ini.loads("\n".join(lines))
    assert result == model_loads("\n".join(lines))
    assert len(result) == 1000
    assert result["section 5"]["option0"] == "value 2005 0"
    assert result["section 5"]["option3"] == "last 2005"  # 2005 % 7 == 3


def test_concurrent_loads_agree():
    text = "\n".join(f"[s{i}]\nk = {i}\nescaped = a\\x0041\\n" for i in range(2000))
    expected = ini.loads(text)
    results = []

    def work():
        results.extend(ini.loads(text) == expected for _ in range(20))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [True] * 80


# ---------------------------------------------------------------- generated documents

PIECES = ["[", "]", "=", ":", ";", "#", "'", '"', "\\", "\\x", "\\x0041", "\\x\\\n", " ", "\t", "\n", "\r\n", "\r",
          "a", "b", "key", "value", "0", "f", "\u00e9", "\u3000", "\u2028", "\ufeff", "\U0001F600", "[s]\n", "k = v\n"]


@settings(max_examples=600, deadline=None)
@given(st.lists(st.sampled_from(PIECES), max_size=40))
def test_generated_documents_match_the_model(pieces):
    text = "".join(pieces)
    assert outcome(ini.loads, text) == outcome(model_loads, text)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.sampled_from(PIECES), max_size=30), st.integers(min_value=16, max_value=80))
def test_generated_documents_after_long_runs_match_the_model(pieces, width):
    # Long plain runs move the interesting characters across the scanner's
    # sixteen-byte blocks.
    text = "[section]\nkey" + "x" * width + " = " + "y" * width + "".join(pieces)
    assert outcome(ini.loads, text) == outcome(model_loads, text)


# Mostly well-formed documents: lines of headers, pairs and comments built
# from pieces that exercise escapes, quotes, blanks and long runs.
COMMON = ["a", "key", "\u00e9", "\U0001F600", " ", "\t", "\\n", "\\\\", "\\x0041", "\\x00e9", "\\;", "\\=",
          "\\:", "\\]", "\\\n", "x" * 17, "\u3000", "\u00a0", "\t"]
NAME_PIECES = COMMON + ["=", ":", ";", "'", '"']
KEY_PIECES = COMMON + ["]", "[", "'", '"', "\n"]
VALUE_PIECES = COMMON + ["'q q'", '"d d"', "''", '\\"', "\\'", ";", "#", "=", ":", "[", "]", "\r"]


def joined(pieces, min_size=0):
    return st.lists(st.sampled_from(pieces), min_size=min_size, max_size=6).map("".join)


LINES = st.one_of(
    joined(NAME_PIECES).map(lambda name: f"[{name}]"),
    st.tuples(joined(KEY_PIECES, 1), st.sampled_from(["=", ":", " = ", "\t: "]), joined(VALUE_PIECES)).map("".join),
    st.sampled_from(["; comment", "# comment", "", "  ", " ; indented"]),
)


@settings(max_examples=500, deadline=None)
@given(st.lists(LINES, max_size=12), st.sampled_from(["\n", "\r\n"]))
def test_generated_line_documents_match_the_model(lines, line_end):
    text = "[s]" + line_end + line_end.join(lines)
    assert outcome(ini.loads, text) == outcome(model_loads, text)

