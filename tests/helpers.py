"""Misbehaving and recording objects shared by the tests."""
import collections
import contextlib
import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc
import traceback


def object_graph(roots):
    """Every object reachable from the roots through dicts, lists and
    tuples, by id, and how many references those hold to each."""
    seen = {}
    held = collections.Counter()
    pending = list(roots)
    while pending:
        obj = pending.pop()
        if id(obj) in seen:
            continue
        seen[id(obj)] = obj
        if isinstance(obj, dict):
            parts = [part for item in dict.items(obj) for part in item]
        elif isinstance(obj, (list, tuple)):
            parts = list(obj)
        else:
            continue
        held.update(id(part) for part in parts)
        pending.extend(parts)
    return seen, held


def tb_entries(exc):
    """(file, line, name) of every traceback entry of an exception."""
    return [(f.filename, f.lineno, f.name)
            for f in traceback.extract_tb(exc.__traceback__)]


def module_entries(exc, prefix="src/calvoro/"):
    """Only the entries that the extension modules added."""
    return [e for e in tb_entries(exc) if e[0].startswith(prefix)]


def run_script(code, *args, env=None, check=True):
    """Run code in a fresh interpreter; returns the CompletedProcess.

    For behaviour that happens once per process (loading) or that writes to
    the real standard error (unraisable reports).
    """
    full_env = dict(os.environ)
    full_env.pop("PYTHONWARNINGS", None)
    if env:
        full_env.update(env)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)] + list(args),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, env=full_env)
    if check and proc.returncode != 0:
        raise AssertionError("script failed (%d):\n%s\n%s" % (
            proc.returncode, proc.stdout, proc.stderr))
    return proc


# Leak checks: calls to warm up, then to count over.
WARMUP = 200
ROUNDS = 3000
# A leak of one small object per call grows by more than ROUNDS blocks and
# about 16 * ROUNDS bytes; the allowances cover caches filled on the way.
OBJECT_ALLOWANCE = ROUNDS // 20
BYTE_ALLOWANCE = 16 * 1024


def leak_growth(once, watch):
    """Calls once() ROUNDS times after WARMUP more: the bytes and objects
    that stayed, and the reference counts of the objects watch() gives
    after the warm-up (which fills in-place targets for good), before and
    after the rounds."""
    for _ in range(WARMUP):
        once()
    gc.collect()
    watched = watch()
    refcounts = [sys.getrefcount(obj) for obj in watched]
    objects = len(gc.get_objects())
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(ROUNDS):
            once()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    objects = len(gc.get_objects()) - objects
    return grown, objects, refcounts, [sys.getrefcount(obj) for obj in watched]


class RaisingKey:
    """Equal hashes, and a comparison that fails."""

    def __hash__(self):
        return 7

    def __eq__(self, other):
        raise ValueError("no comparison")


class HashKey:
    """A key with a chosen hash whose hashing and equality count calls.

    ``on_eq`` / ``on_hash`` run arbitrary code (raise, mutate) when set.
    """

    def __init__(self, name, hash_value=None, log=None):
        self.name = name
        self.hash_value = hash(name) if hash_value is None else hash_value
        self.log = [] if log is None else log
        self.on_eq = None
        self.on_hash = None

    def __hash__(self):
        self.log.append(("hash", self.name))
        if self.on_hash is not None:
            self.on_hash()
        return self.hash_value

    def __eq__(self, other):
        self.log.append(("eq", self.name))
        if self.on_eq is not None:
            self.on_eq()
        if isinstance(other, HashKey):
            return self.name == other.name
        return NotImplemented

    def __repr__(self):
        return "HashKey(%r)" % (self.name,)


class RecordingMapping:
    """A mapping that implements only the protocol methods and logs each.

    Not a dict subclass, so as a nested value it is replaced, never merged.
    """

    def __init__(self, data=None, log=None, name="m"):
        self.data = dict(data or {})
        self.log = [] if log is None else log
        self.name = name

    def __iter__(self):
        self.log.append((self.name, "iter"))
        return iter(list(self.data))

    def __contains__(self, key):
        self.log.append((self.name, "contains", key))
        return key in self.data

    def __getitem__(self, key):
        self.log.append((self.name, "getitem", key))
        return self.data[key]

    def __setitem__(self, key, value):
        self.log.append((self.name, "setitem", key))
        self.data[key] = value

    def __len__(self):
        self.log.append((self.name, "len"))
        return len(self.data)


class RecordingDict(dict):
    """A dict subclass whose protocol overrides log each call."""

    def __init__(self, *args, log=None, name="d", **kwargs):
        super().__init__(*args, **kwargs)
        self.log = [] if log is None else log
        self.name = name

    def __iter__(self):
        self.log.append((self.name, "iter"))
        return super().__iter__()

    def __contains__(self, key):
        self.log.append((self.name, "contains", key))
        return super().__contains__(key)

    def __getitem__(self, key):
        self.log.append((self.name, "getitem", key))
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        self.log.append((self.name, "setitem", key))
        super().__setitem__(key, value)


class SubDict(dict):
    """A plain dict subclass."""


class _Discard:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


class Reports:
    """What quiet_reports saw: how many exceptions were printed, the last."""

    def __init__(self):
        self.count = 0
        self.last = None

    def hook(self, exc_type, exc_value, exc_tb):
        self.count += 1
        self.last = exc_value


_LAST = ("last_type", "last_value", "last_traceback", "last_exc")


@contextlib.contextmanager
def quiet_reports():
    """Counts tightfold's unraisable reports in this process and hides them.

    Each report first goes through sys.excepthook, then through
    sys.unraisablehook (3.8+) or straight to sys.stderr (3.6, 3.7). Keeps no
    growing state, so leak checks can use it too.
    """
    reports = Reports()
    names = ["stderr", "excepthook"]
    if hasattr(sys, "unraisablehook"):
        names.append("unraisablehook")
    saved = {name: getattr(sys, name) for name in names}
    saved_last = {name: getattr(sys, name) for name in _LAST
                  if hasattr(sys, name)}
    sys.stderr = _Discard()
    sys.excepthook = reports.hook
    if hasattr(sys, "unraisablehook"):
        sys.unraisablehook = lambda unraisable: None
    try:
        yield reports
    finally:
        for name, value in saved.items():
            setattr(sys, name, value)
        for name in _LAST:
            if name in saved_last:
                setattr(sys, name, saved_last[name])
            elif hasattr(sys, name):
                delattr(sys, name)
