"""The results of bench/run.sh read back: the corpus manifest, core.json
(Google Benchmark), plugin64.jsonl and plugin32.jsonl (plugin_bench) and
tool.json (tool_bench.py), each measurement's fastest run, and the rates in
MB/s (10^6 bytes a second of UTF-16 input) made of them. report.py writes the
tables and chart.py the chart from a Results.
"""
import json
import os
import platform
import subprocess

SIZE_NAMES = {"64K": "64 KiB", "16M": "16 MiB"}


def read_manifest(path):
    rows, skipped = [], {}
    with open(path, encoding="utf-8") as manifest:
        for line in manifest:
            f = line.rstrip("\n").split("\t")
            if f[1] == "-":
                skipped[f[0]] = f[7].removeprefix("skipped: ")
            else:
                rows.append(
                    dict(
                        filter=f[0],
                        corpus=f[1],
                        size=f[2],
                        utf16=int(f[4]),
                        utf8=int(f[5]),
                        fingerprint=f[6],
                        description=f[7],
                    )
                )
    return rows, skipped


def read_core(path):
    """(filter, corpus, size) -> {core_s, memcpy_s, fingerprint}, fastest runs."""
    found = {}
    data = json.load(open(path))
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "min":
            continue
        kind, filt, corpus, size = b.get("run_name", b["name"]).split("/")[:4]
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
        entry = found.setdefault((filt, corpus, size), {})
        seconds = b["real_time"] * scale
        entry[kind + "_s"] = min(seconds, entry.get(kind + "_s", seconds))
        entry["fingerprint"] = b.get("label", "")
    return found, data.get("context", {})


def read_plugin(path):
    found, skipped, errors = {}, {}, []
    if not os.path.exists(path):
        return found, skipped, [f"{os.path.basename(path)} missing"]
    done = False
    for line in open(path, encoding="utf-8", errors="replace"):
        line = line.strip()
        if not line.startswith("{"):
            continue
        r = json.loads(line)
        if "not_run" in r:
            return found, {"*": r["not_run"]}, []
        if "done" in r:
            done = True
        elif "skipped" in r:
            skipped[r["filter"]] = r["skipped"]
        elif "error" in r:
            errors.append(f"{r['filter']} on {r['corpus']} {r['size']}: {r['error']}")
        else:
            found[(r["filter"], r["corpus"], r["size"])] = r
    if not done:
        errors.append("plugin_bench did not finish")
    return found, skipped, errors


def read_tool(path):
    data = json.load(open(path))
    found = {(r["filter"], r["corpus"], r["size"]): r for r in data["results"]}
    return found, data


def rate(row_bytes, seconds):
    return row_bytes / seconds / 1e6 if seconds else None


def mbs(value):
    if value is None:
        return "—"
    return f"{value:,.0f}" if value >= 10 else f"{value:.1f}"


def pct(value):
    return "—" if value is None else f"{value:.0f}%"


def times(value):
    if value is None:
        return "—"
    return f"{value:,.0f}×" if value >= 10 else f"{value:.1f}×"


def cell(rate_value, percent):
    return "—" if rate_value is None else f"{mbs(rate_value)} ({pct(percent)})"


def command_output(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=60)
        return (out.stdout or out.stderr).strip().splitlines()[0]
    except (OSError, IndexError, subprocess.TimeoutExpired):
        return "not found"


def machine():
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    entities = "not installed"
    try:
        lock = json.load(
            open(os.path.join(os.path.dirname(__file__), "node_modules/entities/package.json"))
        )
        entities = lock["version"]
    except OSError:
        pass
    benchmark = command_output(["dpkg-query", "-W", "-f=${Version}", "libbenchmark-dev"])
    return [
        f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}",
        f"native: {command_output(['g++', '--version'])}, -O2; Google Benchmark {benchmark}",
        f"plug-ins: {command_output(['x86_64-w64-mingw32-g++-posix', '--version'])}; "
        f"{command_output(['wine', '--version'])}; "
        f"32-bit side under {command_output(['qemu-i386-static', '--version'])}",
        f"tool: {command_output(['hyperfine', '--version'])}; "
        f"{command_output(['python3', '--version'])}; "
        f"node {command_output(['node', '--version'])}; entities {entities}",
    ]


class Results:
    def __init__(self, results, quick):
        self.quick = quick
        self.results = results
        self.rows, self.skipped = read_manifest(os.path.join(results, "corpus", "manifest.tsv"))
        self.core, self.core_context = read_core(os.path.join(results, "core.json"))
        self.plugin = {}
        self.plugin_skipped = {}
        self.errors = []
        for bits in ("64", "32"):
            found, skipped, errors = read_plugin(os.path.join(results, f"plugin{bits}.jsonl"))
            self.plugin[bits] = found
            self.plugin_skipped[bits] = skipped
            self.errors += [f"{bits}-bit plug-in: {e}" for e in errors]
        self.tool, self.tool_data = read_tool(os.path.join(results, "tool.json"))
        self.sizes = [s for s in SIZE_NAMES if any(r["size"] == s for r in self.rows)]
        self.pairs = []
        for r in self.rows:
            if (r["filter"], r["corpus"]) not in self.pairs:
                self.pairs.append((r["filter"], r["corpus"]))
        self.by_key = {(r["filter"], r["corpus"], r["size"]): r for r in self.rows}
        self.check_fingerprints()

    def check_fingerprints(self):
        for key, row in self.by_key.items():
            seen = {"core": self.core.get(key, {}).get("fingerprint")}
            for bits in ("64", "32"):
                seen[f"{bits}-bit plug-in"] = self.plugin[bits].get(key, {}).get("fingerprint")
            for where, fingerprint in seen.items():
                if fingerprint and fingerprint != row["fingerprint"]:
                    self.errors.append(
                        f"{where} read another text for {' '.join(key)}: {fingerprint}, "
                        f"the corpus file has {row['fingerprint']}"
                    )

    # Rates of one filter, corpus and size.
    def core_rates(self, key):
        c, row = self.core.get(key, {}), self.by_key[key]
        if "core_s" not in c or "memcpy_s" not in c:
            return None, None
        return rate(row["utf16"], c["core_s"]), 100 * c["memcpy_s"] / c["core_s"]

    def plugin_rates(self, bits, key, one_text=False):
        """(MB/s, % of the limit) of a plug-in row; with one_text, of the 64 KiB
        text converted over and over, where the row has that figure."""
        p = self.plugin[bits].get(key)
        suffix = "_one_text_best_s" if one_text else "_best_s"
        if p is None or "filter" + suffix not in p:
            return None, None
        filter_s, copy_s = p["filter" + suffix], p["copy" + suffix]
        return rate(p["in_bytes"], filter_s), 100 * copy_s / filter_s

    def plugin_floor(self, bits, key):
        """% of the limit that the stand-in reaches when it counts the text
        first, as every filter must: the most any filter could reach."""
        p = self.plugin[bits].get(key)
        if p is None or "count_copy_best_s" not in p:
            return None
        return 100 * p["copy_best_s"] / p["count_copy_best_s"]

    def tool_commands(self, key):
        t = self.tool.get(key)
        return {c["name"]: c for c in t["commands"]} if t else {}

    def tool_rates(self, key):
        """(tool rate, % of cat, fastest peer name, fastest peer rate)."""
        row, commands = self.by_key[key], self.tool_commands(key)
        cat = commands.get("cat")
        tool = commands.get("tobble")
        peers = [
            (rate(row["utf16"], c["min_s"]), c["name"])
            for c in commands.values()
            if c["kind"] == "peer"
        ]
        best_peer = max(peers) if peers else (None, None)
        tool_rate = rate(row["utf16"], tool["min_s"]) if tool else None
        tool_pct = 100 * cat["min_s"] / tool["min_s"] if tool and cat else None
        return tool_rate, tool_pct, best_peer[1], best_peer[0]

    def output_limit(self, key):
        """What writing the tool's output alone allows, as % of `cat`: `cat` of
        the file over `cat` of a file as large as the output. None where it was
        not measured."""
        commands = self.tool_commands(key)
        cat, output = commands.get("cat"), commands.get("cat output")
        return 100 * cat["min_s"] / output["min_s"] if cat and output else None

    def versus_peer(self, key, value):
        peer = self.tool_rates(key)[3]
        return value / peer if value and peer else None
