"""Benchmark of the command line, ``python -m calvoro``, on two workloads.

    python bench/bench_cli.py [--quick] [--repeat N] [--keep DIR]

Run it with an interpreter where calvoro is installed (scripts/bench-cli.sh
makes such an environment). Workloads, made from a seeded generator in a
temporary directory before anything is timed:

- many: 300 JSON files of 300 top-level keys each; half the keys are shared
  by every file (nested objects that merge), half are the file's own, so
  the result grows to some 45,000 keys;
- large: a base JSON document of 50 MB and a small override of a few
  hundred keys scattered through it.

Contenders, each run as its own process with standard output sent to
/dev/null, so that every figure includes the start of an interpreter:

- calvoro: ``python -m calvoro FILES``, and on many also with
  ``--explain`` (which input set each leaf), against calvoro's own merge;
- parse+serialize: the same interpreter parsing every input with
  json.loads and writing every parsed document with json.dumps (UTF-8,
  one line), without merging: the floor any Python tool that reads and
  writes these files has;
- jq: ``jq -c -s 'reduce .[] as $x ({}; . * $x)' FILES``, where jq is on
  PATH (skipped with a note when it is not).

Before timing, calvoro's output is checked against a merge in Python (same
keys in the same order, same values) and against jq's (same values). Then
each repetition runs every contender once, in an order rotated by one per
repetition; the tables show the median wall time, the median CPU time
(user + system, from wait4) and the largest resident set size. Ratios are
of medians measured in this one run; the targets are judged on CPU time,
which other work on a shared machine disturbs less than wall time.

Exit status 1 if an output disagreed, or if a target was missed.
"""
import argparse
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# The floor: what reading and writing these files costs in the same
# interpreter, with the cyclic collector off as calvoro has it.
BASELINE = r"""
import gc, json, os, sys
gc.disable()
for path in sys.argv[1:]:
    with open(path, "rb") as f:
        doc = json.loads(f.read().decode("utf-8-sig"))
    data = json.dumps(doc, ensure_ascii=False).encode("utf-8")
    view = memoryview(data)
    while view:
        view = view[os.write(1, view):]
"""

JQ_PROGRAM = "reduce .[] as $x ({}; . * $x)"


# -- inputs ------------------------------------------------------------------

def leaf(rng, depth=0):
    kind = rng.randrange(8)
    if kind == 0:
        return rng.randrange(-10 ** 6, 10 ** 6)
    if kind == 1:
        return round(rng.uniform(-1000, 1000), 3)
    if kind == 2:
        return rng.random() < 0.5
    if kind == 3:
        return None
    if kind == 4:
        return [rng.randrange(1000) for _ in range(rng.randrange(5))]
    if kind == 5 and depth < 3:
        return {"k%d" % i: leaf(rng, depth + 1)
                for i in range(rng.randrange(1, 5))}
    return "%s-%d" % (rng.choice(("alpha", "beta", "gamma", "δέλτα")),
                      rng.randrange(10 ** 6))


def many_files(directory, rng, files=300, keys=300):
    paths = []
    for n in range(files):
        doc = {}
        for i in range(keys):
            if i % 2 == 0:
                # shared by every file: nested objects that merge
                doc["shared%d" % i] = {"v": n, "opts": {"k%d" % (n % 7): leaf(rng)},
                                       "n%d" % n: leaf(rng)}
            else:
                doc["f%d_%d" % (n, i)] = leaf(rng)
        path = os.path.join(directory, "many-%03d.json" % n)
        with open(path, "w", encoding="utf-8") as f:
            json.dump(doc, f, ensure_ascii=False)
        paths.append(path)
    return paths


def large_files(directory, rng, megabytes=50):
    base = {}
    size = 0
    section = 0
    while size < megabytes * 10 ** 6:
        body = {"name": "section-%d" % section,
                "items": {"item%d" % i: {"id": i, "value": leaf(rng),
                                         "tags": ["t%d" % rng.randrange(50)
                                                  for _ in range(3)],
                                         "meta": leaf(rng)}
                          for i in range(100)}}
        base["section%d" % section] = body
        size += len(json.dumps(body, ensure_ascii=False).encode("utf-8"))
        section += 1
    override = {}
    for _ in range(300):
        s = "section%d" % rng.randrange(section)
        i = "item%d" % rng.randrange(100)
        override.setdefault(s, {"items": {}})["items"][i] = {
            "value": leaf(rng), "new": leaf(rng)}
    override["added"] = {"by": "override"}
    paths = []
    for name, doc in (("large-base.json", base),
                      ("large-override.json", override)):
        path = os.path.join(directory, name)
        with open(path, "w", encoding="utf-8") as f:
            json.dump(doc, f, ensure_ascii=False)
        paths.append(path)
    return paths


# -- checks ------------------------------------------------------------------

def python_merge(a, b):
    for key, value in b.items():
        if key in a and isinstance(a[key], dict) and isinstance(value, dict):
            python_merge(a[key], value)
        else:
            a[key] = value


def expected(paths):
    result = {}
    for path in paths:
        with open(path, encoding="utf-8") as f:
            python_merge(result, json.load(f))
    return result


def same_order(a, b):
    if isinstance(a, dict):
        return (isinstance(b, dict) and list(a) == list(b)
                and all(same_order(a[k], b[k]) for k in a))
    if isinstance(a, list):
        return (isinstance(b, list) and len(a) == len(b)
                and all(same_order(x, y) for x, y in zip(a, b)))
    return a == b and type(a) is type(b)


def check(out_calvoro, out_jq, paths):
    """Run in a process of its own: 'ok' or what is wrong."""
    with open(out_calvoro, encoding="utf-8") as f:
        got = json.load(f)
    if not same_order(expected(paths), got):
        return "calvoro's output differs from a merge in Python"
    if out_jq:
        with open(out_jq, encoding="utf-8") as f:
            if json.load(f) != got:
                return "calvoro's output differs from jq's"
    return "ok"


def run_to_file(command, path):
    with open(path, "wb") as out:
        proc = subprocess.run(command, stdout=out, stderr=subprocess.PIPE)
    if proc.returncode != 0:
        raise RuntimeError("%s failed: %s" % (
            command[0], proc.stderr.decode("utf-8", "replace")[-500:]))


# -- timing ------------------------------------------------------------------

def timed(command):
    """(wall s, CPU s, peak resident MB) of one run, output to /dev/null."""
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        proc = subprocess.Popen(command, stdout=null)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
    proc.returncode = status
    if status != 0:
        raise RuntimeError("%s ended with wait status %d" % (command[0],
                                                             status))
    return elapsed, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0


def measure(contenders, repeat):
    """name -> (median wall s, median CPU s, largest peak RSS MB)."""
    samples = {name: [] for name in contenders}
    names = list(contenders)
    for r in range(repeat):
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            samples[name].append(timed(contenders[name]))
    return {name: (statistics.median(s[0] for s in samples[name]),
                   statistics.median(s[1] for s in samples[name]),
                   max(s[2] for s in samples[name]))
            for name in names}


def make_inputs(directory):
    """Run in a process of its own: the workloads' input paths, as JSON."""
    rng = random.Random(14)
    return {"many": many_files(directory, rng),
            "large": large_files(directory, rng)}


def helper(*args):
    """Runs this script in a child process for a step that needs memory.

    The timed processes are started from this one, and on Linux a child
    started with vfork reports its parent's peak memory as its own: the
    parent stays small by leaving generation and checking to helpers.
    """
    proc = subprocess.run([sys.executable, os.path.abspath(__file__)]
                          + list(args), stdout=subprocess.PIPE,
                          universal_newlines=True)
    if proc.returncode != 0:
        raise RuntimeError("helper %s failed" % args[0])
    return proc.stdout


def main():
    if sys.argv[1:2] == ["--make"]:
        print(json.dumps(make_inputs(sys.argv[2])))
        return 0
    if sys.argv[1:2] == ["--check"]:
        print(check(sys.argv[2], sys.argv[3], sys.argv[4:]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer repetitions")
    parser.add_argument("--repeat", type=int,
                        help="repetitions of each workload (default 11 for "
                             "many, 5 for large; 5 and 3 with --quick)")
    parser.add_argument("--keep", metavar="DIR",
                        help="make the inputs in DIR and keep them")
    args = parser.parse_args()

    jq = shutil.which("jq")
    py = sys.executable
    print("Python %s (%s), %s" % (platform.python_version(), py,
                                  platform.platform()))
    if jq:
        version = subprocess.run([jq, "--version"], stdout=subprocess.PIPE,
                                 universal_newlines=True).stdout.strip()
        print("jq: %s (%s)" % (jq, version))
    else:
        print("note: jq is not on PATH; its rows are skipped "
              "(apt-get install jq)")

    directory = args.keep or tempfile.mkdtemp(prefix="calvoro-bench-cli-")
    os.makedirs(directory, exist_ok=True)
    print("making the inputs in %s" % directory)
    inputs = json.loads(helper("--make", directory))
    workloads = [
        ("many: 300 files of 300 keys", inputs["many"], 2.0, 1.2, 11, 5),
        ("large: 50 MB base + override", inputs["large"], 1.3, None, 5, 3),
    ]
    failed = False
    rows = []
    try:
        for (title, paths, target, explain_target, reps,
             quick_reps) in workloads:
            megabytes = sum(os.path.getsize(p) for p in paths) / 1e6
            print("\n== %s (%d files, %.1f MB)" % (title, len(paths),
                                                   megabytes))
            contenders = {
                "calvoro": [py, "-m", "calvoro"] + paths,
                "parse+serialize": [py, "-c", BASELINE] + paths,
            }
            if explain_target:
                contenders["calvoro --explain"] = (contenders["calvoro"]
                                                   + ["--explain"])
            if jq:
                contenders["jq"] = [jq, "-c", "-s", JQ_PROGRAM] + paths
            out_calvoro = os.path.join(directory, "out-calvoro.json")
            out_jq = os.path.join(directory, "out-jq.json") if jq else ""
            run_to_file(contenders["calvoro"], out_calvoro)
            if jq:
                run_to_file(contenders["jq"], out_jq)
            verdict = helper("--check", out_calvoro, out_jq, *paths).strip()
            if verdict != "ok":
                print("FAIL: %s" % verdict)
                failed = True
                continue
            repeat = args.repeat or (quick_reps if args.quick else reps)
            result = measure(contenders, repeat)
            print("%-18s %10s %10s %12s" % ("", "wall s", "CPU s",
                                            "peak RSS MB"))
            for name, (wall, cpu, peak) in result.items():
                print("%-18s %10.3f %10.3f %12.0f" % (name, wall, cpu, peak))
            print("(medians of %d runs each, interleaved)" % repeat)
            others = [("parse+serialize", target)]
            if jq:
                others.append(("jq", None))
            pairs = [("calvoro", other, limit) for other, limit in others]
            if explain_target:
                pairs.append(("calvoro --explain", "calvoro", explain_target))
            for one, other, limit in pairs:
                cpu = result[one][1] / result[other][1]
                wall = result[one][0] / result[other][0]
                ok = cpu <= limit if limit else cpu < 1
                rows.append(("%s: %s / %s" % (title, one, other),
                             "<= %.1f" % limit if limit else "< 1",
                             cpu, wall, ok))
    finally:
        if not args.keep:
            shutil.rmtree(directory, ignore_errors=True)

    print("\n== ratios of medians, measured in this run (target on CPU "
          "time)")
    print("%-58s %-7s %6s %6s" % ("", "target", "CPU", "wall"))
    for figure, target, cpu, wall, ok in rows:
        print("%-58s %-7s %6.2f %6.2f  %s" % (figure, target, cpu, wall,
                                              "ok" if ok else "MISSED"))
        failed = failed or not ok
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
