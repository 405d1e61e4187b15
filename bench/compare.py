"""Compares two sets of bench/instructions.py --json figures: B against A.

    python bench/compare.py [--limit X] [--instructions A.json B.json]
                            [--json FILE] A B

A and B are each a --json file or a directory of them (rounds: one file
per run, any workloads each). Files of the same name in A and B are taken
as a pair, run close together in time, as scripts/bench-free-threading.sh
runs them.

Per workload and contender, the table gives A's and B's CPU time per call
(the median of every batch of every round) and the ratio B/A: the median
of the per-round ratios where rounds pair up, which drift on the machine
hits on both sides alike, else the ratio of the pooled medians. The spread
is the interquartile range of the per-round ratios. --instructions adds
callgrind counts of one run each, where those were made.

Exit status 1 if a calvoro contender's ratio exceeds --limit (when
given), 2 on unusable input.
"""
import argparse
import json
import os
import sys

import bench


def load(path):
    """{round name: document} from a file or a directory of them."""
    if os.path.isdir(path):
        names = sorted(n for n in os.listdir(path) if n.endswith(".json"))
        if not names:
            sys.exit("error: no .json files in %s" % path)
        return dict((n, load_one(os.path.join(path, n))) for n in names)
    return {os.path.basename(path): load_one(path)}


def load_one(path):
    with open(path) as f:
        return json.load(f)


def label(docs):
    doc = next(iter(docs.values()))
    text = doc["python"] + ("t" if doc.get("free_threaded") else "")
    versions = set(d["python"] + str(d.get("free_threaded")) for d in
                   docs.values())
    if len(versions) > 1:
        sys.exit("error: one side mixes interpreters: %s"
                 % ", ".join(sorted(versions)))
    if doc.get("free_threaded"):
        # an import that re-enabled it would leave B timed with a GIL
        on = [n for n, d in docs.items() if d.get("gil_enabled")]
        text += " (GIL ENABLED in %d run(s))" % len(on) if on else " (no GIL)"
    return text


def gather(docs):
    """{(workload, ident): {"rounds": {round: ns}, "samples": [...]}},
    with the names, titles and floors met on the way."""
    cells, names, titles, floors = {}, {}, {}, set()
    for rnd, doc in docs.items():
        if doc.get("method") != "cpu":
            sys.exit("error: %s holds %s figures; compare CPU times "
                     "(instructions.py --cpu)" % (rnd, doc.get("method")))
        for workload, r in doc["workloads"].items():
            titles[workload] = r["title"]
            floors.update((workload, i) for i in r.get("floors", ()))
            for ident, ns in r["per_call"].items():
                names[workload, ident] = r["names"][ident]
                cell = cells.setdefault((workload, ident),
                                        {"rounds": {}, "samples": []})
                cell["rounds"][rnd] = ns
                cell["samples"].extend(r.get("samples", {}).get(ident, [ns]))
    return cells, names, titles, floors


def counts(path):
    with open(path) as f:
        doc = json.load(f)
    if doc.get("method") != "callgrind":
        sys.exit("error: %s holds %s figures, not callgrind counts"
                 % (path, doc.get("method")))
    return dict(((w, i), n) for w, r in doc["workloads"].items()
                for i, n in r["per_call"].items())


def quartiles(xs):
    xs = sorted(xs)
    if len(xs) < 4:
        return xs[0], xs[-1]
    lo = bench.median(xs[:len(xs) // 2])
    hi = bench.median(xs[(len(xs) + 1) // 2:])
    return lo, hi


# workloads and contenders in the order instructions.py prints them
WORKLOAD_ORDER = ("flat", "config", "many")
IDENT_ORDER = ("tf.inplace", "af.inplace", "tf.merge", "af.merge",
               "vfirst", "setdef", "deepcopy")


def order(key):
    w, i = key
    return (WORKLOAD_ORDER.index(w) if w in WORKLOAD_ORDER else 99, w,
            IDENT_ORDER.index(i) if i in IDENT_ORDER else 99, i)


def main():
    parser = argparse.ArgumentParser(
        description="CPU time per call of B against A, per workload and "
                    "contender, from instructions.py --json figures.")
    parser.add_argument("a", metavar="A")
    parser.add_argument("b", metavar="B")
    parser.add_argument("--limit", type=float, metavar="X",
                        help="fail if a calvoro contender's B/A exceeds X")
    parser.add_argument("--instructions", nargs=2, metavar=("A.json",
                                                            "B.json"),
                        help="callgrind counts of A and B to show beside")
    parser.add_argument("--json", metavar="FILE",
                        help="write the comparison to FILE")
    args = parser.parse_args()

    docs_a, docs_b = load(args.a), load(args.b)
    label_a, label_b = label(docs_a), label(docs_b)
    cells_a, names, titles, floors = gather(docs_a)
    cells_b, names_b, titles_b, floors_b = gather(docs_b)
    names.update(names_b)
    titles.update(titles_b)
    floors.update(floors_b)
    paired = sorted(set(docs_a) & set(docs_b))
    instr_a = instr_b = {}
    if args.instructions:
        instr_a, instr_b = map(counts, args.instructions)

    doc = next(iter(docs_a.values()))
    print("B/A, CPU time per call: A = %s, B = %s" % (label_a, label_b))
    print("%d and %d file(s), %d of them paired; %s batches of %s calls "
          "per run" % (len(docs_a), len(docs_b), len(paired),
                       doc.get("batches"), doc.get("calls")))
    for w in sorted(titles, key=lambda w: order((w, ""))):
        print("  %-7s %s" % (w, titles[w]))
    print()
    head = "%-7s %-29s %10s %10s %7s %4s %11s" % (
        "", "", "A", "B", "B/A", "n", "rounds IQR")
    if args.instructions:
        head += " %13s %13s %7s" % ("A instr", "B instr", "B/A")
    print(head)

    rows, over = [], []
    previous = None
    for key in sorted(set(cells_a) & set(cells_b), key=order):
        workload, ident = key
        a, b = cells_a[key], cells_b[key]
        med_a, med_b = bench.median(a["samples"]), bench.median(b["samples"])
        per_round = [b["rounds"][r] / a["rounds"][r] for r in paired
                     if r in a["rounds"] and r in b["rounds"]]
        if per_round:
            ratio = bench.median(per_round)
            lo, hi = quartiles(per_round)
            spread = "%.2f-%.2f" % (lo, hi)
        else:
            ratio, spread = med_b / med_a, "-"
        floor = key in floors
        flag = ""
        if args.limit and not floor and ratio > args.limit:
            over.append(key)
            flag = "  !! over %.2fx" % args.limit
        line = "%-7s %-29s %10s %10s %6.2fx %4d %11s" % (
            workload if workload != previous else "",
            names[key] + (" *" if floor else ""),
            bench.fmt_time(med_a), bench.fmt_time(med_b), ratio,
            len(per_round), spread)
        ia, ib = instr_a.get(key), instr_b.get(key)
        if args.instructions:
            line += " %13s %13s %7s" % (
                "-" if ia is None else "{:,.0f}".format(ia),
                "-" if ib is None else "{:,.0f}".format(ib),
                bench.fmt_ratio(ib / ia if ia and ib is not None else None))
        print(line + flag)
        previous = workload
        rows.append({"workload": workload, "id": ident, "name": names[key],
                     "floor": floor, "a_ns": med_a, "b_ns": med_b,
                     "ratio": ratio, "round_ratios": per_round,
                     "a_instructions": ia, "b_instructions": ib})
    print("n: paired rounds behind a ratio; * floors, for reference: what the interpreter's own dict API "
          "costs on each side")
    if args.limit:
        if over:
            print("!!! over %.2fx: %s" % (args.limit, ", ".join(
                "%s %s" % (w, names[w, i]) for w, i in over)))
        else:
            print("every calvoro contender within %.2fx" % args.limit)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"a": label_a, "b": label_b, "rounds": len(docs_a),
                       "paired": len(paired), "limit": args.limit,
                       "rows": rows}, f, indent=1, sort_keys=True)
        print("wrote %s" % args.json)
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
