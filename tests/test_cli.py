"""python -m calvoro: merging files from the command line."""
import json
import os
import stat
import subprocess
import sys

import pytest

if sys.version_info >= (3, 11):
    import tomllib
else:
    tomllib = None

needs_toml = pytest.mark.skipif(tomllib is None, reason="needs tomllib")


def cli_env():
    # The runs start in a scratch directory, so a relative PYTHONPATH (src)
    # must be made absolute to keep finding the package.
    env = dict(os.environ)
    path = env.get("PYTHONPATH")
    if path:
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in path.split(os.pathsep) if p)
    return env


@pytest.fixture
def run(tmp_path):
    env = cli_env()

    def run(*args):
        return subprocess.run(
            [sys.executable, "-m", "calvoro"] + [str(a) for a in args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            universal_newlines=True, cwd=str(tmp_path), env=env)
    return run


@pytest.fixture
def write(tmp_path):
    def write(name, content):
        path = tmp_path / name
        if not isinstance(content, str):
            content = json.dumps(content)
        path.write_text(content, encoding="utf-8")
        return path
    return write


def assert_ok(proc):
    assert (proc.returncode, proc.stderr) == (0, "")


def assert_error(proc, *parts):
    """A one-line message holding each part, exit status 2."""
    assert proc.returncode == 2, proc.stderr
    assert "Traceback" not in proc.stderr
    assert proc.stderr.count("\n") == 1, proc.stderr
    assert proc.stderr.startswith("calvoro: ")
    for part in parts:
        assert part in proc.stderr
    assert proc.stdout == ""


# -- merging -----------------------------------------------------------------

def test_nested_objects_merge(run, write):
    a = write("a.json", {"db": {"host": "h", "port": 1}, "debug": False})
    b = write("b.json", {"db": {"port": 2, "opts": {"ssl": True}}})
    proc = run(a, b)
    assert_ok(proc)
    assert json.loads(proc.stdout) == {
        "db": {"host": "h", "port": 2, "opts": {"ssl": True}},
        "debug": False}


def test_later_files_take_precedence(run, write):
    a = write("a.json", {"k": 1, "n": {"x": 1}, "keep": "a"})
    b = write("b.json", {"k": 2, "n": {"x": 2}})
    c = write("c.json", {"k": 3, "n": "replaced"})
    proc = run(a, b, c)
    assert_ok(proc)
    assert json.loads(proc.stdout) == {"k": 3, "n": "replaced", "keep": "a"}
    # key order: first file's keys first, new keys after
    assert list(json.loads(proc.stdout)) == ["k", "n", "keep"]


def test_one_file_is_written_back(run, write):
    proc = run(write("a.json", {"a": [1, {"b": None}]}))
    assert_ok(proc)
    assert proc.stdout == '{"a": [1, {"b": null}]}\n'


def test_indent(run, write):
    doc = {"a": {"b": 1}}
    proc = run("--indent", "2", write("a.json", doc), write("b.json", {}))
    assert_ok(proc)
    assert proc.stdout == json.dumps(doc, indent=2) + "\n"


def test_output_file(run, write, tmp_path):
    out = tmp_path / "out.json"
    proc = run(write("a.json", {"a": 1}), write("b.json", {"b": 2}),
               "-o", out)
    assert_ok(proc)
    assert proc.stdout == ""
    assert json.loads(out.read_text()) == {"a": 1, "b": 2}
    assert sorted(os.listdir(str(tmp_path))) == ["a.json", "b.json",
                                                 "out.json"]


def test_output_file_keeps_its_mode(run, write, tmp_path):
    out = write("out.json", "old")
    os.chmod(str(out), 0o640)
    assert_ok(run(write("a.json", {"a": 1}), "-o", out))
    assert stat.S_IMODE(os.stat(str(out)).st_mode) == 0o640
    assert json.loads(out.read_text()) == {"a": 1}


# -- bad input ---------------------------------------------------------------

def test_bad_json_names_file_and_line(run, write):
    bad = write("bad.json", '{\n  "a": 1,\n  "b": }\n')
    proc = run(write("a.json", {}), bad)
    assert_error(proc, "bad.json", "line 3", "column 8")


def test_missing_file(run, write):
    proc = run(write("a.json", {}), "missing.json")
    assert_error(proc, "missing.json", "No such file")


def test_directory_as_input(run, tmp_path):
    (tmp_path / "d.json").mkdir()
    assert_error(run("d.json"), "d.json")


@pytest.mark.parametrize("content, kind", [
    ("[1, 2]", "array"),
    ('"text"', "string"),
    ("3", "number"),
    ("null", "null"),
], ids=["array", "string", "number", "null"])
def test_top_level_must_be_an_object(run, write, content, kind):
    proc = run(write("a.json", {}), write("top.json", content))
    assert_error(proc, "top.json", kind, "not an object")


def test_not_utf8(run, tmp_path):
    (tmp_path / "latin.json").write_bytes(b'{"a": "\xe9"}')
    assert_error(run("latin.json"), "latin.json", "UTF-8")


def test_nesting_too_deep_to_load(run, write):
    deep = write("deep.json", '{"a":' * 100000 + "1" + "}" * 100000)
    assert_error(run(deep), "deep.json", "nested too deeply")


def test_nesting_too_deep_to_merge(run, write):
    # loads, but copying recurses more than once per level
    deep = write("deep.json", '{"a":' * 900 + "1" + "}" * 900)
    assert_error(run(deep, deep), "nested too deeply to merge")


def test_no_files_is_a_usage_error(run):
    proc = run()
    assert proc.returncode == 2
    assert "usage:" in proc.stderr
    assert "Traceback" not in proc.stderr


def test_negative_indent_is_a_usage_error(run, write):
    proc = run("--indent", "-1", write("a.json", {}))
    assert proc.returncode == 2
    assert "--indent" in proc.stderr


# -- the output file on failure ----------------------------------------------

def test_failure_leaves_output_intact(run, write, tmp_path):
    out = write("out.json", "previous content")
    proc = run(write("a.json", {"a": 1}), write("bad.json", "{"), "-o", out)
    assert_error(proc, "bad.json")
    assert out.read_text() == "previous content"
    assert sorted(os.listdir(str(tmp_path))) == ["a.json", "bad.json",
                                                 "out.json"]


def test_unwritable_output(run, write, tmp_path):
    proc = run(write("a.json", {}), "-o", tmp_path / "no" / "out.json")
    assert proc.returncode == 1
    assert "Traceback" not in proc.stderr
    assert "out.json" in proc.stderr and proc.stderr.count("\n") == 1


# -- TOML --------------------------------------------------------------------

@needs_toml
def test_toml_merges_with_json(run, write):
    base = write("base.toml", '[db]\nhost = "h"\nport = 1\n'
                              '[db.when]\nday = 1979-05-27\n')
    proc = run(base, write("over.json", {"db": {"port": 2}}))
    assert_ok(proc)
    assert json.loads(proc.stdout) == {
        "db": {"host": "h", "port": 2, "when": {"day": "1979-05-27"}}}


@needs_toml
def test_bad_toml(run, write):
    proc = run(write("bad.toml", "a = = 1\n"))
    assert_error(proc, "bad.toml", "invalid TOML", "line 1")


@pytest.mark.skipif(tomllib is not None, reason="tomllib is present")
def test_toml_without_tomllib(run, write):
    proc = run(write("a.toml", "a = 1\n"))
    assert_error(proc, "a.toml", "TOML", "3.11")
