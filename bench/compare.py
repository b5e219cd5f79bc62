#!/usr/bin/python3
"""Two runs of bench/run.sh side by side: for each filter, corpus and size,
the rate of each measurement in the run before and the run after, and the
change, as one Markdown table on standard output.

Usage: compare.py BEFORE AFTER [--title TEXT]

BEFORE and AFTER are results folders (build/bench/ of each run, copied
aside). Rates are MB/s of UTF-16 input, as in the report; a change is the
after rate over the before rate. Two whole runs taken one after the other
are not an alternating measurement: the table says where to look, not how
much a change is worth on a noisy machine.
"""
import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from results import SIZE_NAMES, Results, mbs, rate  # noqa: E402


def package_rates(results, name):
    """(filter, corpus, size) -> tobble's rate in python.json or node.json."""
    path = os.path.join(results, name)
    if not os.path.exists(path):
        return {}
    return {
        (r["filter"], r["corpus"], r["size"]): rate(r["utf16"], r["tobble_s"])
        for r in json.load(open(path))["results"]
    }


def measurements(results):
    """Each measurement's name and its rate for a key, for one run."""
    run = Results(results, quick=False)
    python, node = package_rates(results, "python.json"), package_rates(results, "node.json")
    return run, [
        ("core", lambda key: run.core_rates(key)[0]),
        ("plug-in 64-bit", lambda key: run.plugin_rates("64", key)[0]),
        ("tool", lambda key: run.tool_rates(key)[0] if key in run.tool else None),
        ("Python", python.get),
        ("Node", node.get),
    ]


def change(before, after):
    if not before or not after:
        return "—"
    return f"{100 * (after / before - 1):+.0f}%"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--title", default="Before and after")
    args = parser.parse_args()
    before_run, before = measurements(args.before)
    after_run, after = measurements(args.after)
    names = [name for name, _ in before]
    print(f"## {args.title}", "", sep="\n")
    print("| Filter | Corpus | Size |" + "".join(f" {n}: before, after, change |" for n in names))
    print("|---|---|---|" + "---:|" * len(names))
    keys = [k for k in after_run.by_key if k in before_run.by_key]
    for key in keys:
        cells = []
        for (_, was), (_, now) in zip(before, after):
            b, a = was(key), now(key)
            cells.append("—" if b is None and a is None else f"{mbs(b)}, {mbs(a)}, {change(b, a)}")
        filt, corpus, size = key
        print(f"| `{filt}` | {corpus} | {SIZE_NAMES[size]} |" + "".join(f" {c} |" for c in cells))
    print()


if __name__ == "__main__":
    main()
