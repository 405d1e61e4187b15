"""Instructions per call of calvoro's merges, against their floors.

    python bench/instructions.py [--calls N] [--cpu [--batches N]]
                                 [--json FILE] [WORKLOAD ...]

Run it like bench/bench.py, in an environment where calvoro is installed
and calvoro_floor is importable (scripts/bench.sh PYTHON --instructions does
both). Workloads: flat, config, many and config-lists (all four by
default).

Where valgrind is on PATH, the figures are instruction counts from
callgrind, which are exact and do not care what else the machine is doing;
without it (or with --cpu) they are the thread's CPU time per call, the
median of several batches (9, or --batches), whose figures --json keeps
too, so that runs can be pooled (bench/compare.py).

Counting. For each workload and contender a child interpreter runs under
callgrind with PYTHONHASHSEED=0: it builds the workload with bench.py's
seeded generators, turns the cyclic collector off, makes a pool of N + 1
fresh inputs as bench.py does, and calls the contender once to warm up; then
it either calls the contender on the N others or does nothing, and leaves
with os._exit, so neither child pays for freeing anything. The two children
do the same work up to that point, so their difference over N is what one
call costs: the call itself and the little that map() adds to reach it.

Before counting, every contender's result is compared with the plain
function's in this process, as bench.py does; one that disagrees is
reported and not counted.

The tables give, per workload, the in-place merges (merge_many_inplace on
many) beside the value-first floor and the setdefault floor (bench.py's
public-API floor), with tightfold and anyfold as multiples of the
value-first floor; then, on flat and config, the copying merges as
multiples of copy.deepcopy of the first mapping, the least any copying
merge costs in pure Python; then, on config-lists (bench.py's: the config
workload whose override meets lists with lists, and a set and a tuple with
their kinds), calvoro.Merger in place, without options and with lists, sets
and tuples joined, as multiples of tightfold.merge_inplace.

Exit status 1 if any contender disagreed with the plain function or a
count failed.
"""
import argparse
import gc
import itertools
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import time

import bench

tightfold, anyfold = bench.tightfold, bench.anyfold
floor = bench.calvoro_floor


def setdefault_many(dicts):
    merge = floor.merge_inplace
    first = dicts[0]
    for d in itertools.islice(dicts, 1, None):
        merge(first, d)


def contenders(kind):
    """{id: Impl} for a workload of `kind` ("pair", "many" or "modes")."""
    Impl = bench.Impl
    if kind == "modes":
        from calvoro import Merger
        impls = {
            "tf.inplace": Impl("tightfold.merge_inplace",
                               tightfold.merge_inplace, True),
            "merger": Impl(bench.RULE_MERGER, Merger().merge_inplace, True),
            "merger.joins": Impl(
                bench.JOINS_MERGER, Merger(**bench.ALL_JOINS).merge_inplace,
                True, reference=bench.plain_joining_tuples_inplace),
        }
        if floor:
            impls["vfirst"] = Impl(bench.VALUE_FIRST_FLOOR,
                                   floor.merge_inplace_value_first, True,
                                   floor=True)
        return impls
    if kind == "many":
        # no copying merges: copying the first of many small dicts is too
        # small a part of merge_many for deepcopy to say anything
        impls = {
            "tf.inplace": Impl("tightfold.merge_many_inplace",
                               tightfold.merge_many_inplace, True),
            "af.inplace": Impl("anyfold.merge_many_inplace",
                               anyfold.merge_many_inplace, True),
        }
        if floor:
            impls["vfirst"] = Impl(bench.VALUE_FIRST_FLOOR,
                                   bench.value_first_many, True, floor=True)
            impls["setdef"] = Impl(bench.PUBLIC_FLOOR, setdefault_many, True,
                                   floor=True)
        return impls
    impls = {
        "tf.inplace": Impl("tightfold.merge_inplace", tightfold.merge_inplace,
                           True),
        "af.inplace": Impl("anyfold.merge_inplace", anyfold.merge_inplace,
                           True),
        "tf.merge": Impl("tightfold.merge", tightfold.merge, False),
        "af.merge": Impl("anyfold.merge", anyfold.merge, False),
        "deepcopy": Impl("copy.deepcopy", bench.deepcopy_alone, False,
                         floor=True, compare=False),
    }
    if floor:
        impls["vfirst"] = Impl(bench.VALUE_FIRST_FLOOR,
                               floor.merge_inplace_value_first, True,
                               floor=True)
        impls["setdef"] = Impl(bench.PUBLIC_FLOOR, floor.merge_inplace, True,
                               floor=True)
    return impls


ORDER = ("vfirst", "setdef", "tf.inplace", "af.inplace", "deepcopy",
         "tf.merge", "af.merge", "merger", "merger.joins")

# Sized so that a child under callgrind takes seconds, not minutes.
WORKLOADS = {
    "flat": ("pair", lambda: bench.PairInputs(*bench.flat_pair(2000, 1),
                                              fresh_mode="paths")),
    "config": ("pair", lambda: bench.PairInputs(
        *bench.config_pair(2, depth=4, fanout=7, touched=0.06),
        fresh_mode="paths")),
    "many": ("many", lambda: bench.ManyInputs(bench.many_dicts(4),
                                              fresh_mode="paths")),
    "config-lists": ("modes", lambda: bench.PairInputs(
        *bench.config_lists_pair(2), fresh_mode="paths", containers=True)),
}


def count_keys(d):
    return sum(1 + (count_keys(v) if isinstance(v, dict) else 0)
               for v in d.values())


def title(name, inputs):
    if name == "config-lists":
        a, b = count_keys(inputs.first), count_keys(inputs.second)
        return ("config of fanout 8 with lists, a set and a tuple met by "
                "their kinds: {:,} + {:,} keys".format(a, b))
    if name == "flat":
        return "{:,} str keys into {:,}, {:,} of them shared".format(
            len(inputs.second), len(inputs.first),
            len(set(inputs.first) & set(inputs.second)))
    if name == "config":
        a, b = count_keys(inputs.first), count_keys(inputs.second)
        return ("dicts 4 deep, fanout 7, override touches 6% of the leaves: "
                "{:,} + {:,} = {:,} keys".format(a, b, a + b))
    return "merge_many of {:,} small configuration dicts, {:,} keys".format(
        len(inputs.dicts), sum(map(count_keys, inputs.dicts)))


def run_calls(impl, inputs, pool):
    if inputs.kind == "many":
        return list(map(impl.call, pool))
    return list(map(impl.call, pool, itertools.repeat(inputs.second,
                                                      len(pool))))


def child(workload, ident, calls, mode):
    kind, build = WORKLOADS[workload]
    impl = contenders(kind)[ident]
    inputs = build()
    gc.collect()
    gc.disable()
    pool = bench.make_pool(impl, inputs, calls + 1)
    # results are kept: freeing them is no part of a call
    warm = run_calls(impl, inputs, pool[:1])
    if mode == "call":
        out = run_calls(impl, inputs, pool[1:])
    sys.stdout.flush()
    os._exit(0)


COLLECTED = re.compile(r"^==\d+== Collected : (\d+)$", re.M)


def instructions(valgrind, workload, ident, calls, mode):
    env = dict(os.environ, PYTHONHASHSEED="0")
    cmd = [valgrind, "--tool=callgrind", "--callgrind-out-file=/dev/null",
           "--dump-instr=no", "--dump-line=no", sys.executable,
           os.path.abspath(__file__), "--child", workload, ident, str(calls),
           mode]
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True)
    out, err = proc.communicate()
    found = COLLECTED.findall(err)
    if proc.returncode != 0 or len(found) != 1:
        raise RuntimeError("callgrind run failed (%s %s %s, status %d):\n%s"
                           % (workload, ident, mode, proc.returncode,
                              err[-2000:]))
    return int(found[0])


def per_call_instructions(valgrind, workload, ident, calls):
    # "call" and "none" are the same length, so that nothing but the calls
    # differs between the two children, not even the size of argv
    with_calls = instructions(valgrind, workload, ident, calls, "call")
    without = instructions(valgrind, workload, ident, calls, "none")
    return (with_calls - without) / float(calls)


def per_call_cpu_ns(impl, inputs, calls, batches):
    samples = []
    gc.collect()
    gc.disable()
    try:
        for _ in range(batches):
            pool = bench.make_pool(impl, inputs, calls + 1)
            run_calls(impl, inputs, pool[:1])
            pool = pool[1:]
            t0 = bench.now_ns()
            out = run_calls(impl, inputs, pool)
            samples.append((bench.now_ns() - t0) / float(calls))
            del out, pool
    finally:
        gc.enable()
    return bench.median(samples), samples


def gil_state():
    """(free-threaded build, GIL enabled now): an extension without the
    declaration turns the GIL on when imported, so this is read after the
    imports."""
    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    is_enabled = getattr(sys, "_is_gil_enabled", None)
    return free, is_enabled() if is_enabled else True


def fmt_count(x, unit):
    if x is None:
        return "-"
    if unit == "ns":
        return bench.fmt_time(x)
    return "{:,.0f}".format(x)


def share(figures, num, den):
    try:
        return figures[num] / figures[den]
    except (KeyError, TypeError, ZeroDivisionError):
        return None


def main():
    parser = argparse.ArgumentParser(
        description="Counts the instructions per call of calvoro's merges "
                    "and of their floors.")
    parser.add_argument("workloads", nargs="*", metavar="WORKLOAD",
                        help="among %s (default: all)"
                        % ", ".join(sorted(WORKLOADS)))
    parser.add_argument("--calls", type=int, default=30, metavar="N",
                        help="calls per count (default 30)")
    parser.add_argument("--cpu", action="store_true",
                        help="time by CPU time even where valgrind is "
                             "present")
    parser.add_argument("--batches", type=int, default=9, metavar="N",
                        help="batches per figure when timing (default 9)")
    parser.add_argument("--json", metavar="FILE",
                        help="write the figures to FILE")
    args = parser.parse_args()
    names = args.workloads or ["flat", "config", "many", "config-lists"]
    for name in names:
        if name not in WORKLOADS:
            parser.error("no workload %r" % name)
    if args.calls < 1:
        parser.error("--calls must be at least 1")
    if args.batches < 1:
        parser.error("--batches must be at least 1")
    valgrind = None if args.cpu else shutil.which("valgrind")
    unit = "instr" if valgrind else "ns"
    started = time.time()

    bench.print_setting()
    free_threaded, gil_enabled = gil_state()
    if free_threaded:
        print("free-threaded build, GIL %s"
              % ("ENABLED" if gil_enabled else "disabled"))
    for note in bench.notes:
        if "calvoro_floor" in note:
            print("note: %s" % note)
    if valgrind:
        version = subprocess.check_output(
            [valgrind, "--version"], universal_newlines=True).strip()
        print("method: instructions per call, counted by callgrind (%s), "
              "%d calls per count, PYTHONHASHSEED=0" % (version, args.calls))
    else:
        bench.use_cpu_clock()
        print("method: thread CPU time per call (%s), median of %d "
              "batches of %d calls" % ("--cpu" if args.cpu else "no valgrind",
                                       args.batches, args.calls))
    sys.stdout.flush()

    results = {}
    failed = False
    for name in names:
        kind, build = WORKLOADS[name]
        inputs = build()
        impls = contenders(kind)
        ordered = [i for i in ORDER if i in impls]
        fit = bench.validate(name, [impls[i] for i in ordered], inputs)
        fit_names = set(impl.name for impl, _ in fit)
        figures = {}
        samples = {}
        for ident in ordered:
            impl = impls[ident]
            if impl.name not in fit_names:
                continue
            try:
                if valgrind:
                    figures[ident] = per_call_instructions(
                        valgrind, name, ident, args.calls)
                else:
                    figures[ident], samples[ident] = per_call_cpu_ns(
                        impl, inputs, args.calls, args.batches)
            except RuntimeError as e:
                print("!!! %s" % e)
                failed = True
        results[name] = {
            "title": title(name, inputs),
            "names": dict((i, impls[i].name) for i in ordered),
            "floors": [i for i in ordered if impls[i].floor],
            "per_call": figures,
            "samples": samples,
            "ratios": {
                "tf.inplace/vfirst": share(figures, "tf.inplace", "vfirst"),
                "af.inplace/vfirst": share(figures, "af.inplace", "vfirst"),
                "tf.merge/deepcopy": share(figures, "tf.merge", "deepcopy"),
                "af.merge/deepcopy": share(figures, "af.merge", "deepcopy"),
                "merger/tf.inplace": share(figures, "merger", "tf.inplace"),
                "merger.joins/tf.inplace": share(figures, "merger.joins",
                                                 "tf.inplace"),
            },
        }
        del inputs
        gc.collect()

    per = "instructions" if valgrind else "CPU time"
    print()
    print("workloads:")
    for name in names:
        print("  %-7s %s" % (name, results[name]["title"]))
    modes = [name for name in names if WORKLOADS[name][0] == "modes"]
    if len(modes) < len(names):
        print()
        print("== in-place merges (merge_many_inplace on many): %s per call"
              % per)
        print("%-7s %12s %12s %12s %12s %9s %9s" % (
            "", "value-first", "setdefault", "tightfold", "anyfold",
            "tf/vfirst", "af/vfirst"))
    for name in names:
        if name in modes:
            continue
        r = results[name]
        f = r["per_call"]
        print("%-7s %12s %12s %12s %12s %9s %9s" % (
            name, fmt_count(f.get("vfirst"), unit),
            fmt_count(f.get("setdef"), unit),
            fmt_count(f.get("tf.inplace"), unit),
            fmt_count(f.get("af.inplace"), unit),
            bench.fmt_ratio(r["ratios"]["tf.inplace/vfirst"]),
            bench.fmt_ratio(r["ratios"]["af.inplace/vfirst"])))
    pairs = [name for name in names if WORKLOADS[name][0] == "pair"]
    if pairs:
        print()
        print("== copying merges against copy.deepcopy of the first mapping: "
              "%s per call" % per)
        print("%-7s %12s %12s %12s %9s %9s" % (
            "", "deepcopy", "tightfold", "anyfold", "tf/deepc", "af/deepc"))
    for name in pairs:
        r = results[name]
        f = r["per_call"]
        print("%-7s %12s %12s %12s %9s %9s" % (
            name, fmt_count(f.get("deepcopy"), unit),
            fmt_count(f.get("tf.merge"), unit),
            fmt_count(f.get("af.merge"), unit),
            bench.fmt_ratio(r["ratios"]["tf.merge/deepcopy"]),
            bench.fmt_ratio(r["ratios"]["af.merge/deepcopy"])))
    if modes:
        print()
        print("== calvoro.Merger in place against tightfold.merge_inplace: "
              "%s per call (targets: Merger() <= 1.05x, joins <= 1.3x)" % per)
        print("%-13s %12s %12s %12s %12s %9s %9s" % (
            "", "value-first", "tightfold", "Merger()", "joins", "M/tf",
            "joins/tf"))
    for name in modes:
        r = results[name]
        f = r["per_call"]
        print("%-13s %12s %12s %12s %12s %9s %9s" % (
            name, fmt_count(f.get("vfirst"), unit),
            fmt_count(f.get("tf.inplace"), unit),
            fmt_count(f.get("merger"), unit),
            fmt_count(f.get("merger.joins"), unit),
            bench.fmt_ratio(r["ratios"]["merger/tf.inplace"]),
            bench.fmt_ratio(r["ratios"]["merger.joins/tf.inplace"])))
    elapsed = time.time() - started
    print()
    if bench.mismatches:
        print("!!! %d MISMATCH(ES): see the lines marked !!! above"
              % len(bench.mismatches))
    print("%.0f s in all" % elapsed)

    if args.json:
        doc = {
            "python": platform.python_version(),
            "implementation": platform.python_implementation(),
            "executable": sys.executable,
            "platform": platform.platform(),
            "method": "callgrind" if valgrind else "cpu",
            "unit": "instructions" if valgrind else "ns",
            "calls": args.calls,
            "batches": None if valgrind else args.batches,
            "free_threaded": free_threaded,
            "gil_enabled": gil_state()[1],
            "notes": bench.notes,
            "mismatches": bench.mismatches,
            "workloads": results,
            "seconds": elapsed,
        }
        with open(args.json, "w") as f:
            json.dump(doc, f, indent=1, sort_keys=True)
        print("wrote %s" % args.json)
    return 1 if bench.mismatches or failed else 0


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5])
    sys.exit(main())
