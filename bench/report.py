#!/usr/bin/env python3
"""Writes the benchmark report: performance.md (one table per measurement)
and performance.svg (a chart drawn by gnuplot), from the results of
bench/run.sh.

Usage: report.py RESULTS_DIR OUT_DIR [--quick]

RESULTS_DIR holds corpus/manifest.tsv, core.json (Google Benchmark),
plugin64.jsonl and plugin32.jsonl (plugin_bench) and tool.json (tool_bench.py).
Every figure is a rate in MB/s (10^6 bytes a second) of UTF-16 input, taken
from the fastest run of each measurement.
"""
import datetime
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from chart import Chart  # noqa: E402
from results import (  # noqa: E402
    SIZE_NAMES,
    Results,
    cell,
    machine,
    mbs,
    pct,
    rate,
    times,
)
from tool_bench import PEERS  # noqa: E402

# The standard library's peers of bench/python_bench.py that run in C; the
# others (quote_plus, unquote_plus, html.unescape) are Python code.
PYTHON_PEERS_IN_C = {
    "json.dumps",
    "json.loads",
    "unicode_escape encode",
    "unicode_escape decode",
    "html.escape+xmlcharrefreplace",
}


# Sections written by hand below this line (before-and-after comparisons of
# earlier runs) are carried into each new report unchanged.
KEPT_MARK = "<!-- Sections below, up to the chart, are written by hand; make bench keeps them. -->"


def kept_sections(path):
    """The hand-written sections of an earlier report at path: the lines after
    KEPT_MARK up to the chart's heading; none when there is no such report."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return []
    if KEPT_MARK not in lines:
        return []
    kept = lines[lines.index(KEPT_MARK) + 1 :]
    if "## Chart" in kept:
        kept = kept[: kept.index("## Chart")]
    while kept and not kept[0].strip():
        kept.pop(0)
    return kept


class Report(Results, Chart):
    """The tables of performance.md, and the chart beside them."""

    def write(self, out_dir):
        os.makedirs(out_dir, exist_ok=True)
        md = os.path.join(out_dir, "performance.md")
        kept = kept_sections(md)
        with open(md, "w", encoding="utf-8") as f:
            f.write("\n".join(self.markdown(kept)) + "\n")
        self.chart(out_dir)
        return md

    def label(self, filt, corpus):
        return f"`{filt}` | {corpus}"

    def markdown(self, kept=()):
        runs = (
            "`BENCH_QUICK=1 make bench`, a quick run: 64 KiB corpora, few repetitions"
            if self.quick
            else "`make bench`"
        )
        m = ["# Performance", ""]
        m += [
            f"Written by {runs}, on {datetime.date.today().isoformat()}; "
            "rerun it to measure again. Figures on another machine, or on this one under "
            "other load, will differ.",
            "",
        ]
        m += ["Machine:", ""] + [f"- {line}" for line in machine()] + [""]
        m += [
            "How to read the tables:",
            "",
            "- **MB/s** is 10^6 bytes of UTF-16 input a second (two bytes a unit), whatever a "
            "measurement reads or writes, so all three measurements and their limits compare "
            "directly. Each figure is the fastest of its runs: on this shared two-core machine "
            "other work only ever adds time.",
            "- **% of limit** is the limit's time over the filter's time for the same corpus: "
            "100% means as fast as the limit.",
            "- **× fastest peer** is the rate over the end-to-end rate of the fastest peer "
            "program on the same file (measurement 3). For measurements 1 and 2 it compares "
            "the editor's path with what people run on the command line today.",
            "",
        ]
        if self.skipped:
            m += ["Not measured yet:", ""]
            m += [f"- `{f}`: {why}" for f, why in self.skipped.items()]
            m += [""]
        if self.errors:
            m += ["**Errors in this run:**", ""] + [f"- {e}" for e in self.errors] + [""]
        m += self.corpus_section() + self.core_section() + self.plugin_section()
        m += self.tool_section() + self.python_section()
        m += node_section(self.results, lambda key: self.core_rates(key)[0])
        m += self.target_section()
        m += self.notes_section()
        m += [KEPT_MARK, ""] + list(kept) if kept else []
        m += ["## Chart", "", "![Rates and percent of limit](performance.svg)", ""]
        return m

    def notes_section(self):
        load = self.core_context.get("load_avg")
        warnings = sum(len(r.get("warnings", [])) for r in self.tool.values())
        m = ["## Measurement notes", ""]
        m += [
            "- Corpora are made, and the DLL loaded, before any timing; Wine's start is never "
            "timed. The plug-in's output is checked against the core's once per corpus.",
            "- The 64 KiB corpora and their buffers stay in cache in measurement 1; the 16 MiB "
            "ones do not. In measurement 2 Wine's heap hands the memory of a small freed block "
            "back on the next call (the decoders' 64 KiB blocks), so those are no fresh pages, "
            "for the filter and its limit alike; larger blocks come fresh from the system on "
            "every call, and first writes to fresh pages are costly on a virtual machine.",
            "- Measurement 3 counts process start, reading and decoding the file, and writing "
            "the output into a pipe that hyperfine drains.",
            "- Noise: the figures are the fastest runs, but the machine is shared."
            + (
                " The load average when the core benchmark began: "
                + ", ".join(f"{x:.2f}" for x in load)
                + "."
                if load
                else ""
            )
            + (
                f" hyperfine warned {warnings} times of outliers or slow first runs."
                if warnings
                else ""
            ),
            "",
        ]
        return m

    def corpus_section(self):
        m = ["## Corpora", ""]
        m += [
            "Generated from fixed seeds by `bench/corpus.cpp`; the same code runs in all three "
            "measurements, and each prints a fingerprint of every text it read, checked here "
            "against the corpus files"
            + (
                " (all equal)."
                if not any("read another text" in e for e in self.errors)
                else " (see Errors)."
            )
            + " Plain and adversarial texts have exactly the size; an encoder's output is cut "
            "after its last line break within it.",
            "",
        ]
        head = "| Corpus | What it holds |" + "".join(
            f" UTF-8 bytes, {SIZE_NAMES[s]} |" for s in self.sizes
        )
        m += [head, "|---|---|" + "---:|" * len(self.sizes)]
        seen = []
        for r in self.rows:
            if r["corpus"] in seen:
                continue
            seen.append(r["corpus"])
            sizes = [
                next(
                    (
                        f"{x['utf8']:,}"
                        for x in self.rows
                        if x["corpus"] == r["corpus"] and x["size"] == s
                    ),
                    "—",
                )
                for s in self.sizes
            ]
            m.append(f"| {r['corpus']} | {r['description']} |" + "".join(f" {v} |" for v in sizes))
        return m + [""]

    def core_section(self):
        m = ["## 1. The core into a reused buffer", ""]
        m += [
            "`build/release/core_bench` (Google Benchmark, release preset, -O2, no sanitizers): "
            "the conversion into an output buffer that every iteration reuses. Limit: `memcpy` of "
            "the same traffic, input bytes plus output bytes, between two reused buffers. "
            "A 64 KiB row converts eight different texts of that size in turn, cut from the "
            "16 MiB corpus after a line, each call's time scaled to the 64 KiB text's length; "
            "the limit copies one buffer. Cells: MB/s (% of limit).",
            "",
        ]
        last = self.sizes[-1]
        head = "| Filter | Corpus |" + "".join(f" {SIZE_NAMES[s]} |" for s in self.sizes)
        head += f" × fastest peer, {SIZE_NAMES[last]} |"
        m += [head, "|---|---|" + "---:|" * (len(self.sizes) + 1)]
        for filt, corpus in self.pairs:
            cells = [cell(*self.core_rates((filt, corpus, s))) for s in self.sizes]
            cells.append(
                times(
                    self.versus_peer((filt, corpus, last), self.core_rates((filt, corpus, last))[0])
                )
            )
            m.append(f"| {self.label(filt, corpus)} |" + "".join(f" {c} |" for c in cells))
        return m + [""]

    def plugin_section(self):
        m = ["## 2. The plug-in call under Wine", ""]
        m += [
            "`plugin_bench.exe` in the win64 and win32 presets loads the real DLL with "
            "`LoadLibrary` and calls the export on a zero-terminated text, then `GlobalFree`s "
            "the block, as the editor does. Limit: a plain copy loop standing in for the "
            "filter, in the same call shape: it allocates the block the filter would "
            "((n + 1) × factor bytes, `GlobalAlloc(GMEM_MOVEABLE)`), locks it, reads the input "
            "once and writes as many bytes into the block as the filter's output has (the input "
            "repeated, or thinned out, to that length), unlocks it and `GlobalFree`s it. So the "
            "limit writes the same fresh pages as the filter and leaves out only the "
            "conversion: 100% means converting costs nothing beyond moving the bytes. "
            "Beside it the same stand-in counts the text's units first, with the plug-in's own "
            "count: a filter must find the end of the zero-terminated text to size the block "
            "before it converts anything, so that is the most any filter could reach; the "
            "targets below give it as a share of the limit for each row short of 80%. "
            "**The 32-bit figures are emulated**: this machine runs 32-bit x86 code "
            "under qemu-i386 (Wine's 32-bit side), so they say little about a real 32-bit "
            "editor. A 64 KiB row converts eight different texts of that size in turn, cut "
            "from the 16 MiB corpus after a line, and so does its limit: called on one text "
            "over and over, the processor's branch predictor learns that text, which flatters "
            "a branchy conversion and not the copy. **One text** gives the 64-bit figure on the "
            "one 64 KiB text over and over. Cells: MB/s (% of limit).",
            "",
        ]
        for bits in ("64", "32"):
            missing = {f: w for f, w in self.plugin_skipped[bits].items() if f not in self.skipped}
            if "*" in missing:
                m += [f"**The {bits}-bit plug-in was not measured in this run**: {missing['*']}.", ""]
            elif missing:
                m += [
                    f"Skipped in the {bits}-bit plug-in: "
                    + ", ".join(f"`{f}` ({w})" for f, w in missing.items()),
                    "",
                ]
        last = self.sizes[-1]
        head = "| Filter | Corpus |"
        for bits in ("64", "32"):
            head += "".join(f" {bits}-bit, {SIZE_NAMES[s]} |" for s in self.sizes)
        head += f" × fastest peer (64-bit), {SIZE_NAMES[last]} |"
        first = self.sizes[0]
        one_text = any(
            self.plugin_rates("64", (f, c, first), one_text=True)[0] for f, c in self.pairs
        )
        if one_text:
            head += f" One text (64-bit, {SIZE_NAMES[first]}) |"
        m += [head, "|---|---|" + "---:|" * (2 * len(self.sizes) + 1 + one_text)]
        for filt, corpus in self.pairs:
            cells = [
                cell(*self.plugin_rates(b, (filt, corpus, s)))
                for b in ("64", "32")
                for s in self.sizes
            ]
            cells.append(
                times(
                    self.versus_peer(
                        (filt, corpus, last), self.plugin_rates("64", (filt, corpus, last))[0]
                    )
                )
            )
            if one_text:
                cells.append(cell(*self.plugin_rates("64", (filt, corpus, first), one_text=True)))
            m.append(f"| {self.label(filt, corpus)} |" + "".join(f" {c} |" for c in cells))
        return m + [""]

    def tool_section(self):
        m = ["## 3. The command-line tool end to end", ""]
        m += [
            "hyperfine (`-N --output=pipe`) runs `dist/tobble FILTER FILE` on the corpus as a "
            "UTF-8 file, beside one-line peer programs doing the same job on the same file and "
            "`cat` of the file, the limit. Process start is included: on the 64 KiB corpora it "
            "dominates every command, so only the 16 MiB figures say much about conversion speed. "
            "**Output alone** is `cat` of the file over `cat` of a file as large as the tool's "
            "output, in the same run: the share of `cat` that the tool could reach if converting "
            "cost nothing, since writing its output into the pipe alone takes that long.",
            "",
        ]
        if self.tool_data.get("tool_note"):
            m += [f"**{self.tool_data['tool_note']}.**", ""]
        m += ["Peers (the fastest on each file is the one compared):", ""]
        m += ["| Filter | Peers |", "|---|---|"]
        for filt in dict.fromkeys(f for f, _ in self.pairs):
            m.append(f"| `{filt}` | " + ", ".join(n for n, _ in PEERS.get(filt, [])) + " |")
        m += [""]
        m += [
            "| Filter | Corpus | Size | tobble MB/s | % of `cat` | Output alone | Fastest peer "
            "| Peer MB/s | × fastest peer | `cat` MB/s |",
            "|---|---|---|---:|---:|---:|---|---:|---:|---:|",
        ]
        failures = []
        for filt, corpus in self.pairs:
            for s in self.sizes:
                key = (filt, corpus, s)
                if key not in self.tool:
                    continue
                tool_rate, tool_pct, peer, peer_rate = self.tool_rates(key)
                cat = self.tool_commands(key).get("cat")
                cat_rate = rate(self.by_key[key]["utf16"], cat["min_s"]) if cat else None
                ratio = tool_rate / peer_rate if tool_rate and peer_rate else None
                cells = [SIZE_NAMES[s], mbs(tool_rate), pct(tool_pct)]
                cells += [pct(self.output_limit(key)), peer or "—"]
                cells += [mbs(peer_rate), times(ratio), mbs(cat_rate)]
                m.append(f"| {self.label(filt, corpus)} |" + "".join(f" {c} |" for c in cells))
                failures += [
                    f"{c['name']} on {corpus} ({SIZE_NAMES[s]}): {c['error']}"
                    for c in self.tool[key]["failed"]
                ]
        m += [""]
        if failures:
            m += ["Commands that failed on a corpus, and were left out there:", ""]
            m += [f"- {f}" for f in failures] + [""]
        m += ["All peers, MB/s:", ""]
        names = list(dict.fromkeys(n for p in PEERS.values() for n, _ in p))
        used = [n for n in names if any(n in self.tool_commands(k) for k in self.tool)]
        m += [
            "| Filter | Corpus | Size |" + "".join(f" {n} |" for n in used),
            "|---|---|---|" + "---:|" * len(used),
        ]
        for filt, corpus in self.pairs:
            for s in self.sizes:
                key = (filt, corpus, s)
                commands = self.tool_commands(key)
                if not commands:
                    continue
                cells = [
                    mbs(rate(self.by_key[key]["utf16"], commands[n]["min_s"]))
                    if n in commands
                    else "—"
                    for n in used
                ]
                m.append(
                    f"| {self.label(filt, corpus)} | {SIZE_NAMES[s]} |"
                    + "".join(f" {c} |" for c in cells)
                )
        return m + [""]

    def python_section(self):
        """The Python package beside the standard library (python.json, from
        bench/python_bench.py), when it was measured."""
        path = os.path.join(self.results, "python.json")
        if not os.path.exists(path):
            return []
        data = json.load(open(path))
        m = ["## 4. The Python package", ""]
        m += [
            f"`bench/python_bench.py` (Python {data['python']}, tobble {data['tobble']}): "
            "`tobble.convert(filter, text)` on the corpus as a str, beside the standard "
            "library's functions for the same job on the same str, in the same process. "
            "Target: at least 2× the fastest of them when it is written in C (the codecs, "
            "`json`, the `xmlcharrefreplace` handler), 10× when it is written in Python "
            "(`quote_plus`, `unquote_plus`, `html.unescape`). A 64 KiB row converts eight "
            "texts of that size cut from the 16 MiB one, a different one each call, for "
            "tobble and the peers alike: converting one text over and over, a function's "
            "branches learn it, which converting a program's own texts never lets them. "
            "**One text**: the ratio with the 64 KiB text itself converted over and over.",
            "",
            "| Filter | Corpus | Size | tobble MB/s | Fastest stdlib peer | Peer MB/s "
            "| × fastest peer | One text |",
            "|---|---|---|---:|---|---:|---:|---:|",
        ]
        below = []
        for r in data["results"]:
            timed = [p for p in r["peers"] if "seconds" in p]
            peer = min(timed, key=lambda p: p["seconds"]) if timed else None
            tobble_rate = rate(r["utf16"], r["tobble_s"])
            peer_rate = rate(r["utf16"], peer["seconds"]) if peer else None
            ratio = tobble_rate / peer_rate if peer_rate else None
            if ratio is not None and ratio < (2 if peer["name"] in PYTHON_PEERS_IN_C else 10):
                below.append(f"`{r['filter']}` {r['corpus']} {SIZE_NAMES[r['size']]} "
                             f"{ratio:.1f}×")
            cells = [SIZE_NAMES[r["size"]], mbs(tobble_rate), peer["name"] if peer else "—",
                     mbs(peer_rate), times(ratio), times(one_text_ratio(r, peer))]
            m.append(f"| {self.label(r['filter'], r['corpus'])} |"
                     + "".join(f" {c} |" for c in cells))
        m += ["", "Below the target: " + ("; ".join(below) if below else "none") + ".", ""]
        m += [
            "Short strings: one call of `tobble.convert` on the first characters of the "
            "filter's first corpus, beside `html.escape` of the same string. Target: at most "
            "2× html.escape.",
            "",
            "| Filter | Corpus | Characters | tobble ns | html.escape ns | Ratio |",
            "|---|---|---:|---:|---:|---:|",
        ]
        for r in data["short"]:
            m.append(
                f"| {self.label(r['filter'], r['corpus'])} | {r['length']} "
                f"| {r['tobble_s'] * 1e9:,.0f} | {r['html_escape_s'] * 1e9:,.0f} "
                f"| {r['tobble_s'] / r['html_escape_s']:.2f} |"
            )
        return m + [""]

    def target_section(self):
        m = ["## Against the targets", ""]
        m += [
            "The speed targets, checked on this run's figures (both sizes where a target "
            "names no size). They are never asserted by the tests. Beside a plug-in row short "
            "of its target is the limit's stand-in that counts the text first, as every "
            "filter must (measurement 2): where that is below 80%, no filter reaches the "
            "target; and the rate of the conversion alone (measurement 1) over the same "
            "limit: where that is below 80% too, the conversion itself, not the call around "
            "it, keeps the row short.",
            "",
            "| Target | Met | Short of it |",
            "|---|---:|---|",
        ]

        def line(target, results):
            if not results:
                m.append(f"| {target} | — | not measured in this run |")
                return
            short = [what for ok, what in results if not ok]
            met = sum(ok for ok, _ in results)
            m.append(f"| {target} | {met} of {len(results)} | {'; '.join(short) or '—'} |")

        def keys():
            for filt, corpus in self.pairs:
                for size in self.sizes:
                    yield filt, corpus, size, f"`{filt}` {corpus} {SIZE_NAMES[size]}"

        for bits in ("64", "32"):
            results = []
            for filt, corpus, size, what in keys():
                value, percent = self.plugin_rates(bits, (filt, corpus, size))
                if value is not None:
                    results.append(
                        (percent >= 80, f"{what} {percent:.0f}%{self.ceiling(bits, filt, corpus, size)}")
                    )
            line(f"Plug-in call ≥ 80% of its limit, {bits}-bit", results)
        for share, texts in ((50, ("english",)), (35, ("japanese", "emoji", "mixed"))):
            results = []
            for filt, corpus, size, what in keys():
                tool_rate, tool_pct, _, _ = self.tool_rates((filt, corpus, size))
                if tool_rate is not None and corpus.split(".")[0] in texts:
                    limit = self.output_limit((filt, corpus, size))
                    alone = f" (output alone {limit:.0f}%)" if limit is not None else ""
                    results.append((tool_pct >= share, f"{what} {tool_pct:.0f}%{alone}"))
            line(f"Tool ≥ {share}% of `cat` on the {', '.join(texts)} rows", results)
        results = []
        for filt, corpus, size, what in keys():
            tool_rate, _, peer, peer_rate = self.tool_rates((filt, corpus, size))
            if tool_rate is not None and peer_rate is not None:
                ratio = tool_rate / peer_rate
                results.append((ratio >= 10, f"{what} {ratio:.1f}× {peer}"))
        line("Tool ≥ 10× the fastest peer program", results)
        results = []
        for r in self.python_rows():
            need = 2 if r["peer"] in PYTHON_PEERS_IN_C else 10
            if r["ratio"] is not None:
                what = f"`{r['filter']}` {r['corpus']} {SIZE_NAMES[r['size']]}"
                results.append(
                    (r["ratio"] >= need, f"{what} {r['ratio']:.1f}× {r['peer']}{self.alone(r, need)}")
                )
        line("Python ≥ 2× a standard-library peer written in C, ≥ 10× one written in Python",
             results)
        results = []
        for filt, corpus, size, what in keys():
            value, percent = self.core_rates((filt, corpus, size))
            if value is not None:
                results.append((percent >= 50, f"{what} {percent:.0f}%"))
        line("Core ≥ 50% of `memcpy` of the same traffic (rows below it are named)", results)
        return m + [""]

    def ceiling(self, bits, filt, corpus, size):
        """For a plug-in row short of its target: the stand-in that counts the
        text first (the most any filter could reach), and how fast the
        conversion alone (measurement 1, a warm reused buffer, no call around
        it) runs against the same limit."""
        value, percent = self.plugin_rates(bits, (filt, corpus, size))
        if not percent or percent >= 80:
            return ""
        notes = []
        floor = self.plugin_floor(bits, (filt, corpus, size))
        if floor is not None:
            notes.append(f"counting and copying {floor:.0f}%")
        core, _ = self.core_rates((filt, corpus, size))
        # The core runs natively, beside the 64-bit plug-in only.
        if core is not None and bits == "64":
            notes.append(f"the conversion alone {100 * core * percent / (value * 100):.0f}%")
        return f" ({'; '.join(notes)})" if notes else ""

    def alone(self, r, need):
        """For a Python row short of its target (`need` times its peer): the
        conversion alone (measurement 1, in UTF-16 into a reused buffer) over
        the same peer, the most the package could reach with today's
        conversion."""
        core, _ = self.core_rates((r["filter"], r["corpus"], r["size"]))
        if core is None or r["ratio"] >= need:
            return ""
        peer_rate = rate(r["utf16"], r["peer_s"])
        return f" (the conversion alone {core / peer_rate:.1f}×)"

    def python_rows(self):
        """Each row of python.json with its fastest peer and tobble's ratio to it."""
        path = os.path.join(self.results, "python.json")
        rows = []
        if not os.path.exists(path):
            return rows
        for r in json.load(open(path))["results"]:
            timed = [p for p in r["peers"] if "seconds" in p]
            peer = min(timed, key=lambda p: p["seconds"]) if timed else None
            ratio = peer["seconds"] / r["tobble_s"] if peer else None
            rows.append(
                dict(r, peer=peer["name"] if peer else None, peer_s=peer["seconds"] if peer else None,
                     ratio=ratio)
            )
        return rows


def one_text_ratio(r, peer):
    """A Python or Node row's ratio over the peer on the one 64 KiB text
    converted over and over, where the row has both figures; else None."""
    if peer and r.get("tobble_one_text_s") and peer.get("one_text_s"):
        return peer["one_text_s"] / r["tobble_one_text_s"]
    return None


def node_section(results, core_rate):
    """The npm package in Node beside the npm libraries and V8's functions
    (node.json, from bench/node_bench.mjs), when it was measured. Beside a row
    short of its target: the native conversion alone (measurement 1,
    core_rate((filter, corpus, size))) over the same peer."""
    path = os.path.join(results, "node.json")
    if not os.path.exists(path):
        return []
    data = json.load(open(path))
    m = ["## 5. The npm package in Node", ""]
    m += [
        f"`bench/node_bench.mjs` (Node {data['node']}, tobble {data['tobble']}, entities "
        f"{data['entities']}, he {data['he']}): `convert(filter, text)` of the npm package "
        "(build/wasm/package) on the corpus as a string, beside the npm libraries that do the "
        "same job and V8's own functions where they are the peer, on the same string in the "
        "same process. Each returns a string the engine may keep in pieces until it is read; "
        "none is read here. **No SIMD** is the same package over a module whose filters "
        "take their plain unit-by-unit versions, compiled with the vectorizer off "
        "(tobble-scalar.wasm): the **SIMD gain** is what the fast paths are worth, their "
        "128-bit vector code above all (`charref2text`'s fast version also finds names "
        "through generated indexes, which accounts for most of its largest gains). "
        "A 64 KiB row converts eight different texts of that size in turn, cut from the "
        "16 MiB corpus after a line, for tobble and the peers alike; **One text** gives × npm "
        "on the one 64 KiB text over and over. "
        "Target: at least 5× the fastest npm library.",
        "",
        "The 16 MiB encoder rows write tens of millions of characters; there the time goes "
        "to the engine's fresh memory for the result, for the peers as for tobble (see the "
        "note on fresh pages below)."
        + (
            " Load average of the machine when this measurement began: "
            + ", ".join(f"{x:.2f}" for x in data["load"])
            + " (on 2 cores: other work ran beside it, so read the ratios, taken in one "
            "process, rather than the rates)."
            if "load" in data
            else ""
        ),
        "",
        "| Filter | Corpus | Size | tobble MB/s | No SIMD MB/s | SIMD gain "
        "| Fastest npm library | MB/s | × npm | One text | V8 peer | MB/s | × V8 |",
        "|---|---|---|---:|---:|---:|---|---:|---:|---:|---|---:|---:|",
    ]
    below, gains = [], []
    for r in data["results"]:
        tobble_rate = rate(r["utf16"], r["tobble_s"])
        scalar_rate = rate(r["utf16"], r["scalar_s"])
        gains.append(tobble_rate / scalar_rate)
        cells = [SIZE_NAMES[r["size"]], mbs(tobble_rate), mbs(scalar_rate),
                 times(tobble_rate / scalar_rate)]
        for kind in ("npm", "v8"):
            peers = [p for p in r["peers"] if p["kind"] == kind]
            timed = [p for p in peers if "seconds" in p]
            if timed:
                peer = min(timed, key=lambda p: p["seconds"])
                ratio = tobble_rate / rate(r["utf16"], peer["seconds"])
                cells += [peer["name"], mbs(rate(r["utf16"], peer["seconds"])), times(ratio)]
                if kind == "npm":
                    cells.append(times(one_text_ratio(r, peer)))
                if kind == "npm" and ratio < 5:
                    core = core_rate((r["filter"], r["corpus"], r["size"]))
                    alone = (
                        f" (the native conversion alone "
                        f"{core / rate(r['utf16'], peer['seconds']):.1f}×)"
                        if core
                        else ""
                    )
                    below.append(f"`{r['filter']}` {r['corpus']} {SIZE_NAMES[r['size']]} "
                                 f"{ratio:.1f}× {peer['name']}{alone}")
            elif peers:
                cells += [peers[0]["name"], "fails", "—"] + (["—"] if kind == "npm" else [])
            else:
                cells += ["—", "—", "—"] + (["—"] if kind == "npm" else [])
        m.append(f"| `{r['filter']}` | {r['corpus']} |" + "".join(f" {c} |" for c in cells))
    mean = 1.0
    for gain in gains:
        mean *= gain ** (1 / len(gains))
    m += [
        "",
        "A peer that **fails** threw on the corpus (JSON.parse on a broken escape, "
        "decodeURIComponent on a broken sequence).",
        "",
        "Below 5× the fastest npm library: " + ("; ".join(below) if below else "none") + ".",
        "",
        f"SIMD gain, geometric mean over all rows: {mean:.1f}× "
        f"(from {min(gains):.1f}× to {max(gains):.1f}×).",
        "",
    ]
    return m


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if len(args) != 2:
        sys.exit(__doc__)
    report = Report(args[0], "--quick" in sys.argv)
    print(f"report: {report.write(args[1])}")
    for error in report.errors:
        print(f"report: {error}", file=sys.stderr)
    return 1 if report.errors else 0


if __name__ == "__main__":
    sys.exit(main())

