"""The Python API of the tabrix package: formats, files, atomic writes."""

import io
import os
import pathlib
import shutil
import stat
import subprocess
import sys

import pytest

import tabrix

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.parametrize(
    "name, fmt",
    [("a.yaml", "yaml"), ("a.YML", "yaml"), ("dir.d/a.toml", "toml"), ("a.json", "jsonc"), ("a.jsonc", "jsonc"),
     ("a.ini", "ini"), ("a.cfg", "ini"), ("a.conf", "ini"), ("a.csv", "csv"), ("a.tsv", "tsv"),
     (pathlib.Path("x/b.Toml"), "toml")],
)
def test_guess_format(name, fmt):
    assert tabrix.guess_format(name) == fmt


@pytest.mark.parametrize("name", ["a.txt", "README", "a.yaml.bak", ".yaml"])
def test_guess_format_refuses_unknown_names(name):
    with pytest.raises(ValueError, match="cannot tell the format"):
        tabrix.guess_format(name)


def test_unknown_format_name():
    with pytest.raises(ValueError, match="unknown format 'xml'"):
        tabrix.dumps({}, "xml")


@pytest.mark.parametrize(
    "fmt, text, value",
    [
        ("jsonc", '{"a": [1, 2]}', {"a": [1, 2]}),
        ("json", "{a: 1,}", {"a": 1}),
        ("yaml", "a: [1, 2]\n", {"a": [1, 2]}),
        ("yml", "- x\n", ["x"]),
        ("toml", "a = 1\n", {"a": 1}),
        ("ini", "[s]\nk = v\n", {"s": {"k": "v"}}),
        ("csv", "a,b\n1,x\n", [{"a": 1, "b": "x"}]),
        ("tsv", "a\tb\n1\tx\n", [{"a": 1, "b": "x"}]),
    ],
)
def test_loads_every_format(fmt, text, value):
    assert tabrix.loads(text, fmt) == value


def test_load_path_str_pathlike_and_files(tmp_path):
    path = tmp_path / "c.toml"
    path.write_bytes(b"\xef\xbb\xbfname = \"caf\xc3\xa9\"\n")  # a byte-order mark is allowed
    expected = {"name": "café"}
    assert tabrix.load(path) == expected
    assert tabrix.load(str(path)) == expected
    with open(path, "rb") as binary:
        assert tabrix.load(binary) == expected
    with open(path, encoding="utf-8-sig") as text:
        assert tabrix.load(text) == expected
    assert tabrix.load(io.StringIO("a = 1"), "toml") == {"a": 1}
    assert tabrix.load(io.BytesIO(b"[1]"), "jsonc") == [1]


def test_load_unnamed_file_needs_a_format():
    with pytest.raises(ValueError, match="unnamed file"):
        tabrix.load(io.StringIO("a = 1"))


def test_load_decoding_failure_names_file_and_offset(tmp_path):
    path = tmp_path / "bad.yaml"
    path.write_bytes(b"a: 1\nb: \xff\n")
    with pytest.raises(ValueError) as info:
        tabrix.load(path)
    assert str(info.value) == f"{path}: not valid UTF-8 at byte 8"
    path.write_bytes(b"\xef\xbb\xbfa: \xc3\n")
    with pytest.raises(ValueError, match="not valid UTF-8 at byte 6$"):
        tabrix.load(path)


def test_load_errors_keep_class_and_message_and_get_the_file_as_note(tmp_path):
    path = tmp_path / "broken.jsonc"
    path.write_text("[1, 2")
    with pytest.raises(ValueError) as info:
        tabrix.load(path)
    with pytest.raises(ValueError) as direct:
        tabrix.jsonc.loads("[1, 2")
    assert str(info.value) == str(direct.value)
    assert info.value.__notes__ == [f"in {path}"]


def test_dump_writes_atomically_and_keeps_mode(tmp_path):
    path = tmp_path / "out.json"
    tabrix.dump({"a": 1}, path)
    assert path.read_text() == '{"a":1}'
    path.chmod(0o640)
    tabrix.dump({"a": 2}, str(path))
    assert path.read_text() == '{"a":2}'
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.json"]  # no temporary file left


@pytest.mark.parametrize(
    "name, value, error",
    [("out.toml", [1, 2], ValueError), ("out.json", {"a": b"x"}, TypeError), ("out.toml", {"a": None}, ValueError),
     # Values that would read back different are refused too.
     ("out.json", [float("nan")], ValueError), ("out.yaml", {"n": 2**64}, ValueError),
     ("out.ini", {"s": {" k": "v"}}, ValueError), ("out.ini", {"s": {}}, ValueError)],
)
def test_failed_dump_leaves_the_old_file_intact(tmp_path, name, value, error):
    path = tmp_path / name
    path.write_text("old = 1\n")
    with pytest.raises(error):
        tabrix.dump(value, path)
    assert path.read_text() == "old = 1\n"
    assert [p.name for p in tmp_path.iterdir()] == [name]


def test_dump_to_a_text_file_object():
    buffer = io.StringIO()
    tabrix.dump({"a": [1]}, buffer, "yaml")
    assert buffer.getvalue() == "a:\n- 1\n"


def test_iter_rows_streams_typed_records(tmp_path):
    path = tmp_path / "t.csv"
    path.write_text("a,b\n1,x\n2.5,true\n")
    assert list(tabrix.iter_rows(path)) == [{"a": 1, "b": "x"}, {"a": 2.5, "b": True}]
    tsv = tmp_path / "t.tsv"
    tsv.write_text("a\tb\n1\tx,y\n")
    assert list(tabrix.iter_rows(tsv)) == [{"a": 1, "b": "x,y"}]
    with pytest.raises(ValueError, match="reads csv or tsv"):
        tabrix.iter_rows(path, "toml")


def test_iter_rows_missing_file_has_the_note(tmp_path):
    with pytest.raises(ValueError) as info:
        tabrix.iter_rows(tmp_path / "missing.csv")
    assert "No such file or directory (os error 2)" in str(info.value)
    assert info.value.__notes__ == [f"in {tmp_path / 'missing.csv'}"]


@pytest.mark.thread_unsafe(reason="sets a variable in os.environ")
def test_interpolate_defaults_to_a_copy_of_the_environment(monkeypatch):
    monkeypatch.setenv("TABRIX_TEST_VAR", "from-env")
    assert tabrix.interpolate({"a": "${TABRIX_TEST_VAR}/x"}) == {"a": "from-env/x"}
    assert tabrix.interpolate(["$V"], {"V": "given"}) == ["given"]


@pytest.mark.skipif(shutil.which("mypy") is None and subprocess.run(
    [sys.executable, "-c", "import mypy"], capture_output=True).returncode != 0, reason="mypy is not installed")
def test_mypy_strict_passes_on_the_package_and_the_usage_example():
    # The source tree's package carries the stub of the native module. No
    # cache is written: runs at once (pytest-run-parallel) would share it.
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir=/dev/null", "tabrix",
         str(ROOT / "examples" / "usage.py")],
        cwd=ROOT / "src", capture_output=True, text=True, env={**os.environ, "MYPYPATH": str(ROOT / "src")},
    )
    assert result.returncode == 0, result.stdout + result.stderr
