#!/usr/bin/env python3
"""Runs every fuzz target of build/fuzz for a while, one after the other.

    tools/fuzz.py [--seconds N] [--report FILE] [--corpus-kib N]

Each target starts from its corpus in git, fuzz/corpus/TARGET, and the seeds
the build made from the case file, and fuzzes in a copy of that corpus under
build/fuzz/work/TARGET.

Without --report (make check) nothing in the tree is written: an input that
breaks a property or crashes is left under build/fuzz/findings/TARGET.

With --report (make fuzz) the run goes on from the last one and is kept:
- the copy, the seeds and the old corpus are minimized with libFuzzer's
  -merge=1 into a fresh folder, the smallest inputs kept up to --corpus-kib
  (512 by default) a target, and that becomes fuzz/corpus/TARGET;
- findings are left under fuzz/regressions/TARGET, which the native tests
  replay from then on;
- the executions and seconds are added to the totals in
  docs/fuzz_totals.json, and the run and the totals are written up as FILE
  (docs/reliability.md).

Exits 1 when any target found something or failed.
"""
import argparse
import datetime
import json
import os
import re
import shutil
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(TOP, "build", "fuzz")
CORPORA = os.path.join(TOP, "fuzz", "corpus")
REGRESSIONS = os.path.join(TOP, "fuzz", "regressions")
FINDINGS = os.path.join(BUILD, "findings")
TOTALS = os.path.join(TOP, "docs", "fuzz_totals.json")
DICTIONARY = os.path.join(TOP, "fuzz", "tokens.dict")

# Inputs up to 4 KiB, no slower than 25 s each.
LIBFUZZER_OPTIONS = ["-max_len=4096", "-timeout=25", "-print_final_stats=1"]


def files_in(folder):
    return set(os.listdir(folder)) if os.path.isdir(folder) else set()


def read_targets():
    with open(os.path.join(BUILD, "fuzz_targets.txt")) as f:
        return [line.split(" ", 1) for line in f.read().splitlines() if line]


def fresh_folder(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def folder_bytes(folder):
    return sum(os.path.getsize(os.path.join(folder, f)) for f in files_in(folder))


def minimize(name, program, sources, cap_bytes):
    """Merges the inputs of the source folders into a fresh folder, keeping
    only those that add coverage, then the smallest of them up to cap_bytes;
    that folder replaces fuzz/corpus/NAME. Returns False when the merge failed
    (the corpus in the tree is then left as it was)."""
    merged = fresh_folder(os.path.join(BUILD, "merged", name))
    log_path = os.path.join(BUILD, f"{name}.merge.log")
    with open(log_path, "w") as log:
        code = subprocess.call([program, "-merge=1", *LIBFUZZER_OPTIONS[:2], merged, *sources],
                               stdout=log, stderr=subprocess.STDOUT)
    if code != 0:
        print(f"fuzz {name}: the merge failed with exit code {code} (see {log_path}); "
              f"fuzz/corpus/{name} is left as it was", file=sys.stderr)
        return False
    kept = 0
    for f in sorted(files_in(merged), key=lambda f: (os.path.getsize(os.path.join(merged, f)), f)):
        size = os.path.getsize(os.path.join(merged, f))
        if kept + size > cap_bytes:
            os.remove(os.path.join(merged, f))
        else:
            kept += size
    corpus = os.path.join(CORPORA, name)
    shutil.rmtree(corpus, ignore_errors=True)
    shutil.copytree(merged, corpus)
    return True


def run_target(name, program, seconds, keep, cap_bytes):
    corpus = os.path.join(CORPORA, name)
    seeds = os.path.join(BUILD, "seeds", name)
    # libFuzzer writes into the first folder only: a copy of the corpus.
    work = os.path.join(BUILD, "work", name)
    shutil.rmtree(work, ignore_errors=True)
    if os.path.isdir(corpus):
        shutil.copytree(corpus, work)
    else:
        os.makedirs(work)
    artifacts = os.path.join(REGRESSIONS if keep else FINDINGS, name)
    os.makedirs(artifacts, exist_ok=True)
    before = files_in(artifacts)
    command = [program, f"-max_total_time={seconds}", f"-dict={DICTIONARY}",
               f"-artifact_prefix={artifacts}/"] + LIBFUZZER_OPTIONS + [work, seeds]
    log_path = os.path.join(BUILD, f"{name}.log")
    start = time.monotonic()
    with open(log_path, "w") as log:
        code = subprocess.call(command, stdout=log, stderr=subprocess.STDOUT)
    elapsed = time.monotonic() - start
    with open(log_path) as log:
        output = log.read()
    found = sorted(files_in(artifacts) - before)
    for folder in (artifacts, os.path.dirname(artifacts)):
        if not os.listdir(folder):
            os.rmdir(folder)
    stat = re.search(r"stat::number_of_executed_units: (\d+)", output)
    runs = re.findall(r"^#(\d+)", output, re.M)
    executions = int(stat.group(1)) if stat else int(runs[-1]) if runs else 0
    failed = code != 0 or bool(found)
    if keep and not minimize(name, program, [work, seeds], cap_bytes):
        failed = True
    return {
        "name": name,
        "executions": executions,
        "seconds": elapsed,
        "corpus": len(files_in(corpus)),
        "corpus_bytes": folder_bytes(corpus),
        "findings": [os.path.relpath(os.path.join(artifacts, f), TOP) for f in found],
        "failed": failed,
        "code": code,
        "log": log_path,
        "output": output,
    }


def add_to_totals(results, today):
    """Adds this run's executions and seconds to docs/fuzz_totals.json and
    returns the totals: per target, executions, seconds, runs and the date of
    the first and last run."""
    totals = {}
    if os.path.exists(TOTALS):
        with open(TOTALS) as f:
            totals = json.load(f)
    for r in results:
        t = totals.setdefault(r["name"], {"executions": 0, "seconds": 0, "runs": 0,
                                          "first": today, "last": today})
        t["executions"] += r["executions"]
        t["seconds"] += round(r["seconds"])
        t["runs"] += 1
        t["last"] = today
    with open(TOTALS, "w") as f:
        json.dump(totals, f, indent=2, sort_keys=True)
        f.write("\n")
    return totals


def cached_compiler():
    """The C++ compiler the fuzz build was configured with (TOBBLE_CLANG_CXX)."""
    with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("TOBBLE_CLANG_CXX:"):
                return line.split("=", 1)[1].strip()
    raise SystemExit("build/fuzz/CMakeCache.txt has no TOBBLE_CLANG_CXX")


def regression_cases():
    cases = []
    for target in sorted(files_in(REGRESSIONS)):
        folder = os.path.join(REGRESSIONS, target)
        if os.path.isdir(folder):
            cases += [f"fuzz/regressions/{target}/{f}" for f in sorted(os.listdir(folder))]
    return cases


def findings_text(result):
    if result["findings"]:
        return ", ".join(f"`{f}`" for f in result["findings"])
    if result["failed"]:
        return f"exit code {result['code']}, no input left (see the log)"
    return "none"


def write_report(path, results, seconds, today, totals):
    describe = subprocess.run([os.path.join(BUILD, "fuzz_helper"), "describe"], check=True,
                              capture_output=True, text=True).stdout
    compiler = subprocess.run([cached_compiler(), "--version"], capture_output=True,
                              text=True).stdout.splitlines()[0]
    rows = "\n".join(
        f"| `{r['name']}` | {r['executions']:,} | {r['seconds']:.0f} | {r['corpus']:,} | "
        f"{r['corpus_bytes'] / 1024:,.0f} | {findings_text(r)} |" for r in results)
    total = sum(r["executions"] for r in results)
    corpus_kib = sum(r["corpus_bytes"] for r in results) / 1024
    # Every target ever run, those of this run first; old names (a target
    # renamed or gone) stay below with what they ran.
    names = [r["name"] for r in results] + sorted(set(totals) - {r["name"] for r in results})
    total_rows = "\n".join(
        f"| `{n}` | {totals[n]['executions']:,} | {totals[n]['seconds'] / 3600:,.1f} | "
        f"{totals[n]['runs']} | {totals[n]['first']} | {totals[n]['last']} |" for n in names)
    grand_total = sum(t["executions"] for t in totals.values())
    cases = regression_cases()
    kept = "\n".join(f"- `{c}`" for c in cases) if cases else "None so far."
    text = f"""# Reliability

Written by `make fuzz` (tools/fuzz.py) after each run; edits by hand are lost.

## The last fuzzing run

{today}: every target for {seconds} s (FUZZ_SECONDS), one after the other, with
libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer ({compiler}).
{total:,} executions in all.

| Target | Executions | Seconds | Corpus (inputs) | Corpus (KiB) | Findings |
|---|---|---|---|---|---|
{rows}

Executions count the inputs run, seed inputs included. The corpus is what the
target keeps in git under fuzz/corpus/TARGET/ for the next run ({corpus_kib:,.0f} KiB
in all): the last corpus, what this run added and the seeds, minimized with
libFuzzer's -merge=1, the smallest inputs kept up to the cap a target. A
finding is an input that broke a property or crashed, left under
fuzz/regressions/.

## Every run so far

Each `make fuzz` adds its executions and seconds to docs/fuzz_totals.json
(`make check`'s short runs are not counted). {grand_total:,} executions in all.

| Target | Executions | Hours | Runs | First run | Last run |
|---|---|---|---|---|---|
{total_rows}

## Regression cases

Every input under fuzz/regressions/TARGET/ is checked again for all of the
target's properties by tests/fuzz_properties_test.cpp on every `make check`.

{kept}

## Targets and properties

Each target checks each of its properties on every input
(tests/support/properties.cpp, tests/support/byte_stream_target.cpp,
tests/support/api_target.cpp). A text
is read from the input's bytes as tests/support/fuzz_text.h describes: ASCII
bytes stand for themselves, so escapes, references and percent sequences come
up as they are written; other
bytes give any unit, lone and paired surrogates among them, or mark where the
text is cut into pieces. The `byte_stream` target instead gives the bytes
after its header to the library's stream on bytes (the tool's pipeline) as
they are, and holds it to a plain reading of them written apart from the
library. The `api` target reads calls of include/tobble.h from its input
(stream calls in any order over the input's bytes, callbacks that fail or call
back in, the one-shot bytes call) and holds them to the same plain model.
Seeds: the inputs and expected outputs of tests/cases.txt, and each encoder's
output for every input (for `byte_stream` and `api` in UTF-8, lone surrogates
in the form that makes it invalid, in UTF-16LE and UTF-16BE); fuzz/tokens.dict
adds the tokens of every syntax and UTF-8 sequences at their limits.

{describe}
## Every `make check`

- Each target fuzzes for a few seconds (FUZZ_CHECK_SECONDS) from a copy of
  its corpus in build/fuzz/work/, writing nothing in the tree; a finding,
  left under build/fuzz/findings/TARGET/, fails the check.
- tests/fuzz_properties_test.cpp replays the regression cases, runs every case
  of the case file through every target, and makes sure that each property
  catches a conversion or transcoder broken on purpose.
- tests/boundary_test.cpp runs the plug-in's exports natively against a double
  of the Windows memory functions, under the sanitizers, in blocks of exactly
  the requested size: every case, and failed allocations and locks (null,
  code 2, no block left, the next call succeeds with code 0).
- tests/plugin_reliability_test.cpp loads both plug-ins under Wine: 10,000
  calls of every filter on texts up to 1 MiB without growth of the process's
  committed memory, each factor's longest accepted and shortest refused text,
  and every filter on texts of 0 to 64 units that end right before an
  inaccessible page.
"""
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--report")
    parser.add_argument("--corpus-kib", type=int, default=512)
    args = parser.parse_args()
    keep = args.report is not None
    results = []
    for name, program in read_targets():
        result = run_target(name, program, args.seconds, keep, args.corpus_kib * 1024)
        results.append(result)
        print(f"fuzz {name}: {result['executions']:,} executions in {result['seconds']:.0f} s, "
              f"findings: {findings_text(result)}", flush=True)
        if result["failed"]:
            tail = result["output"].splitlines()[-40:]
            print("\n".join("    " + line for line in tail), file=sys.stderr)
            print(f"    (whole log: {result['log']})", file=sys.stderr)
    if keep:
        today = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d")
        write_report(args.report, results, args.seconds, today, add_to_totals(results, today))
    return 1 if any(r["failed"] for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())
