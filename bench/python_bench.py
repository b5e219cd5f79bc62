#!/usr/bin/python3
"""The Python package beside the standard library, in one process: each
filter through tobble.convert on the bench corpora, and the stdlib function
that does the same job on the same str; then short strings, each call of
tobble.convert beside html.escape of the same string.

Usage: python_bench.py MANIFEST OUT_JSON [--quick] [--sizes=64K,16M]

MANIFEST is the corpus list that bench_corpus prints. The tobble package
must be importable (make puts it in build/python/lib; run.sh sets
PYTHONPATH). Every figure is the fastest of several timed rounds; rates are
MB/s of UTF-16 input (two bytes a unit), as in the rest of the report.

A 64 KiB row is timed over texts of that size cut from the corpus's 16 MiB
text, a different one each call, for tobble and the peers alike: called on
one text over and over, a function's branches learn that text by heart,
which no program converting its own texts sees. The 64 KiB corpus converted
over and over is timed too, and reported beside. Without the 16 MiB corpora
(--quick) only that is timed.
"""
import html
import json
import os
import sys
import time
import urllib.parse

import tobble


def unicode_escape_decode(data):
    # As the tool bench's peer: a pair escaped as two \u escapes comes out
    # as two surrogates, and a round through UTF-16 joins them.
    text = data.decode("unicode_escape", "backslashreplace")
    return text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")


# Each peer: a name, how its input is made from the corpus str (untimed),
# and the timed call.
def _str(text):
    return text


def _ascii(text):
    return text.encode("ascii", "backslashreplace")


def _quoted(text):
    return '"' + text.replace('"', '\\"') + '"'


JSON_DUMPS = ("json.dumps", _str, json.dumps)
JSON_LOADS = ("json.loads", _quoted, lambda s: json.loads(s, strict=False))
ESCAPE_ENCODE = ("unicode_escape encode", _str, lambda s: s.encode("unicode_escape"))
ESCAPE_DECODE = ("unicode_escape decode", _ascii, unicode_escape_decode)
HTML_ESCAPE = (
    "html.escape+xmlcharrefreplace",
    _str,
    lambda s: html.escape(s).encode("ascii", "xmlcharrefreplace"),
)
HTML_UNESCAPE = ("html.unescape", _str, html.unescape)
QUOTE_PLUS = ("quote_plus", _str, urllib.parse.quote_plus)
UNQUOTE_PLUS = ("unquote_plus", _str, urllib.parse.unquote_plus)

PEERS = {
    "tobbleJ": [JSON_DUMPS, ESCAPE_ENCODE],
    "untobbleJ": [JSON_LOADS, ESCAPE_DECODE],
    "tobbleC": [ESCAPE_ENCODE, JSON_DUMPS],
    "untobbleC": [ESCAPE_DECODE],
    "charref2text": [HTML_UNESCAPE],
    "text2charref": [HTML_ESCAPE],
    "text2charrefx": [HTML_ESCAPE],
    "URLencode": [QUOTE_PLUS],
    "URLdecode": [UNQUOTE_PLUS],
}

# Short strings: lengths in characters, and the rounds of calls timed.
SHORT_LENGTHS = [1, 8, 16, 32, 64]


def best_time(call, arguments, min_time, rounds):
    """The fastest time of one call, over `rounds` rounds of enough calls to
    take `min_time` seconds each, the calls going through `arguments` in
    turn: the time is that of one call on average."""
    for a in arguments:
        call(a)
    start = time.perf_counter()
    for a in arguments:
        call(a)
    once = max((time.perf_counter() - start) / len(arguments), 1e-7)
    passes = max(1, int(min_time / (once * len(arguments))))
    # A pass slower than a round is a round of its own already.
    best = once if passes == 1 else float("inf")
    for _ in range(rounds - (passes == 1)):
        start = time.perf_counter()
        for _ in range(passes):
            for a in arguments:
                call(a)
        best = min(best, (time.perf_counter() - start) / (passes * len(arguments)))
    return best


# Different texts a 64 KiB row goes through: more than a branch predictor
# keeps, few enough to stay in the processor's last cache.
DISTINCT_TEXTS = 8


def read_manifest(path, sizes):
    """The rows of the sizes asked for, and every corpus file by (filter,
    corpus, size)."""
    rows = []
    files = {}
    with open(path, encoding="utf-8") as manifest:
        for line in manifest:
            f = line.rstrip("\n").split("\t")
            if f[1] == "-":
                continue
            files[(f[0], f[1], f[2])] = f[3]
            if f[2] in sizes:
                rows.append(dict(filter=f[0], corpus=f[1], size=f[2], file=f[3], utf16=int(f[4])))
    return rows, files


def distinct_texts(text, source):
    """DISTINCT_TEXTS texts of len(text) code points or so, one after another
    from the start of `source`, each cut after a line so that no escape or
    reference is cut in two (where the source has lines); [text] when the
    source is too short."""
    texts = []
    start = 0
    while len(texts) < DISTINCT_TEXTS:
        end = start + len(text)
        if end > len(source):
            return [text]
        line_end = source.find("\n", end - 1, end + 1000)
        end = line_end + 1 if line_end >= 0 else end
        texts.append(source[start:end])
        start = end
    return texts


def measure_corpus(row, files, quick):
    with open(row["file"], encoding="utf-8", newline="") as f:
        text = f.read()
    texts = [text]
    source = files.get((row["filter"], row["corpus"], "16M"))
    if row["size"] == "64K" and source is not None and os.path.exists(source):
        with open(source, encoding="utf-8", newline="") as f:
            texts = distinct_texts(text, f.read())
    large = row["size"] != "64K"
    min_time, rounds = (0.05, 2) if quick else (0.3, 3) if large else (0.2, 5)
    filter_name = row["filter"]
    result = dict(row, peers=[], texts=len(texts))
    # The texts' lengths differ by part of a line: the times are those of a
    # text as long as the corpus's.
    scale = len(text) * len(texts) / sum(len(t) for t in texts)

    def timed(call, arguments, argument):
        """The call's time on the texts in turn, and on the corpus's one text
        over and over when there are several: the figure the report sets
        beside."""
        seconds = scale * best_time(call, arguments, min_time, rounds)
        if len(arguments) == 1:
            return seconds, None
        return seconds, best_time(call, [argument], min_time, rounds)

    def convert(s):
        return tobble.convert(filter_name, s)

    result["tobble_s"], result["tobble_one_text_s"] = timed(convert, texts, text)
    for name, prepare, call in PEERS.get(filter_name, []):
        try:
            arguments = [prepare(t) for t in texts]
            seconds, one_text = timed(call, arguments, prepare(text))
            result["peers"].append({"name": name, "seconds": seconds, "one_text_s": one_text})
        except Exception as error:  # a peer that cannot do the job is recorded
            result["peers"].append({"name": name, "error": f"{type(error).__name__}: {error}"})
    return result


def measure_short(rows, quick):
    """Each filter on the first characters of its first 64 KiB corpus,
    beside html.escape on the very same string."""
    min_time, rounds = (0.02, 3) if quick else (0.1, 5)
    results = []
    seen = set()
    for row in rows:
        if row["size"] != "64K" or row["filter"] in seen:
            continue
        seen.add(row["filter"])
        with open(row["file"], encoding="utf-8", newline="") as f:
            start = f.read(4096)
        filter_name = row["filter"]
        for length in SHORT_LENGTHS:
            text = start[:length]
            tobble_s = best_time(lambda s: tobble.convert(filter_name, s), [text], min_time, rounds)
            escape_s = best_time(html.escape, [text], min_time, rounds)
            results.append(
                dict(filter=filter_name, corpus=row["corpus"], length=length,
                     tobble_s=tobble_s, html_escape_s=escape_s)
            )
    return results


def settle_allocator():
    """Puts the C allocator in the state it takes after a large block has
    come and gone: blocks up to 30 MiB then come from its heap, which it
    keeps. Otherwise a peer that allocates its worst case and then shrinks
    the result (the codecs do) maps fresh pages on every call, or does not,
    depending on what the process freed before it: unicode_escape on the
    japanese 64 KiB str took 36 or 456 us in one process or another. Every
    call measured, tobble's and the peers', runs in the faster state."""
    block = bytearray(30 << 20)
    del block


def main():
    settle_allocator()
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    quick = "--quick" in sys.argv
    sizes = ["64K"] if quick else ["64K", "16M"]
    for a in sys.argv[1:]:
        if a.startswith("--sizes="):
            sizes = a.split("=", 1)[1].split(",")
    if len(args) != 2:
        sys.exit(__doc__)
    manifest, out = args
    rows, files = read_manifest(manifest, sizes)
    results = []
    for i, row in enumerate(rows, 1):
        print(f"  [{i}/{len(rows)}] {row['filter']} {row['corpus']} {row['size']}", flush=True)
        results.append(measure_corpus(row, files, quick))
    print("  short strings", flush=True)
    short = measure_short(rows, quick)
    data = {
        "python": sys.version.split()[0],
        "tobble": tobble.__version__,
        "results": results,
        "short": short,
    }
    with open(out, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1)


if __name__ == "__main__":
    main()
