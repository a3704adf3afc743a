"""Every document of a YAML stream: tabrix.loads_all / load_all and the
command line's --all, against the YAML test suite's multi-document cases."""

import json
import re
import subprocess
import sys

import pytest

import tabrix
from tabrix._native import yaml
from support import YAML_SUITE, json_documents, yaml_suite_cases





def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def stream_cases():
    """Error cases, and cases of any number of documents with an expected
    value and core tags only."""
    chosen = []
    for folder in yaml_suite_cases():
        name = folder.relative_to(YAML_SUITE).as_posix()
        if (folder / "error").exists():
            chosen.append(pytest.param(folder, id=name))
            continue
        if not (folder / "in.json").exists():
            continue
        tags = re.findall(r"<([^>]*)>", (folder / "test.event").read_text(encoding="utf-8"))
        if any(not tag.startswith("tag:yaml.org,2002:") for tag in tags):
            continue
        # An empty !!str node reads as "~" (null), so its JSON form differs.
        if name in ("LE5A", "WZ62"):
            continue
        chosen.append(pytest.param(folder, id=name))
    return chosen


@pytest.mark.parametrize("folder", stream_cases())
def test_suite_streams(folder, conformance_dir):
    text = (folder / "in.yaml").read_bytes().decode("utf-8")
    if (folder / "error").exists():
        with pytest.raises(ValueError):
            tabrix.loads_all(text)
        return
    expected = json_documents((folder / "in.json").read_text(encoding="utf-8"))
    assert same(tabrix.loads_all(text), expected)


def test_the_suite_holds_multi_document_cases(conformance_dir):
    counts = [len(json_documents((f / "in.json").read_text(encoding="utf-8")))
              for f in yaml_suite_cases() if (f / "in.json").exists()]
    assert sum(1 for c in counts if c > 1) >= 15


MANIFESTS = """\
apiVersion: v1
kind: Service
metadata: {name: web}
---
apiVersion: apps/v1
kind: Deployment
spec:
  replicas: 3
...
---
# a comment only in the last document
"""


@pytest.mark.parametrize(
    "text, documents",
    [
        ("", []),
        ("# only a comment\n", []),
        ("a: 1", [{"a": 1}]),
        ("---", [None]),
        ("--- 1\n--- 2\n...\n", [1, 2]),
        ("a\n...\nb\n", ["a", "b"]),
        ("a\n%YAML 1.2\n---\nb", ["a %YAML 1.2", "b"]),  # plain text goes on at "%"
        ("--- a\n%YAML 1.2\n--- b", ["a %YAML 1.2", "b"]),
        ("---\n---\n", [None, None]),
        ("%YAML 1.2\n--- x\n...\n%YAML 1.2\n--- y\n", ["x", "y"]),
        (MANIFESTS, [{"apiVersion": "v1", "kind": "Service", "metadata": {"name": "web"}},
                     {"apiVersion": "apps/v1", "kind": "Deployment", "spec": {"replicas": 3}}, None]),
        # Anchors are the document's own: each document may define them anew.
        ("a: &x 1\nb: *x\n---\na: &x 2\nb: *x\n", [{"a": 1, "b": 1}, {"a": 2, "b": 2}]),
    ],
)
def test_loads_all(text, documents):
    assert tabrix.loads_all(text) == documents


@pytest.mark.parametrize(
    "text, message",
    [
        ("a: &x 1\n---\nb: *x", r"^unknown anchor at byte 15 line 3 column 4$"),
        ("a: 1\n---\nb: [", r"^did not find expected node content at byte 13 line 3 column 5$"),
        ("a: 1\n---\n[1]: x", r"^non-scalar YAML mapping key: "),
        ("a\nb: 1", r"^mapping values are not allowed in this context at byte 3 line 2 column 2$"),
        # A directive needs the document before it ended by "...".
        ("---\n%YAML 1.2\n--- b", r"line 2 column 1$"),
    ],
)
def test_loads_all_errors(text, message):
    with pytest.raises(ValueError, match=message):
        tabrix.loads_all(text)


def test_node_budget_bounds_the_whole_stream():
    document = "[" + ", ".join(["1"] * 999_999) + "]\n"
    with pytest.raises(ValueError, match=r"^node budget exceeded \(alias expansion\?\)$"):
        tabrix.loads_all("---\n".join([document] * 6))
    assert len(tabrix.loads_all("---\n".join([document] * 4))) == 4


def test_single_document_rule_stays_for_loads():
    with pytest.raises(ValueError, match=r"^expected exactly one YAML document, found 2$"):
        yaml.loads("a: 1\n---\nb: 2")
    assert "_loads_all" not in yaml.__all__ and yaml.__all__ == ["loads", "dumps"]


def test_load_all_reads_files_and_notes_the_name(tmp_path):
    path = tmp_path / "stream.yaml"
    path.write_bytes(b"\xef\xbb\xbfa: 1\n---\nb: 2\n")
    assert tabrix.load_all(path) == [{"a": 1}, {"b": 2}]
    with open(path, encoding="utf-8") as file:
        assert tabrix.load_all(file) == [{"a": 1}, {"b": 2}]
    path.write_text("a: 1\n---\nb: [\n", encoding="utf-8")
    with pytest.raises(ValueError) as info:
        tabrix.load_all(path)
    assert info.value.__notes__ == [f"in {path}"]


def tabrix_cli(*args):
    return subprocess.run([sys.executable, "-m", "tabrix", *args], capture_output=True, text=True)


def test_cli_get_and_convert_all(tmp_path):
    path = tmp_path / "manifests.yaml"
    path.write_text(MANIFESTS, encoding="utf-8")
    done = tabrix_cli("get", str(path), "kind", "--all")
    # The third document is empty: the first two print, then the lookup fails.
    assert (done.returncode, done.stdout) == (1, "Service\nDeployment\n")
    path.write_text(MANIFESTS.replace("# a comment only in the last document\n", "kind: Last\n"), encoding="utf-8")
    done = tabrix_cli("get", str(path), "kind", "--all")
    assert (done.returncode, done.stdout) == (0, "Service\nDeployment\nLast\n")
    done = tabrix_cli("convert", str(path), "--to", "json", "--all")
    assert done.returncode == 0
    assert [d["kind"] for d in json.loads(done.stdout)] == ["Service", "Deployment", "Last"]
    out = tmp_path / "copy.yaml"
    assert tabrix_cli("convert", str(path), str(out), "--all").returncode == 0
    assert tabrix.load_all(out) == tabrix.load_all(path)
    assert out.read_text(encoding="utf-8").count("---\n") == 3
    done = tabrix_cli("get", str(path), "kind")
    assert done.returncode == 1 and "expected exactly one YAML document, found 3" in done.stderr
    toml = tmp_path / "a.toml"
    toml.write_text("a = 1\n", encoding="utf-8")
    done = tabrix_cli("get", str(toml), "a", "--all")
    assert done.returncode == 1 and "--all reads the documents of a YAML stream" in done.stderr
