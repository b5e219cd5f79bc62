#!/usr/bin/env python3
"""Runs every fuzz target of build/fuzz for a while, one after the other.

    tools/fuzz.py [--seconds N] [--report FILE]

Each target grows its own corpus under fuzz/corpus/TARGET (kept between runs,
not in git), starting from the seeds the build made from the case file. An
input that breaks a property or crashes is left under fuzz/regressions/TARGET,
where the native tests replay it from then on. With --report the run is
written up as FILE (docs/reliability.md). Exits 1 when any target found
something.
"""
import argparse
import datetime
import os
import re
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(TOP, "build", "fuzz")
CORPORA = os.path.join(TOP, "fuzz", "corpus")
REGRESSIONS = os.path.join(TOP, "fuzz", "regressions")
DICTIONARY = os.path.join(TOP, "fuzz", "tokens.dict")

# Inputs up to 4 KiB, no slower than 25 s each.
LIBFUZZER_OPTIONS = ["-max_len=4096", "-timeout=25", "-print_final_stats=1"]


def files_in(folder):
    return set(os.listdir(folder)) if os.path.isdir(folder) else set()


def read_targets():
    with open(os.path.join(BUILD, "fuzz_targets.txt")) as f:
        return [line.split(" ", 1) for line in f.read().splitlines() if line]


def run_target(name, program, seconds):
    corpus = os.path.join(CORPORA, name)
    artifacts = os.path.join(REGRESSIONS, name)
    os.makedirs(corpus, exist_ok=True)
    os.makedirs(artifacts, exist_ok=True)
    before = files_in(artifacts)
    command = [program, f"-max_total_time={seconds}", f"-dict={DICTIONARY}",
               f"-artifact_prefix={artifacts}/"] + LIBFUZZER_OPTIONS + [
                   corpus, os.path.join(BUILD, "seeds", name)]
    log_path = os.path.join(BUILD, f"{name}.log")
    start = time.monotonic()
    with open(log_path, "w") as log:
        code = subprocess.call(command, stdout=log, stderr=subprocess.STDOUT)
    elapsed = time.monotonic() - start
    with open(log_path) as log:
        output = log.read()
    found = sorted(files_in(artifacts) - before)
    for folder in (artifacts, REGRESSIONS):
        if not os.listdir(folder):
            os.rmdir(folder)
    stat = re.search(r"stat::number_of_executed_units: (\d+)", output)
    runs = re.findall(r"^#(\d+)", output, re.M)
    executions = int(stat.group(1)) if stat else int(runs[-1]) if runs else 0
    return {
        "name": name,
        "executions": executions,
        "seconds": elapsed,
        "corpus": len(files_in(corpus)),
        "findings": [os.path.join("fuzz", "regressions", name, f) for f in found],
        "failed": code != 0 or bool(found),
        "code": code,
        "log": log_path,
        "output": output,
    }


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


def write_report(path, results, seconds):
    describe = subprocess.run([os.path.join(BUILD, "fuzz_helper"), "describe"], check=True,
                              capture_output=True, text=True).stdout
    compiler = subprocess.run([cached_compiler(), "--version"], capture_output=True,
                              text=True).stdout.splitlines()[0]
    today = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d")
    rows = "\n".join(
        f"| `{r['name']}` | {r['executions']:,} | {r['seconds']:.0f} | {r['corpus']:,} | "
        f"{findings_text(r)} |" for r in results)
    total = sum(r["executions"] for r in results)
    cases = regression_cases()
    kept = "\n".join(f"- `{c}`" for c in cases) if cases else "None so far."
    text = f"""# Reliability

Written by `make fuzz` (tools/fuzz.py) after each run; edits by hand are lost.

## The last fuzzing run

{today}: every target for {seconds} s (FUZZ_SECONDS), one after the other, with
libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer ({compiler}).
{total:,} executions in all.

| Target | Executions | Seconds | Corpus | Findings |
|---|---|---|---|---|
{rows}

Executions count the inputs run, seed inputs included; the corpus is what the
target keeps under fuzz/corpus/ (not in git) for the next run. A finding is
an input that broke a property or crashed, left under fuzz/regressions/.

## Regression cases

Every input under fuzz/regressions/TARGET/ is checked again for all of the
target's properties by tests/fuzz_properties_test.cpp on every `make check`.

{kept}

## Targets and properties

Each target checks each of its properties on every input
(tests/support/properties.cpp, tests/support/byte_stream_target.cpp). A text
is read from the input's bytes as tests/support/fuzz_text.h describes: ASCII
bytes stand for themselves, so escapes, references and percent sequences come
up as they are written; other
bytes give any unit, lone and paired surrogates among them, or mark where the
text is cut into pieces. The `byte_stream` target instead gives the bytes
after its header to the library's stream on bytes (the tool's pipeline) as
they are, and holds it to a plain reading of them written apart from the
library. Seeds: the inputs and
expected outputs of tests/cases.txt, and each encoder's output for every
input (for `byte_stream` in UTF-8, lone surrogates in the form that makes it invalid,
and in UTF-16LE); fuzz/tokens.dict adds the tokens of every syntax and UTF-8
sequences at their limits.

{describe}
## Every `make check`

- Each target fuzzes for a few seconds (FUZZ_CHECK_SECONDS), and a finding
  fails the check.
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
    args = parser.parse_args()
    results = []
    for name, program in read_targets():
        result = run_target(name, program, args.seconds)
        results.append(result)
        print(f"fuzz {name}: {result['executions']:,} executions in {result['seconds']:.0f} s, "
              f"findings: {findings_text(result)}", flush=True)
        if result["failed"]:
            tail = result["output"].splitlines()[-40:]
            print("\n".join("    " + line for line in tail), file=sys.stderr)
            print(f"    (whole log: {result['log']})", file=sys.stderr)
    if args.report:
        write_report(args.report, results, args.seconds)
    return 1 if any(r["failed"] for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())
