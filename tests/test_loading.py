"""Loading of both modules: what happens once per process, so each case runs
in a fresh interpreter."""
import json
import textwrap

import pytest

from helpers import run_script

MODULES = ["anyfold", "tightfold"]

# Prepended to every script: NAME is the short name, QUAL the qualified one.
PRELUDE = """
import importlib, json, sys
NAME = sys.argv[1]
QUAL = "calvoro." + NAME
"""


def run(name, code, *args):
    return run_script(PRELUDE + textwrap.dedent(code), name, *args)


@pytest.mark.parametrize("name", MODULES)
def test_reload_and_reimport_keep_the_module(name):
    proc = run(name, """
        import copy
        m = importlib.import_module(QUAL)
        result = {"test": [type(m.__test__).__name__, m.__test__]}
        functions = {f: getattr(m, f) for f in
                     ["merge", "merge_inplace", "merge_many",
                      "merge_many_inplace"]}
        test = m.__test__
        m.deepcopy = copy.copy
        m.caller_set = "kept"

        def same(other):
            return [other is m, other.__test__ is test,
                    other.deepcopy is copy.copy,
                    getattr(other, "caller_set", None) == "kept",
                    all(getattr(other, f) is functions[f]
                        for f in functions),
                    sys.modules[QUAL] is m,
                    getattr(sys.modules["calvoro"], NAME) is m]

        result["reload"] = same(importlib.reload(m))
        del sys.modules[QUAL]
        result["reimport"] = same(importlib.import_module(QUAL))
        del sys.modules[QUAL]
        exec("import calvoro.%s as again" % NAME)
        result["statement"] = same(again)
        print(json.dumps(result))
    """)
    result = json.loads(proc.stdout)
    assert result.pop("test") == ["dict", {}]
    assert result == {key: [True] * 7
                      for key in ["reload", "reimport", "statement"]}


@pytest.mark.parametrize("name, taken", [
    ("anyfold", True), ("tightfold", False), ("tightfold", True)])
def test_registered_under_the_qualified_name(name, taken):
    # Loaded from a spec named by its last component only; the fixed key is
    # filled when free and left alone when taken.
    proc = run(name, """
        import importlib.util
        import calvoro
        taken = sys.argv[2] == "True"
        origin = importlib.util.find_spec(QUAL).origin
        placeholder = object()
        if taken:
            sys.modules[QUAL] = placeholder
        spec = importlib.util.spec_from_file_location(NAME, origin)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        entry = sys.modules[QUAL]
        result = [module.__name__, entry is module, entry is placeholder]
        # the process has one module, whatever name it was first loaded as
        del sys.modules[QUAL]
        result.append(importlib.import_module(QUAL) is module)
        result.append(module.merge({"a": {"b": 1}}, {"a": {"c": 2}}))
        print(json.dumps(result))
    """, str(taken))
    assert json.loads(proc.stdout) == [
        name, not taken, taken, True, {"a": {"b": 1, "c": 2}}]


BREAKERS = {
    # exec checks for `range` among the builtins before the module's body;
    # removed only while the module's own exec step runs, since the import
    # machinery of some versions calls range() itself
    "no range": (
        "import builtins, importlib.machinery as machinery\n"
        "saved = machinery.ExtensionFileLoader.exec_module\n"
        "def exec_without_range(loader, module):\n"
        "    kept = builtins.range\n"
        "    del builtins.range\n"
        "    try:\n"
        "        saved(loader, module)\n"
        "    finally:\n"
        "        builtins.range = kept\n"
        "machinery.ExtensionFileLoader.exec_module = exec_without_range",
        "machinery.ExtensionFileLoader.exec_module = saved",
        "NameError", "name 'range' is not defined"),
    "copy lacks deepcopy": (
        "import copy, types; saved = copy; "
        "sys.modules['copy'] = types.ModuleType('copy')",
        "sys.modules['copy'] = saved",
        "ImportError", "cannot import name deepcopy"),
    "copy blocked": (
        "import copy; saved = copy; sys.modules['copy'] = None",
        "sys.modules['copy'] = saved",
        "ModuleNotFoundError", "import of copy halted; None in sys.modules"),
}


@pytest.mark.parametrize("breaker", sorted(BREAKERS))
@pytest.mark.parametrize("name", MODULES)
def test_failed_exec_forgets_the_module(name, breaker):
    breaking, repair, exc_name, message = BREAKERS[breaker]
    proc = run(name, """
        import traceback
        import calvoro
        %s
        try:
            exec("import calvoro." + NAME)
        except Exception as exc:
            failed = exc
        %s
        entries = [(e.filename, e.lineno, e.name)
                   for e in traceback.extract_tb(failed.__traceback__)]
        tb = failed.__traceback__
        while tb.tb_next is not None:
            tb = tb.tb_next
        failed_ns = tb.tb_frame.f_globals
        result = {
            "exc": [type(failed).__name__, str(failed)],
            "entries": [e for e in entries if e[0].startswith("src/")],
            "innermost": list(entries[-1]),
            "forgotten": [QUAL in sys.modules,
                          hasattr(calvoro, NAME)],
            "failed namespace": sorted(
                key for key in ["__builtins__", "deepcopy", "__test__"]
                if key in failed_ns),
        }
        import copy
        m = importlib.import_module(QUAL)
        result["afresh"] = [vars(m) is not failed_ns, m.__test__ == {},
                            m.deepcopy is copy.deepcopy,
                            sys.modules[QUAL] is m]
        result["works"] = m.merge_many([{"a": {"b": 1}}, {"a": {"c": 2}}])
        print(json.dumps(result))
    """ % (breaking.replace("\n", "\n        "), repair))
    entry = ["src/calvoro/" + name, 1, "init calvoro." + name]
    assert json.loads(proc.stdout) == {
        "exc": [exc_name, message],
        "entries": [entry],
        "innermost": entry,
        "forgotten": [False, False],
        "failed namespace": ["__builtins__"],
        "afresh": [True] * 4,
        "works": {"a": {"b": 1, "c": 2}},
    }


@pytest.mark.parametrize("name", MODULES)
def test_second_interpreter_is_refused(name):
    proc = run(name, """
        try:
            import _testcapi
            run_in_subinterp = _testcapi.run_in_subinterp
        except (ImportError, AttributeError):
            print(json.dumps("unavailable"))
            sys.exit()
        m = importlib.import_module(QUAL)
        sys.stderr.flush()
        status = run_in_subinterp("import " + QUAL)
        print(json.dumps([status, m.merge({"a": 1}, {"b": 2})]))
    """)
    result = json.loads(proc.stdout)
    if result == "unavailable":
        pytest.skip("this interpreter has no sub-interpreter test hook")
    assert result == [-1, {"a": 1, "b": 2}]
    assert proc.stderr.rstrip().splitlines()[-1] == (
        "ImportError: Interpreter change detected - this module can only "
        "be loaded into one interpreter per process.")
