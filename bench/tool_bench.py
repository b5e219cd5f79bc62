#!/usr/bin/env python3
"""The command-line tool end to end, UTF-8 file in and UTF-8 out, beside the
programs people use today for the same job (one-line Python and Node
programs) and `cat` of the same file, all timed by hyperfine.

Usage: tool_bench.py MANIFEST TOOL OUT_JSON [--quick]

MANIFEST is the corpus list that bench_corpus prints; TOOL is the tool
(`TOOL FILTER FILE` writes the converted file to standard output). When TOOL
does not exist yet the peers and `cat` are measured alone. Every command is
run once before timing; one that fails on a corpus is left out and its error
recorded. Beside `cat` of the file, `cat` of a file as large as the tool's
output ("cat output") tells what writing the output alone costs: an encoder
writes two to six times as many bytes as it reads.
"""
import json
import os
import shlex
import subprocess
import sys
import tempfile

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))

# Each peer: a name, and the program before the file argument.
READ = "s=open(sys.argv[1],encoding='utf-8',newline='').read();"
OUT = "sys.stdout.buffer.write("


def python(name, imports, body):
    return name, ["python3", "-c", "import sys," + imports + ";" + body]


def node(name, body):
    return name, ["node", "-e", body]


NODE_READ = "require('fs').readFileSync(process.argv[1],'utf8')"

JSON_DUMPS = python("python json.dumps", "json", READ + OUT + "json.dumps(s)[1:-1].encode())")
JSON_LOADS = python(
    "python json.loads",
    "json",
    READ + OUT + "json.loads('\"'+s.replace('\"','\\\\\"')+'\"',strict=False)"
    ".encode('utf-8','surrogatepass'))",
)
ESCAPE_ENCODE = python(
    "python unicode_escape encode", "codecs", READ + OUT + "s.encode('unicode_escape'))"
)
# The codec leaves a pair escaped as two "\u" escapes as two lone surrogates:
# a round through UTF-16 joins them.
ESCAPE_DECODE = python(
    "python unicode_escape decode",
    "codecs",
    "t=open(sys.argv[1],'rb').read().decode('unicode_escape','backslashreplace');"
    + OUT
    + "t.encode('utf-16-le','surrogatepass').decode('utf-16-le','surrogatepass')"
    ".encode('utf-8','surrogatepass'))",
)
HTML_ESCAPE = python(
    "python html.escape+xmlcharrefreplace",
    "html",
    READ + OUT + "html.escape(s).encode('ascii','xmlcharrefreplace'))",
)
HTML_UNESCAPE = python(
    "python html.unescape", "html", READ + OUT + "html.unescape(s).encode('utf-8','surrogatepass'))"
)
QUOTE_PLUS = python(
    "python quote_plus", "urllib.parse as u", READ + OUT + "u.quote_plus(s).encode())"
)
UNQUOTE_PLUS = python(
    "python unquote_plus",
    "urllib.parse as u",
    READ + OUT + "u.unquote_plus(s).encode('utf-8','surrogatepass'))",
)
ENCODE_URI = node(
    "node encodeURIComponent", "process.stdout.write(encodeURIComponent(" + NODE_READ + "))"
)
DECODE_URI = node(
    "node decodeURIComponent", "process.stdout.write(decodeURIComponent(" + NODE_READ + "))"
)
# entities is an ES module: imported from bench/, where npm installed it.
ENTITIES_ENCODE = node(
    "node entities.encodeNonAsciiHTML",
    "import('entities').then(e=>process.stdout.write(e.encodeNonAsciiHTML(" + NODE_READ + ")))",
)
ENTITIES_DECODE = node(
    "node entities.decodeHTML",
    "import('entities').then(e=>process.stdout.write(e.decodeHTML(" + NODE_READ + ")))",
)

# The peers that do each filter's job. Filters not listed have none.
PEERS = {
    "tobbleJ": [JSON_DUMPS, ESCAPE_ENCODE],
    "untobbleJ": [JSON_LOADS, ESCAPE_DECODE],
    "tobbleC": [ESCAPE_ENCODE, JSON_DUMPS],
    "untobbleC": [ESCAPE_DECODE],
    "charref2text": [HTML_UNESCAPE, ENTITIES_DECODE],
    "text2charref": [HTML_ESCAPE, ENTITIES_ENCODE],
    "text2charrefx": [ENTITIES_ENCODE, HTML_ESCAPE],
    "URLencode": [QUOTE_PLUS, ENCODE_URI],
    "URLdecode": [UNQUOTE_PLUS, DECODE_URI],
}


def read_manifest(path):
    rows, skipped = [], {}
    with open(path, encoding="utf-8") as manifest:
        for line in manifest:
            fields = line.rstrip("\n").split("\t")
            if fields[1] == "-":
                skipped[fields[0]] = fields[7]
                continue
            rows.append(
                {
                    "filter": fields[0],
                    "corpus": fields[1],
                    "size": fields[2],
                    "file": os.path.abspath(fields[3]),
                    "utf16_bytes": int(fields[4]),
                    "utf8_bytes": int(fields[5]),
                    "fingerprint": fields[6],
                }
            )
    return rows, skipped


def fails(argv):
    """Why the command fails on its own, or None when it runs."""
    try:
        done = subprocess.run(
            argv, cwd=BENCH_DIR, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=300
        )
    except subprocess.TimeoutExpired:
        return "took more than 300 s"
    if done.returncode == 0:
        return None
    lines = [l for l in done.stderr.decode("utf-8", "replace").splitlines() if l.strip()]
    error = next((l for l in reversed(lines) if "Error" in l), lines[-1] if lines else "")
    return f"exit {done.returncode}: {error.strip()[:160]}"


def measure(row, tool, quick, output_file):
    commands = []
    if tool:
        commands.append(("tobble", "tool", [tool, row["filter"], row["file"]]))
    for name, argv in PEERS.get(row["filter"], []):
        commands.append((name, "peer", argv + [row["file"]]))
    commands.append(("cat", "limit", ["cat", row["file"]]))

    result = dict(row, commands=[], failed=[])
    runnable = []
    for name, kind, argv in commands:
        error = fails(argv)
        if error:
            result["failed"].append({"name": name, "kind": kind, "error": error})
        else:
            runnable.append((name, kind, argv))
    tool_argv = next((argv for _, kind, argv in runnable if kind == "tool"), None)
    if tool_argv:
        with open(output_file, "wb") as out:
            subprocess.run(tool_argv, stdout=out, cwd=BENCH_DIR, check=True)
        runnable.append(("cat output", "output limit", ["cat", output_file]))

    large = row["size"] != "64K"
    runs, warmup = (3, 1) if quick else (5, 1) if large else (20, 3)
    with tempfile.NamedTemporaryFile(suffix=".json") as export:
        hyperfine = ["hyperfine", "-N", "--output=pipe", "--style=none", "--runs", str(runs)]
        hyperfine += ["--warmup", str(warmup), "--export-json", export.name]
        for name, _, argv in runnable:
            hyperfine += ["-n", name, shlex.join(argv)]
        done = subprocess.run(hyperfine, cwd=BENCH_DIR, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            sys.exit(f"tool_bench: hyperfine failed:\n{done.stderr}")
        timings = json.load(open(export.name))["results"]
    # hyperfine's warnings (outliers, a slow first run) tell how noisy it was.
    result["warnings"] = [l.strip() for l in done.stderr.splitlines() if "Warning" in l]
    for (name, kind, argv), timing in zip(runnable, timings):
        result["commands"].append(
            {
                "name": name,
                "kind": kind,
                "command": shlex.join(argv),
                "runs": len(timing["times"]),
                "mean_s": timing["mean"],
                "median_s": timing["median"],
                "min_s": timing["min"],
                "stddev_s": timing["stddev"],
            }
        )
    return result


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    quick = "--quick" in sys.argv
    if len(args) != 3:
        sys.exit(__doc__)
    manifest, tool, out = args
    rows, skipped = read_manifest(manifest)
    tool = os.path.abspath(tool)
    note = None
    if not os.access(tool, os.X_OK):
        note = f"{os.path.relpath(tool)} is not built yet: only the peers and cat were measured"
        print(f"tool_bench: {note}", file=sys.stderr)
        tool = None
    results = []
    # The output is written beside the corpus, on the same file system.
    with tempfile.TemporaryDirectory(dir=os.path.dirname(os.path.abspath(manifest))) as scratch:
        output_file = os.path.join(scratch, "output")
        for i, row in enumerate(rows, 1):
            print(f"  [{i}/{len(rows)}] {row['filter']} {row['corpus']} {row['size']}", flush=True)
            results.append(measure(row, tool, quick, output_file))
    with open(out, "w", encoding="utf-8") as f:
        json.dump({"tool_note": note, "skipped": skipped, "results": results}, f, indent=1)


if __name__ == "__main__":
    main()
