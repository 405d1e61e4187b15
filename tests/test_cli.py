"""The command line, ``python -m calvoro`` and ``calvoro``: one process per
behaviour, run in a scratch directory."""
import ctypes
import functools
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import textwrap
import threading

import pytest

import calvoro

try:
    import tomllib as toml_module
except ImportError:
    try:
        import tomli as toml_module
    except ImportError:
        toml_module = None
try:
    import yaml
except ImportError:
    yaml = None

needs_toml = pytest.mark.skipif(toml_module is None,
                                reason="needs tomllib or tomli")
needs_yaml = pytest.mark.skipif(yaml is None, reason="needs PyYAML")


def posix_only(reason):
    return pytest.mark.skipif(sys.platform == "win32", reason=reason)


def cli_env(**extra):
    # The runs start in a scratch directory, so a relative PYTHONPATH (src)
    # must be made absolute to keep finding the package.
    env = dict(os.environ)
    path = env.get("PYTHONPATH")
    if path:
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in path.split(os.pathsep) if p)
    env.update(extra)
    return env


@pytest.fixture
def run(tmp_path):
    def run(*args, input=None, stdout=subprocess.PIPE, env=None,
            preexec_fn=None, command=None):
        proc = subprocess.run(
            (command or [sys.executable, "-m", "calvoro"])
            + [str(a) for a in args],
            input=None if input is None else input.encode("utf-8"),
            stdout=stdout, stderr=subprocess.PIPE, cwd=str(tmp_path),
            env=env or cli_env(), preexec_fn=preexec_fn, timeout=60)
        out = proc.stdout.decode("utf-8") if proc.stdout is not None else ""
        return subprocess.CompletedProcess(
            proc.args, proc.returncode, out,
            proc.stderr.decode("utf-8", "replace"))
    return run


@pytest.fixture
def write(tmp_path):
    def write(name, content):
        path = tmp_path / name
        if not isinstance(content, str):
            content = json.dumps(content)
        # bytes: no "\r\n" for "\n" on Windows
        path.write_bytes(content.encode("utf-8"))
        return path
    return write


def assert_ok(proc):
    assert (proc.returncode, proc.stderr) == (0, "")


def assert_error(proc, *parts):
    """One line on standard error holding each part, exit status 2."""
    assert proc.returncode == 2, proc.stderr
    assert "Traceback" not in proc.stderr
    assert proc.stderr.count("\n") == 1, proc.stderr
    assert proc.stderr.startswith("calvoro: ")
    for part in parts:
        assert part in proc.stderr
    assert proc.stdout == ""


def assert_usage_error(proc, part):
    assert proc.returncode == 2
    assert "usage:" in proc.stderr and part in proc.stderr
    assert "Traceback" not in proc.stderr
    assert proc.stdout == ""


def listing(directory):
    return sorted(os.listdir(str(directory)))


# -- merging -----------------------------------------------------------------

def test_later_files_merge_into_earlier(run, write):
    a = write("a.json", {"db": {"host": "h", "port": 1}, "k": 1,
                         "n": {"x": 1}, "keep": "a"})
    b = write("b.json", {"db": {"port": 2, "opts": {"ssl": True}}, "k": 2})
    c = write("c.json", {"k": 3, "n": "replaced", "new": [1]})
    proc = run(a, b, c)
    assert_ok(proc)
    # key order: the first file's keys first, new keys after
    assert proc.stdout == json.dumps({
        "db": {"host": "h", "port": 2, "opts": {"ssl": True}}, "k": 3,
        "n": "replaced", "keep": "a", "new": [1]}) + "\n"


def test_options_and_files_in_any_order(run, write, tmp_path):
    proc = run(write("a.json", {"a": 1}), "-o", "out.json", "--indent", "1",
               write("b.json", {"b": 2}), "--", write("-c.json", {"c": 3}))
    assert_ok(proc)
    assert json.loads((tmp_path / "out.json").read_text()) == {
        "a": 1, "b": 2, "c": 3}


@pytest.mark.parametrize("args, expected", [
    ([], '{"b": {"y": [1, 2], "x": "é€"}, "a": 1}\n'),
    (["--compact"], '{"b":{"y":[1,2],"x":"é€"},"a":1}\n'),
    (["--sort-keys"], '{"a": 1, "b": {"x": "é€", "y": [1, 2]}}\n'),
    (["--ascii"], '{"b": {"y": [1, 2], "x": "\\u00e9\\u20ac"}, "a": 1}\n'),
    (["--indent", "2"],
     '{\n  "b": {\n    "y": [\n      1,\n      2\n    ],\n'
     '    "x": "\u00e9\u20ac"\n  },\n  "a": 1\n}\n'),
    (["--indent", "0", "--compact"], None),
    (["--indent", "-1"], None),
], ids=["default", "compact", "sort-keys", "ascii", "indent", "indent+compact",
        "negative-indent"])
def test_layout(run, write, args, expected):
    proc = run(write("a.json", {"b": {"y": [1, 2], "x": "é€"}, "a": 1}),
               *args)
    if expected is None:
        assert_usage_error(proc, "--")
    else:
        assert_ok(proc)
        assert proc.stdout == expected


def test_lone_surrogate_stays_valid_utf8_json(run, write):
    proc = run(write("a.json", '{"s": "a\\ud800b\\u00e9"}'))
    assert_ok(proc)
    assert proc.stdout == '{"s": "a\\ud800b\u00e9"}\n'


@pytest.mark.parametrize("settings, expected", [
    (["n=5", "s=text", "q=\"5\"", "b=true", "z=null", "l=[1]", "e="],
     {"db": {"host": "h", "port": 1}, "n": 5, "s": "text", "q": "5",
      "b": True, "z": None, "l": [1], "e": ""}),
    (["db.port=2", "db.new.deep=x"],
     {"db": {"host": "h", "port": 2, "new": {"deep": "x"}}}),
    (['db={"tls": true}'], {"db": {"host": "h", "port": 1, "tls": True}}),
    (["db.host.sub=1"], {"db": {"host": {"sub": 1}, "port": 1}}),
    (['"a.b"."c=d"=1', "x=a=b"],
     {"db": {"host": "h", "port": 1}, "a.b": {"c=d": 1}, "x": "a=b"}),
    (["n=1", "n=2", "n=NaN"], {"db": {"host": "h", "port": 1}, "n": "NaN"}),
], ids=["values", "paths", "object-merges", "replaces-non-object", "quoted",
        "in-order"])
def test_set(run, write, settings, expected):
    args = [write("a.json", {"db": {"host": "h", "port": 1}})]
    for setting in settings:
        args += ["--set", setting]
    proc = run(*args)
    assert_ok(proc)
    assert proc.stdout == json.dumps(expected) + "\n"


@pytest.mark.parametrize("setting", ["a", "=1", "a..b=1", "a.=1", '"a=1',
                                     '"a"b=1'])
def test_set_needs_a_path(run, write, setting):
    assert_usage_error(run(write("a.json", {}), "--set", setting), "--set")


def test_explain(run, write):
    a = write("a.json", {"db": {"host": "h", "port": 1, "o": {}},
                         "list": [1], "x.y": {"k": 1}, "\ud800": 0})
    b = write("b.yaml" if yaml else "b.json",
              {"db": {"port": 2, "o": {}}, "list": [2], "db2": {}})
    proc = run(a.name, b.name, "-", "--set", "db.port=3", "--set", "n.m=1",
               "--explain", input='{"x.y": {"k": 2}, "db": {"host": "s"}}')
    assert_ok(proc)
    assert proc.stdout == textwrap.dedent("""\
        db.host\t<stdin>
        db.port\t--set db.port
        db.o\ta.json
        list\t{b}
        "x.y".k\t<stdin>
        "\\ud800"\ta.json
        db2\t{b}
        n.m\t--set n.m
        """).format(b=b.name)


# Three inputs for the merge modes: arrays to join, values to keep, nulls.
MODE_INPUTS = [
    ("a.json", {"srv": {"hosts": ["a", "b"], "port": 80, "tls": None},
                "tags": ["x"], "name": "a"}),
    ("b.json", {"srv": {"hosts": ["b", "c"], "port": 81}, "tags": ["y"],
                "name": None}),
    ("c.json", {"srv": {"port": None, "extra": {"k": None, "v": 1}},
                "tags": ["x", "z"]}),
]


def merged_with(hosts, port, tags, name, deleted=False):
    """The three inputs merged, given what differs between the modes."""
    if deleted:
        return {"srv": {"hosts": hosts, "tls": None, "extra": {"v": 1}},
                "tags": tags}
    return {"srv": {"hosts": hosts, "port": port, "tls": None,
                    "extra": {"k": None, "v": 1}}, "tags": tags,
            "name": name}


MODES = [
    ([], merged_with(["b", "c"], None, ["x", "z"], None)),
    (["--lists", "append"],
     merged_with(["a", "b", "b", "c"], None, ["x", "y", "x", "z"], None)),
    (["--lists", "prepend"],
     merged_with(["b", "c", "a", "b"], None, ["x", "z", "y", "x"], None)),
    (["--lists", "append_unique"],
     merged_with(["a", "b", "c"], None, ["x", "y", "z"], None)),
    (["--lists", "append_rp"],
     merged_with(["a", "b", "c"], None, ["y", "x", "z"], None)),
    (["--lists", "prepend_rp"],
     merged_with(["b", "c", "a"], None, ["x", "z", "y"], None)),
    (["--lists", "keep"], merged_with(["a", "b"], None, ["x"], None)),
    (["--lists", "replace"], merged_with(["b", "c"], None, ["x", "z"], None)),
    (["--keep-existing"], merged_with(["a", "b"], 80, ["x"], "a")),
    (["--keep-existing", "--lists", "append"],
     merged_with(["a", "b", "b", "c"], 80, ["x", "y", "x", "z"], "a")),
    (["--null-deletes"], merged_with(["b", "c"], 0, ["x", "z"], 0, True)),
    (["--null-deletes", "--lists", "append"],
     merged_with(["a", "b", "b", "c"], 0, ["x", "y", "x", "z"], 0, True)),
    (["--patch"], functools.reduce(
        calvoro.merge_patch, [doc for _, doc in MODE_INPUTS])),
    (["--strict-types"], None),
]


@pytest.mark.parametrize("args, expected", MODES,
                         ids=[" ".join(row[0]) or "rule" for row in MODES])
def test_merge_modes(run, write, args, expected):
    proc = run(*[write(*i).name for i in MODE_INPUTS] + args)
    if expected is None:
        assert_error(proc, "conflicting types at name: a string in a.json, "
                     "null in b.json (--strict-types)")
    else:
        assert_ok(proc)
        assert proc.stdout == json.dumps(expected) + "\n"


EXPLAINED = [
    ([], "srv.hosts b, srv.port c, srv.tls a, srv.extra.k c, "
         "srv.extra.v c, tags c, name b"),
    (["--lists", "append"], "srv.hosts a+b, srv.port c, srv.tls a, "
     "srv.extra.k c, srv.extra.v c, tags a+b+c, name b"),
    (["--keep-existing"], "srv.hosts a, srv.port a, srv.tls a, "
     "srv.extra.k c, srv.extra.v c, tags a, name a"),
    (["--keep-existing", "--lists", "prepend"], "srv.hosts a+b, srv.port a, "
     "srv.tls a, srv.extra.k c, srv.extra.v c, tags a+b+c, name a"),
    (["--patch"], "srv.hosts b, srv.tls a, srv.extra.v c, tags c"),
]


@pytest.mark.parametrize("args, lines", EXPLAINED,
                         ids=[" ".join(row[0]) or "rule" for row in EXPLAINED])
def test_explain_follows_merge_modes(run, write, args, lines):
    files = [write(*i).name for i in MODE_INPUTS]
    proc = run(*files + args + ["--explain"])
    assert_ok(proc)
    # a joined array names each input it came from (a+b)
    assert proc.stdout == "".join(
        "%s\t%s\n" % (path, "\t".join(label + ".json"
                                      for label in labels.split("+")))
        for path, labels in map(str.split, lines.split(", ")))
    # the leaves of the document the same options make, in its order
    merged = json.loads(run(*files + args).stdout)
    assert [line.split("\t")[0] for line in proc.stdout.splitlines()] == \
        list(leaf_paths(merged))


def leaf_paths(doc, prefix=""):
    for key, value in doc.items():
        if isinstance(value, dict) and value:
            for path in leaf_paths(value, prefix + key + "."):
                yield path
        else:
            yield prefix + key


STRICT = [
    ([{"n": 1}, {"n": 2}], ["--keep-existing", "--set", "n=s"],
     "n: an integer in 2.json, a string in --set n"),
    ([{"a": {"b.c": 1}}, {"a": {"b.c": 1.5}}], [],
     'a."b.c": an integer in 1.json, a float in 2.json'),
    ([{"a": {"k": 1}}, {"b": 1}, {"a": {"j": 2}}, {"a": [1]}], [],
     "a: an object in 3.json, an array in 4.json"),
    ([{"a": [1]}, {"a": [2]}, {"a": None}], ["--lists", "append"],
     "a: an array in 2.json, null in 3.json"),
    ([{"a": 1}, {"a": None}, {"a": "x"}, {"a": 1}], ["--null-deletes"],
     "a: a string in 3.json, an integer in 4.json"),
]


@pytest.mark.parametrize("report", [[], ["--explain"], ["--conflicts"]],
                         ids=["merge", "explain", "conflicts"])
@pytest.mark.parametrize("docs, args, message", STRICT,
                         ids=["kept", "int-float", "merged-object",
                              "joined-array", "deleted"])
def test_strict_types_names_path_types_and_inputs(run, write, docs, args,
                                                  message, report):
    files = [write("%d.json" % i, doc).name
             for i, doc in enumerate(docs, 1)]
    proc = run(*files + args + ["--strict-types"] + report)
    # standard error ends its line with "\r\n" on Windows
    assert_error(proc, "calvoro: conflicting types at %s (--strict-types)"
                 % message)


CONFLICTS = [
    ([{"db": {"h": 1}}, {"db": "x"}, {"db": {"k": 1.5}}], [],
     {"db": {"k": 1.5}},
     ["db: an object in 1.json, a string in 2.json (replaced)",
      "db: a string in 2.json, an object in 3.json (replaced)"]),
    ([{"db": {"h": 1}}, {"db": "x"}, {"db": {"k": 1.5}}],
     ["--keep-existing"], {"db": {"h": 1, "k": 1.5}},
     ["db: an object in 1.json, a string in 2.json (kept)"]),
    ([{"a": [1]}, {"a": [2], "n": None}, {"a": 1.5, "n": True}],
     ["--lists", "append"], {"a": 1.5, "n": True},
     ["a: an array in 2.json, a float in 3.json (replaced)",
      "n: null in 2.json, a boolean in 3.json (replaced)"]),
    ([{"a": 1}, {"a": 2}], [], {"a": 2}, []),
]


@pytest.mark.parametrize("docs, args, merged, lines", CONFLICTS,
                         ids=["rule", "kept", "joined", "none"])
def test_conflicts_follow_the_document(run, write, docs, args, merged,
                                       lines):
    files = [write("%d.json" % i, doc).name
             for i, doc in enumerate(docs, 1)]
    proc = run(*files + args + ["--conflicts"])
    assert proc.returncode == 0
    assert json.loads(proc.stdout) == merged
    assert proc.stderr.splitlines() == [
        "calvoro: conflicting types at " + line for line in lines]


@pytest.mark.parametrize("args", [["--lists", "append"], ["--keep-existing"],
                                  ["--strict-types"]],
                         ids=lambda args: args[0])
def test_patch_takes_no_other_mode(run, write, args):
    assert_usage_error(run(write("a.json", {}), "--patch", *args),
                       "--patch cannot be combined with " + args[0])


def test_version_and_help(run):
    proc = run("--version")
    assert_ok(proc)
    # argparse prints through sys.stdout, which writes "\r\n" on Windows
    assert proc.stdout.replace("\r\n", "\n") == (
        "calvoro %s\n" % calvoro.__version__)
    proc = run("--help")
    assert_ok(proc)
    assert "usage: python -m calvoro" in proc.stdout
    assert "examples:" in proc.stdout and "--set server.port" in proc.stdout
    assert "merge modes:" in proc.stdout and "--lists MODE" in proc.stdout


def test_console_script(run, write):
    script = shutil.which("calvoro", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("calvoro is not installed as a console script here")
    proc = run(write("a.json", {"a": 1}), write("b.json", {"b": 2}),
               command=[script])
    assert_ok(proc)
    assert json.loads(proc.stdout) == {"a": 1, "b": 2}
    assert "usage: calvoro" in run(command=[script]).stderr


# -- formats -----------------------------------------------------------------

TOML_DOC = ('[db]\nhost = "h"\nport = 1\n[db.when]\nday = 1979-05-27\n'
            'at = 1979-05-27T07:32:00Z\n')
YAML_DOC = textwrap.dedent("""\
    db:
      host: h
      port: 1
      when: {day: 1979-05-27}
    base: &base {x: 1}
    copy: *base
    1: one
    true: yes
    false: off
    """)
OVERRIDE = {"toml": "[db]\nport = 2\n", "yaml": "db: {port: 2}\n"}


def parsed(fmt):
    """TOML_DOC or YAML_DOC as calvoro writes it."""
    if fmt == "toml":
        return {"db": {"host": "h", "port": 1, "when": {
            "day": "1979-05-27", "at": "1979-05-27T07:32:00+00:00"}}}
    return {"db": {"host": "h", "port": 1, "when": {"day": "1979-05-27"}},
            "base": {"x": 1}, "copy": {"x": 1}, "1": "one", "true": True,
            "false": False}


@pytest.mark.parametrize("fmt, base, override, args", [
    pytest.param("toml", "base.toml", "over.json", [], marks=needs_toml),
    pytest.param("toml", "base.cfg", "over.txt", ["--format", "toml"],
                 marks=needs_toml),
    pytest.param("toml", "-", "over.txt", ["--format", "toml"],
                 marks=needs_toml),
    pytest.param("yaml", "base.yaml", "over.yml", [], marks=needs_yaml),
    pytest.param("yaml", "-", "over.txt", ["--format", "yaml"],
                 marks=needs_yaml),
], ids=["toml+json", "toml-forced", "toml-stdin", "yaml+yml", "yaml-stdin"])
def test_formats(run, write, fmt, base, override, args):
    over = (json.dumps({"db": {"port": 2}}) if override.endswith(".json")
            else OVERRIDE[fmt])
    text = TOML_DOC if fmt == "toml" else YAML_DOC
    inputs = [base if base == "-" else write(base, text),
              write(override, over)]
    proc = run(*inputs + args + ["--set", "base.x=5"],
               input=text if base == "-" else None)
    assert_ok(proc)
    want = parsed(fmt)
    want["db"]["port"] = 2
    # YAML's alias made a second object: setting one leaves the other
    want.setdefault("base", {})["x"] = 5
    assert json.loads(proc.stdout) == want


def env_with_stubs(tmp_path, *modules):
    """An environment where importing the modules fails."""
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    for module in modules:
        (stubs / (module + ".py")).write_text("raise ImportError('stub')\n")
    env = cli_env()
    env["PYTHONPATH"] = os.pathsep.join(
        [str(stubs)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return env


@needs_toml
@pytest.mark.skipif(sys.version_info < (3, 11), reason="tomli is the only "
                    "TOML reader before 3.11")
def test_toml_through_tomli(run, write, tmp_path):
    pytest.importorskip("tomli")
    proc = run(write("a.toml", TOML_DOC),
               env=env_with_stubs(tmp_path, "tomllib"))
    assert_ok(proc)
    assert json.loads(proc.stdout) == parsed("toml")


@pytest.mark.parametrize("name, content, extra", [
    ("a.toml", "a = 1\n", "calvoro[toml]"),
    ("a.yaml", "a: 1\n", "calvoro[yaml]"),
], ids=["toml", "yaml"])
def test_missing_extra_is_named(run, write, tmp_path, name, content, extra):
    proc = run(write(name, content),
               env=env_with_stubs(tmp_path, "tomllib", "tomli", "yaml"))
    assert_error(proc, name, "pip install '%s'" % extra)


# -- bad input ---------------------------------------------------------------

BAD_INPUTS = [
    # name, content, parts of the message
    ("bad.json", '{\n  "a": 1,\n  "b": }\n', ["line 3", "column 8"]),
    ("top.json", "[1, 2]", ["top level is an array, not an object"]),
    ("top.json", '"text"', ["top level is a string"]),
    ("top.json", "3", ["top level is a number"]),
    ("top.json", "null", ["top level is null"]),
    ("nan.json", '{"a": NaN}', ["NaN is not JSON", "--allow-nan"]),
    ("inf.json", '{"a": [-Infinity]}', ["-Infinity is not JSON"]),
    ("big.json", '{"a": {"b": 1e999}}', ["a.b", "out of range",
                                         "Infinity is not JSON"]),
    ("deep.json", '{"a":' * 100000 + "1" + "}" * 100000,
     ["nested too deeply"]),
    pytest.param("bad.toml", "a = = 1\n", ["invalid TOML", "line 1"],
                 marks=needs_toml),
    pytest.param("nan.toml", "a = nan\n", ["nan is not JSON"],
                 marks=needs_toml),
    pytest.param("top.yaml", "- 1\n", ["top level is an array"],
                 marks=needs_yaml),
    pytest.param("bad.yaml", "a: 1\nb: [\n", ["invalid YAML at line 3"],
                 marks=needs_yaml),
    pytest.param("inf.yaml", "a: {b: .inf}\n", ["Infinity at a.b is not"],
                 marks=needs_yaml),
    pytest.param("loop.yaml", "a: &x [1, *x]\n", ["recursive alias at a"],
                 marks=needs_yaml),
    pytest.param("bin.yaml", "a: !!binary aGk=\n", ["bytes", "at a"],
                 marks=needs_yaml),
    pytest.param("key.yaml", "a: 1\n? [1, 2]\n: 3\n",
                 ["line 2, column 3", "key that JSON has no form for"],
                 marks=needs_yaml),
]


@pytest.mark.parametrize("name, content, parts", BAD_INPUTS, ids=[
    "json-syntax", "array", "string", "number", "null", "nan", "infinity",
    "overflow", "too-deep", "toml-syntax", "toml-nan", "yaml-array",
    "yaml-syntax", "yaml-inf", "yaml-recursive", "yaml-binary",
    "yaml-list-key"])
def test_bad_input(run, write, tmp_path, name, content, parts):
    out = write("out.json", "previous")
    proc = run(write("a.json", {"a": 1}), write(name, content), "-o", out)
    assert_error(proc, name, *parts)
    # nothing is written, not even a temporary file
    assert out.read_text() == "previous"
    assert listing(tmp_path) == sorted(["a.json", name, "out.json"])


@pytest.mark.parametrize("args, parts", [
    (["missing.json"], ["missing.json: cannot read", "No such file"]),
    (["d.json"], ["d.json: cannot read"]),
    (["latin.json"], ["latin.json: not UTF-8 text (byte 7)"]),
], ids=["missing", "directory", "latin-1"])
def test_unreadable_input(run, tmp_path, args, parts):
    (tmp_path / "d.json").mkdir()
    (tmp_path / "latin.json").write_bytes(b'{"a": "\xe9"}')
    assert_error(run(*args), *parts)


def test_allow_nan(run, write):
    proc = run(write("a.json", '{"a": NaN, "b": [Infinity, 1e999]}'),
               "--allow-nan")
    assert_ok(proc)
    assert proc.stdout == '{"a": NaN, "b": [Infinity, Infinity]}\n'


def test_long_integer(run, write):
    digits = "7" * 5000
    proc = run(write("long.json", '{"n": %s}' % digits))
    if hasattr(sys, "get_int_max_str_digits"):
        assert_error(proc, "long.json", "more than %d digits"
                     % sys.get_int_max_str_digits(), "PYTHONINTMAXSTRDIGITS")
    else:
        assert_ok(proc)
        assert proc.stdout == '{"n": %s}\n' % digits


@pytest.mark.parametrize("depth", [500, 990, 3000])
def test_deep_nesting_ends_cleanly(run, write, depth):
    deep = write("deep.json", '{"a":' * depth + "1" + "}" * depth)
    proc = run(deep, deep)
    if proc.returncode == 0:
        assert proc.stdout == deep.read_text().replace(":", ": ") + "\n"
    else:
        assert_error(proc, "nested too deeply")


def test_usage_errors(run, write):
    assert_usage_error(run(), "FILE")
    assert_usage_error(run("-", "-", input="{}"), "only once")
    assert_usage_error(run(write("a.json", {}), "--bogus"), "--bogus")
    assert_usage_error(run(write("a.json", {}), "--format", "ini"), "ini")


# -- where the output goes ---------------------------------------------------

@posix_only("file modes are POSIX's; Windows keeps a read-only flag")
def test_output_file_is_replaced(run, write, tmp_path):
    out = write("out.json", "old")
    os.chmod(str(out), 0o640)
    proc = run(write("a.json", {"a": 1}), write("b.json", {"b": 2}),
               "-o", out)
    assert_ok(proc)
    assert proc.stdout == ""
    assert json.loads(out.read_text()) == {"a": 1, "b": 2}
    assert stat.S_IMODE(os.stat(str(out)).st_mode) == 0o640
    assert listing(tmp_path) == ["a.json", "b.json", "out.json"]


def test_output_may_be_an_input(run, write, tmp_path):
    link = tmp_path / "link.json"
    a = write("a.json", {"a": 1})
    try:
        link.symlink_to(a.name)
    except OSError as exc:      # Windows, without the privilege
        pytest.skip("cannot make a symbolic link here: %s" % exc)
    if not link.is_symlink():   # wine reports success and makes none
        pytest.skip("symbolic links are not made here")
    assert_ok(run(link, write("b.json", {"b": 2}), "-o", link))
    assert link.is_symlink()
    assert json.loads(a.read_text()) == {"a": 1, "b": 2}


@pytest.mark.parametrize("out", ["-", None], ids=["dash", "none"])
def test_standard_output(run, write, tmp_path, out):
    proc = run(write("a.json", {"a": 1}), *(["-o", out] if out else []))
    assert_ok(proc)
    assert proc.stdout == '{"a": 1}\n'
    assert listing(tmp_path) == ["a.json"]


@posix_only("/dev/stdout, /dev/fd and /proc/self/fd are POSIX's")
@pytest.mark.parametrize("target", ["/dev/stdout", "/dev/fd/1",
                                    "/proc/self/fd/1"])
def test_stdout_link_appends_in_place(run, write, tmp_path, target):
    # a link to /dev/stdout, not the machine's own entry: writing through
    # it must reach the descriptor (opened for appending), not replace the
    # file behind it
    link = tmp_path / "stdout"
    link.symlink_to(target)
    log = tmp_path / "log.txt"
    log.write_text("first\n")
    inode = os.stat(str(log)).st_ino
    with open(str(log), "ab") as f:
        proc = run(write("a.json", {"a": 1}), "-o", link, stdout=f)
    assert_ok(proc)
    assert os.stat(str(log)).st_ino == inode
    assert log.read_text() == 'first\n{"a": 1}\n'


def test_unwritable_directory(run, write, tmp_path):
    proc = run(write("a.json", {}), "-o", tmp_path / "no" / "out.json")
    assert_error(proc, "out.json: cannot write", "No such file")


def drop_dac_override():
    """Runs in the child: root loses the right to write read-only files."""
    libc = ctypes.CDLL(None, use_errno=True)
    pr_capbset_drop, cap_dac_override = 24, 1
    if libc.prctl(pr_capbset_drop, cap_dac_override, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl")


@posix_only("POSIX permissions, os.geteuid and prctl")
@pytest.mark.parametrize("locked", ["file", "directory"])
def test_permissions_as_a_shell_redirection(run, write, tmp_path, locked):
    # a read-only file is refused; a writable file in a read-only directory,
    # which no rename can replace, is written in place
    sub = tmp_path / "sub"
    sub.mkdir()
    out = sub / "out.json"
    out.write_text("old")
    inode = os.stat(str(out)).st_ino
    os.chmod(str(out if locked == "file" else sub), 0o555)
    preexec = drop_dac_override if os.geteuid() == 0 else None
    try:
        proc = run(write("a.json", {"a": 1}), "-o", out, preexec_fn=preexec)
    except subprocess.SubprocessError as exc:
        pytest.skip("cannot drop CAP_DAC_OVERRIDE: %s" % exc)
    finally:
        os.chmod(str(sub), 0o755)
    if locked == "file":
        assert_error(proc, "out.json: cannot write", "Permission denied")
        assert out.read_text() == "old"
    else:
        assert_ok(proc)
        assert out.read_text() == '{"a": 1}\n'
        assert os.stat(str(out)).st_ino == inode
    assert listing(sub) == ["out.json"]


@posix_only("os.mkfifo is POSIX's")
def test_fifo_is_written_in_place(run, write, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(str(fifo))
    # a failing input: the FIFO is not even opened (that would block)
    assert_error(run(write("bad.json", "{"), "-o", fifo), "bad.json")
    got = []

    def read():
        with open(str(fifo), "rb") as f:
            got.append(f.read())
    reader = threading.Thread(target=read)
    reader.start()
    try:
        proc = run(write("a.json", {"a": 1}), "-o", fifo)
    finally:
        if reader.is_alive():
            # unblock the reader whatever happened
            os.close(os.open(str(fifo), os.O_WRONLY | os.O_NONBLOCK))
        reader.join()
    assert_ok(proc)
    assert got == [b'{"a": 1}\n']
    assert stat.S_ISFIFO(os.stat(str(fifo)).st_mode)


def char_device(tmp_path, name, minor):
    """A copy of /dev/null (minor 3) or /dev/full (7) made in tmp_path."""
    path = tmp_path / name
    try:
        os.mknod(str(path), stat.S_IFCHR | 0o666, os.makedev(1, minor))
        os.close(os.open(str(path), os.O_WRONLY))
    except OSError as exc:
        pytest.skip("cannot make and open a character device here: %s" % exc)
    return path


@posix_only("os.mknod is POSIX's")
@pytest.mark.parametrize("name, minor, via_stdout", [
    ("null", 3, False), ("full", 7, False), ("full", 7, True),
], ids=["null", "full", "full-as-stdout"])
def test_character_device(run, write, tmp_path, name, minor, via_stdout):
    device = char_device(tmp_path, name, minor)
    a = write("a.json", {"a": "x" * 100})
    if via_stdout:
        with open(str(device), "wb") as f:
            proc = run(a, stdout=f)
    else:
        proc = run(a, "-o", device)
    if name == "full":
        label = "<stdout>" if via_stdout else name
        assert_error(proc, "%s: cannot write: No space left on device"
                     % label)
    else:
        assert_ok(proc)
    assert stat.S_ISCHR(os.stat(str(device)).st_mode)
    assert listing(tmp_path) == ["a.json", name]


WITHOUT_SIGPIPE = """\
import signal, sys
if hasattr(signal, "SIGPIPE"):
    del signal.SIGPIPE
from calvoro.cli import main
sys.exit(main())
"""


@pytest.mark.parametrize("sigpipe", [
    pytest.param(True, marks=posix_only("SIGPIPE is POSIX's")), False,
], ids=["killed-by-sigpipe", "without-sigpipe"])
def test_reader_going_away_is_quiet(write, tmp_path, sigpipe):
    big = write("big.json", {"k%d" % i: "v" * 100 for i in range(3000)})
    command = ["-m", "calvoro"] if sigpipe else ["-c", WITHOUT_SIGPIPE]
    proc = subprocess.Popen([sys.executable] + command + [str(big)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            cwd=str(tmp_path), env=cli_env())
    proc.stdout.close()
    err = proc.stderr.read()
    proc.stderr.close()
    # without the signal (Windows): the status of a failure
    assert proc.wait(timeout=60) == (-signal.SIGPIPE if sigpipe else 2)
    assert err == b""


# -- -o without the POSIX calls, as on Windows --------------------------------

NOT_ON_WINDOWS = ["fchown", "O_CLOEXEC", "getuid", "getgid"]


@pytest.fixture(params=[NOT_ON_WINDOWS + ["fchmod"], NOT_ON_WINDOWS],
                ids=["before-3.13", "3.13"])
def windows_os(request, monkeypatch):
    """os without what Windows lacks (os.fchmod came in Python 3.13)."""
    for name in request.param:
        monkeypatch.delattr(os, name, raising=False)


@pytest.mark.parametrize("existing", [True, False], ids=["existing", "new"])
def test_output_replaced_without_posix_calls(tmp_path, windows_os, existing):
    from calvoro.cli import main
    out = tmp_path / "out.json"
    if existing:
        out.write_bytes(b"old")
        os.chmod(str(out), 0o640)
        before = os.stat(str(out))
        mode = stat.S_IMODE(before.st_mode)
    else:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    (tmp_path / "a.json").write_bytes(b'{"a": {"b": 1}}')
    assert main([str(tmp_path / "a.json"), "--indent", "1",
                 "-o", str(out)]) == 0
    assert out.read_bytes() == b'{\n "a": {\n  "b": 1\n }\n}\n'
    after = os.stat(str(out))
    assert stat.S_IMODE(after.st_mode) == mode
    if existing:
        # renamed over the old file, which was not written into
        assert after.st_ino != before.st_ino
    assert listing(tmp_path) == ["a.json", "out.json"]


def test_device_written_in_place_without_posix_calls(tmp_path, windows_os):
    from calvoro.cli import main
    if sys.platform == "win32":
        device, made = os.devnull, []
    else:
        device, made = str(char_device(tmp_path, "null", 3)), ["null"]
    (tmp_path / "a.json").write_bytes(b'{"a": 1}')
    assert main([str(tmp_path / "a.json"), "-o", device]) == 0
    assert stat.S_ISCHR(os.stat(device).st_mode)
    assert listing(tmp_path) == ["a.json"] + made
