"""calvoro.explain against the merge it explains and a plain-Python walk.

    python bench/explain.py [--calls N] [--cpu] [WORKLOAD ...]

Workloads (bench.py's seeded generators): config (its two layers), config-
lists (the same with lists, a set and a tuple met by their kinds, merged
with lists, sets and tuples joined) and many (100 small layers). For each,
one call of Merger.merge_many, of explain, and of the plain-Python walk
that records origins as explain does (python_explain below, the way the
command line's --explain worked before it was native), each as a multiple
of merge_many. Instructions per call by callgrind where valgrind is on PATH
(a child interpreter runs N calls and one runs none; their difference over
N; the cyclic collector off, as bench/instructions.py counts), else the
median CPU time of batches.
"""
import argparse
import gc
import os
import shutil
import statistics
import subprocess
import sys
import time

import bench
from instructions import COLLECTED

from calvoro import Merger, explain

MERGERS = {
    "config": Merger(),
    "config-lists": Merger(lists="append", sets="union", tuples="append"),
    "many": Merger(),
}


def layers_of(workload):
    if workload == "config":
        return list(bench.config_pair(1))
    if workload == "config-lists":
        return list(bench.config_lists_pair(1))
    return bench.many_dicts(1)


def python_explain(layers, names, lists=None):
    """(result, origins) by the merge rule, or with `lists` joined as
    "append" does, over nested records built in Python."""

    def new(value, name):
        # [origin, records below or None, value]
        if isinstance(value, dict):
            return [name, {k: new(v, name) for k, v in value.items()},
                    value]
        return [name, None, value]

    def add(tree, doc, name):
        for key, value in doc.items():
            node = tree.get(key)
            if node is None:
                tree[key] = new(value, name)
            elif node[1] is not None and isinstance(value, dict):
                add(node[1], value, name)
            elif lists and isinstance(node[2], list) \
                    and isinstance(value, list):
                origin = node[0] if isinstance(node[0], tuple) \
                    else (node[0],)
                tree[key] = [origin + (name,), None, node[2] + value]
            else:
                tree[key] = new(value, name)

    def walk(tree, path, result, origins):
        for key, (origin, below, value) in tree.items():
            if below:
                result[key] = {}
                walk(below, path + (key,), result[key], origins)
            else:
                result[key] = {} if below is not None else value
                origins[path + (key,)] = origin

    tree = new(layers[0], names[0])[1]
    for name, layer in zip(names[1:], layers[1:]):
        add(tree, layer, name)
    result, origins = {}, {}
    walk(tree, (), result, origins)
    return result, origins


def contenders(workload):
    merger = MERGERS[workload]
    lists = "append" if workload == "config-lists" else None
    return {
        "merge_many": lambda layers: merger.merge_many(layers),
        "explain": lambda layers: explain(layers, merger=merger),
        "python walk": lambda layers: python_explain(
            layers, range(len(layers)), lists),
    }


def run_calls(call, layers, calls):
    for _ in range(calls):
        call(layers)


def child(workload, name, calls):
    # as bench/instructions.py counts: without the cyclic collector, whose
    # passes fall wherever allocations happen to cross its threshold
    gc.disable()
    layers = layers_of(workload)
    call = contenders(workload)[name]
    call(layers)
    run_calls(call, layers, calls)
    sys.stdout.flush()
    os._exit(0)


def instructions(valgrind, workload, name, calls):
    env = dict(os.environ, PYTHONHASHSEED="0")
    cmd = [valgrind, "--tool=callgrind", "--callgrind-out-file=/dev/null",
           "--dump-instr=no", "--dump-line=no", sys.executable,
           os.path.abspath(__file__), "--child", workload, name, str(calls)]
    out = subprocess.run(cmd, env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True)
    found = COLLECTED.findall(out.stderr)
    if out.returncode != 0 or len(found) != 1:
        raise RuntimeError("callgrind run failed (%s %s):\n%s"
                           % (workload, name, out.stderr[-2000:]))
    return int(found[0])


def per_call(valgrind, workload, name, calls):
    if valgrind:
        return (instructions(valgrind, workload, name, calls)
                - instructions(valgrind, workload, name, 0)) / calls
    layers = layers_of(workload)
    call = contenders(workload)[name]
    times = []
    for _ in range(9):
        start = time.process_time_ns()
        run_calls(call, layers, calls)
        times.append((time.process_time_ns() - start) / calls)
    return statistics.median(times)


def check(workload):
    """explain's result and origins agree with the plain walk's."""
    layers = layers_of(workload)
    report = contenders(workload)["explain"](layers)
    lists = "append" if workload == "config-lists" else None
    result, origins = python_explain(layers, range(len(layers)), lists)
    if workload != "config-lists" and (report.result != result
                                       or report.origins != origins):
        raise SystemExit("%s: explain and the plain walk disagree" % workload)


def main():
    if sys.argv[1:2] == ["--child"]:
        workload, name, calls = sys.argv[2:5]
        child(workload, name, int(calls))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--calls", type=int, default=20)
    parser.add_argument("--cpu", action="store_true")
    parser.add_argument("workloads", nargs="*",
                        default=["config", "config-lists", "many"])
    args = parser.parse_args()
    valgrind = None if args.cpu else shutil.which("valgrind")
    unit = "instructions" if valgrind else "CPU ns"
    print("%s per call, %s %s" % (unit, sys.implementation.name,
                                  sys.version.split()[0]))
    for workload in args.workloads:
        check(workload)
        figures = {name: per_call(valgrind, workload, name, args.calls)
                   for name in contenders(workload)}
        base = figures["merge_many"]
        print("%s:" % workload)
        for name, value in figures.items():
            print("  %-12s %12.0f  %5.2fx merge_many" % (name, value,
                                                         value / base))
        print("  explain is %.1fx faster than the python walk"
              % (figures["python walk"] / figures["explain"]))


if __name__ == "__main__":
    main()
