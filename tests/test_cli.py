"""The command line, driven as a user drives it: in a subprocess."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"


def tabrix(*args, stdin=None, env=None, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "tabrix", *map(str, args)], input=stdin, capture_output=True, text=True,
        env={**os.environ, **(env or {})}, cwd=cwd,
    )


@pytest.fixture
def files(tmp_path):
    (tmp_path / "c.yaml").write_text("base: &b {x: 1}\nderived:\n  <<: *b\n  host: ${HOST:-localhost}\nlist: [a, b]\n")
    (tmp_path / "bad.toml").write_text("a = 1\nb = = 2\n")
    (tmp_path / "t.csv").write_text("a,b\n1,x\n2,y\n")
    (tmp_path / "f.yaml").write_text("empty: {}\nn: .nan\n")
    (tmp_path / "vars.env").write_text("# variables\nexport HOST=db.internal\nQUOTED=\"a b\"\n")
    return tmp_path


def test_convert_file_to_file(files):
    result = tabrix("convert", files / "c.yaml", files / "c.toml")
    assert result.returncode == 0, result.stderr
    assert result.stdout == ""
    assert (files / "c.toml").read_text() == (
        'list = ["a", "b"]\n\n[base]\nx = 1\n\n[derived]\nhost = "${HOST:-localhost}"\nx = 1\n')


@pytest.mark.parametrize("target, expected", [
    ("jsonc", '{"base":{"x":1},"derived":{"host":"localhost","x":1},"list":["a","b"]}\n'),
    ("yaml", "base:\n  x: 1\nderived:\n  host: localhost\n  x: 1\nlist:\n- a\n- b\n"),
])
def test_convert_to_stdout_with_env(files, target, expected):
    result = tabrix("convert", files / "c.yaml", "--to", target, "--env", env={"HOST": ""})
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected


def test_convert_with_env_file_and_stdin(files):
    result = tabrix("convert", "-", "--from", "yaml", "--to", "json", "--env-file", files / "vars.env",
                    stdin="h: $HOST\nq: ${QUOTED}\n")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {"h": "db.internal", "q": "a b"}


def test_convert_csv_to_tsv_and_back(files):
    result = tabrix("convert", files / "t.csv", "-", "--to", "tsv")
    assert result.returncode == 0
    assert result.stdout == "a\tb\n1\tx\n2\ty\n"
    back = tabrix("convert", "-", "--from", "tsv", "--to", "csv", stdin=result.stdout)
    assert back.stdout == "a,b\n1,x\n2,y\n"


@pytest.mark.parametrize("args, message", [
    (["convert", "c.yaml"], "tabrix: name the output format with --to (or give an output file)\n"),
    (["convert", "-", "--to", "json"], "tabrix: name the format of standard input with --from\n"),
    (["convert", "c.yaml", "out.txt"], "tabrix: cannot tell the format of 'out.txt'"),
    (["convert", "t.csv", "--to", "toml"], "tabrix: cannot write toml: TOML document root must be a table\n"),
    (["convert", "f.yaml", "--to", "json"], "tabrix: cannot write jsonc: nan has no json form\n"),
    (["convert", "f.yaml", "out.ini"], "tabrix: cannot write ini: section empty has no options\n"),
    (["convert", "missing.yaml", "--to", "json"], "tabrix: missing.yaml: No such file or directory\n"),
    (["get", "c.yaml", "derived.nope"], "tabrix: no key 'nope' in derived\n"),
    (["get", "c.yaml", "list.5"], "tabrix: '5' is not an index of the list list (2 items)\n"),
    (["get", "c.yaml", "base.x.y"], "tabrix: base.x is not a table or list (it is int)\n"),
])
def test_errors_exit_1_with_a_message(files, args, message):
    result = tabrix(*args, cwd=files)
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.startswith(message)


@pytest.mark.parametrize("path, output", [
    ("derived.host", "${HOST:-localhost}\n"), ("derived", '{"host":"${HOST:-localhost}","x":1}\n'),
    ("base.x", "1\n"), ("list.1", "b\n"), ("list", '["a","b"]\n'),
])
def test_get(files, path, output):
    result = tabrix("get", files / "c.yaml", path)
    assert (result.returncode, result.stdout) == (0, output)


def test_get_interpolates_with_env():
    result = tabrix("get", EXAMPLES / "config.yaml", "services.0.database_url", "--env",
                    env={"DB_USER": "u", "DB_HOST": "h"})
    assert result.stdout == "postgres://u@h/api\n"


def test_check(files):
    good = tabrix("check", files / "c.yaml", files / "t.csv")
    assert (good.returncode, good.stdout, good.stderr) == (0, f"{files / 'c.yaml'}: ok\n{files / 't.csv'}: ok\n", "")
    bad = tabrix("check", files / "c.yaml", files / "bad.toml")
    assert bad.returncode == 1
    assert bad.stdout == f"{files / 'c.yaml'}: ok\n"
    assert bad.stderr.startswith(f"{files / 'bad.toml'}: TOML parse error at line 2, column 5\n")


def test_usage_errors_exit_2():
    assert tabrix().returncode == 2
    assert tabrix("convert").returncode == 2
    assert tabrix("convert", "a.yaml", "--to", "xml").returncode == 2


def test_console_script_and_version():
    result = tabrix("--version")
    assert result.stdout.startswith("tabrix ")
    script = pathlib.Path(sys.executable).parent / "tabrix"
    if script.exists():
        assert subprocess.run([script, "--help"], capture_output=True).returncode == 0


def test_progress_bar_stays_off_when_not_a_terminal(tmp_path):
    rows = "".join(f"{i},name {i}\n" for i in range(60_000))
    (tmp_path / "big.csv").write_text("id,name\n" + rows)
    result = tabrix("convert", tmp_path / "big.csv", tmp_path / "big.tsv")
    assert result.returncode == 0
    assert result.stderr == ""
    assert (tmp_path / "big.tsv").read_text().count("\n") == 60_001


def test_progress_bar_draws_on_a_terminal():
    from tabrix.cli import Progress

    class Terminal:
        def __init__(self):
            self.text = ""

        def isatty(self):
            return True

        def write(self, text):
            self.text += text

        def flush(self):
            pass

    terminal = Terminal()
    progress = Progress("writing", 4, terminal)
    for _ in range(4):
        progress.advance(1)
    progress.close()
    assert "100.0%" in terminal.text and "####" in terminal.text


@pytest.mark.parametrize("text, variables", [
    ("A=1\nexport B = two \n# c\n\nC='x # y'\nD=\"l1\\nl2\"\nE=v # note\n",
     {"A": "1", "B": "two", "C": "x # y", "D": "l1\nl2", "E": "v"}),
])
def test_env_file_syntax(text, variables):
    from tabrix.cli import parse_env_file

    assert parse_env_file(text, "vars.env") == variables


@pytest.mark.parametrize("text", ["just words\n", "1A=x\n", "=x\n"])
def test_env_file_errors_name_the_line(text):
    from tabrix.cli import UserError, parse_env_file

    with pytest.raises(UserError, match="^vars.env:1: expected NAME=value$"):
        parse_env_file(text, "vars.env")


def test_rows_streams_json_lines(files):
    result = tabrix("rows", files / "t.csv")
    assert (result.returncode, result.stdout) == (0, '{"a":1,"b":"x"}\n{"a":2,"b":"y"}\n')


@pytest.mark.parametrize("args, message", [
    (["rows", "c.yaml"], "tabrix: rows reads csv or tsv files, not yaml\n"),
    (["rows", "missing.csv"], "tabrix: missing.csv: cannot open missing.csv: No such file or directory (os error 2)\n"),
])
def test_rows_errors(files, args, message):
    result = tabrix(*args, cwd=files)
    assert (result.returncode, result.stderr) == (1, message)


def test_demo_runs():
    result = subprocess.run([sys.executable, str(EXAMPLES / "demo.py")], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "examples/broken.toml: TOML parse error at line 3" in result.stdout
    assert "postgres://app@db.internal/api" in result.stdout  # a default and a set variable
    assert '{"name":"Grace","age":85,"height":1.52,"member":true' in result.stdout


def test_json_alias_output_ends_with_a_newline(files):
    result = tabrix("convert", files / "t.csv", "--to", "json")
    assert result.stdout == '[{"a":1,"b":"x"},{"a":2,"b":"y"}]\n'
