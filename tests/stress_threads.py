"""Merges racing with mutations, for builds without the global lock.

    python tests/stress_threads.py [--runs N] [--seconds S] [--seed N]

Each run builds a few nested dicts that every thread shares; four threads
call the four merges of both modules, a Merger's merge_many and a copying
Merger's merge on them, in place and copying, while two threads insert,
delete and replace keys at any depth. A merge may fail as the same merge written in Python could under
such races (RuntimeError
for a dict changed while walked, KeyError for a key removed between two
lookups, TypeError or IndexError for a value found to be a dict and
replaced by something else before the nested merge fetched it,
RecursionError when the racing stores made a cycle), or, in
tightfold's in-place merges, report that; anything else, a thread that
dies, or a dict left inconsistent (its length, its iteration and its
lookups disagree) fails the run. Exit status 0 when every run passed.
"""
import argparse
import random
import sys
import threading
import time

from calvoro import Merger, anyfold, tightfold

EXPECTED = (RuntimeError, KeyError, TypeError, IndexError, RecursionError)
MODULES = (anyfold, tightfold)
# a Merger without joins: its merge_many merges into the later dicts it
# added, where joins would grow the shared lists without end
RULE = Merger()
# copies each value it takes, through the copy checks' kept versions
COPYING = Merger(copy=True)


def tree(rng, depth):
    d = {}
    for i in range(rng.randrange(3, 8)):
        if depth and rng.random() < 0.5:
            d["k%d" % i] = tree(rng, depth - 1)
        else:
            d["k%d" % i] = rng.choice([i, "v%d" % i, [i, i], 0.5])
    return d


def pick_dict(rng, roots):
    """A dict somewhere in the shared trees, by a random walk down."""
    d = rng.choice(roots)
    while rng.random() < 0.6:
        children = [v for v in list(d.values()) if type(v) is dict]
        if not children:
            break
        d = rng.choice(children)
    return d


def merger(rng, roots, deadline, errors, counts):
    while time.monotonic() < deadline:
        module = rng.choice(MODULES)
        a, b = pick_dict(rng, roots), pick_dict(rng, roots)
        call = rng.randrange(6)
        try:
            if call == 5:
                COPYING.merge(a, b)
            elif call == 4:
                RULE.merge_many([a, b, pick_dict(rng, roots)])
            elif call == 0:
                module.merge(a, b)
            elif call == 1:
                module.merge_inplace(a, b)
            elif call == 2:
                module.merge_many([a, b, pick_dict(rng, roots)])
            else:
                module.merge_many_inplace([a, b, pick_dict(rng, roots)])
            counts["merges"] += 1
        except EXPECTED:
            counts["raced"] += 1
        except BaseException as exc:  # noqa: B902 - reported below
            errors.append("merge raised %r" % (exc,))
            return


def mutator(rng, roots, deadline, errors, counts):
    try:
        while time.monotonic() < deadline:
            d = pick_dict(rng, roots)
            key = "k%d" % rng.randrange(10)
            action = rng.randrange(3)
            if action == 0:
                d.pop(key, None)
            elif action == 1:
                d[key] = tree(rng, 1)
            else:
                d[key] = rng.choice([1, "s", [1], None])
            counts["mutations"] += 1
    except BaseException as exc:  # noqa: B902 - reported below
        errors.append("mutation raised %r" % (exc,))


def inconsistencies(roots):
    """Dicts whose length, iteration and lookups disagree; walks the trees
    without recursion, since racing merges may have made cycles."""
    found = []
    seen = set()
    todo = list(roots)
    while todo:
        d = todo.pop()
        if id(d) in seen:
            continue
        seen.add(id(d))
        keys = list(d)
        if len(keys) != len(d) or len(set(keys)) != len(keys):
            found.append("length %d, %d keys" % (len(d), len(keys)))
        for key in keys:
            value = d[key]
            if type(value) is dict:
                todo.append(value)
    return found


def one_run(seed, seconds):
    rng = random.Random(seed)
    roots = [tree(rng, 4) for _ in range(3)]
    errors = []
    counts = {"merges": 0, "raced": 0, "mutations": 0, "reported": 0}

    def hook(unraisable):
        if isinstance(unraisable.exc_value, EXPECTED):
            counts["reported"] += 1
        else:
            errors.append("reported %r" % (unraisable.exc_value,))

    # tightfold prints each report before passing it on, by sys.excepthook
    saved = sys.excepthook, getattr(sys, "unraisablehook", None)
    sys.excepthook = lambda *exc_info: None
    sys.unraisablehook = hook
    deadline = time.monotonic() + seconds
    threads = [threading.Thread(target=merger, args=(
        random.Random(seed * 10 + i), roots, deadline, errors, counts))
        for i in range(4)]
    threads += [threading.Thread(target=mutator, args=(
        random.Random(seed * 10 + 5 + i), roots, deadline, errors, counts))
        for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    sys.excepthook, sys.unraisablehook = saved
    return errors + inconsistencies(roots), counts


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=6.0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print("Python %s, GIL %s" % (sys.version.split()[0],
                                 "enabled" if gil else "disabled"))
    failed = 0
    for run in range(args.runs):
        problems, counts = one_run(args.seed + run, args.seconds)
        print("run %d: %d merges, %d raced, %d reported, %d mutations%s" % (
            run + 1, counts["merges"], counts["raced"], counts["reported"],
            counts["mutations"], ": FAILED" if problems else ""))
        for problem in problems[:5]:
            print("    " + problem)
        failed += bool(problems)
    print("%d of %d runs passed" % (args.runs - failed, args.runs))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
