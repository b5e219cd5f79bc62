#!/usr/bin/python3
"""Converts every file that a glob matches with one tobble filter, on a Dask
cluster: one task per file, each streamed through tobble.Converter in
bounded memory.

    dask_convert.py FILTER GLOB OUTPUT_DIR [options]

    # on this machine (a LocalCluster):
    examples/dask_convert.py charref2text 'pages/**/*.html' text/
    # on a running cluster:
    examples/dask_convert.py URLdecode 'logs/*.log' decoded/ --scheduler tcp://HOST:8786

Each output file gets the input's name relative to --base (by default the
folder part of GLOB before its first wildcard), under OUTPUT_DIR. It is
written to a temporary file in its target folder and renamed over the
target when complete, so a task that dies half-way (and is run again by
Dask) never leaves a half-written output behind. A file with invalid input
is reported with the byte offset of the first invalid sequence and not
written.

At the end it prints the number of files and bytes converted and every
failure. The exit status is 0 when every file was converted, 1 when any
failed, 2 for a mistake on the command line.

Every worker needs the tobble package (pip install ./python
--no-build-isolation on each machine).
"""
import argparse
import glob
import os
import sys
import uuid

# Bytes read and fed to the converter at a time: the memory a task needs.
PIECE_SIZE = 1 << 20


def part_name(target):
    """The temporary file a task writes before renaming it to `target`. The
    same for every attempt of the task, so a retry overwrites what an
    attempt that died left behind."""
    folder, name = os.path.split(target)
    return os.path.join(folder, "." + name + ".tobble-part")


def convert_file(filter_name, source, target, encoding, errors, piece_size=PIECE_SIZE):
    """Converts one file; runs on a worker. Returns a result record:
    {"source", "ok", "bytes_in", "bytes_out"} and, on failure, "error" and
    for invalid input "offset"."""
    import tobble  # imported on the worker

    result = {"source": source, "ok": False, "bytes_in": 0, "bytes_out": 0}
    os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
    part = part_name(target)
    try:
        converter = tobble.Converter(filter_name, encoding, errors)
        with open(source, "rb") as src, open(part, "wb") as out:
            while True:
                piece = src.read(piece_size)
                if not piece:
                    break
                out.write(converter.feed(piece))
            out.write(converter.finish())
            out.flush()
            os.fsync(out.fileno())
        os.replace(part, target)
        result.update(ok=True, bytes_in=converter.bytes_in, bytes_out=converter.bytes_out)
    except UnicodeDecodeError as error:
        # offset counts from the start of the file; start, from the piece.
        offset = error.offset
        result.update(error=f"invalid {error.encoding} at byte {offset}", offset=offset)
    except OSError as error:
        result.update(error=f"{error.strerror or error}: {error.filename or source}")
    finally:
        if not result["ok"]:
            try:
                os.unlink(part)
            except FileNotFoundError:
                pass
    return result


def glob_base(pattern):
    """The folder part of a glob before its first wildcard."""
    parts = []
    for part in pattern.split(os.sep):
        if glob.has_magic(part):
            break
        parts.append(part)
    else:
        parts = parts[:-1]  # no wildcard: the pattern names one file
    return os.sep.join(parts) or ("/" if pattern.startswith("/") else ".")


def plan(pattern, base, output):
    """(source, target) pairs for every file the glob matches."""
    pairs = []
    for source in sorted(glob.glob(pattern, recursive=True)):
        if not os.path.isfile(source):
            continue
        relative = os.path.relpath(source, base)
        if relative.startswith(os.pardir + os.sep):
            raise SystemExit(f"dask_convert: {source} is not under --base {base}")
        pairs.append((os.path.abspath(source), os.path.abspath(os.path.join(output, relative))))
    return pairs


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description="Convert files with a tobble filter on a Dask cluster.")
    parser.add_argument("filter", help="the filter's export name (tobbleJ, URLdecode, ...)")
    parser.add_argument("glob", help="the input files; ** matches folders at any depth")
    parser.add_argument("output", help="the folder the converted files go to")
    parser.add_argument("--base", help="the folder input names are relative to "
                        "(default: GLOB's folder before its first wildcard)")
    parser.add_argument("--encoding", default="utf-8",
                        help="utf-8 (default), utf-16le or utf-16be, in and out")
    parser.add_argument("--errors", default="strict", choices=["strict", "replace"],
                        help="invalid input: fail the file (default) or write U+FFFD")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a running scheduler (tcp://HOST:8786); default: a "
                        "LocalCluster on this machine")
    parser.add_argument("--workers", type=int,
                        help="worker processes of the LocalCluster (default: one a core)")
    parser.add_argument("--progress", action="store_true",
                        help="show Dask's progress bar on the terminal")
    return parser.parse_args(argv)


def summarize(results, out=sys.stdout):
    """Prints the summary; returns the number of failed files."""
    done = [r for r in results if r["ok"]]
    failed = sorted((r for r in results if not r["ok"]), key=lambda r: r["source"])
    bytes_in = sum(r["bytes_in"] for r in done)
    bytes_out = sum(r["bytes_out"] for r in done)
    print(f"converted {len(done)} of {len(results)} files: {bytes_in:,} bytes in, "
          f"{bytes_out:,} bytes out; {len(failed)} failed", file=out)
    for r in failed:
        print(f"failed: {r['source']}: {r['error']}", file=out)
    return len(failed)


def main(argv=None):
    args = parse_arguments(argv)
    import tobble  # checks the filter and encoding here, before any task runs

    try:
        tobble.Converter(args.filter, args.encoding, args.errors)
    except ValueError as error:
        print(f"dask_convert: {error}", file=sys.stderr)
        return 2
    base = args.base or glob_base(args.glob)
    pairs = plan(args.glob, base, args.output)
    if not pairs:
        print(f"dask_convert: no file matches {args.glob}", file=sys.stderr)
        return 1

    from distributed import Client, LocalCluster, as_completed, progress

    if args.scheduler:
        client = Client(args.scheduler, timeout="30s")
        cluster = None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        # One task per file, named by it and this run; a task whose worker
        # dies is run again elsewhere.
        run = uuid.uuid4().hex[:8]
        futures = [
            client.submit(convert_file, args.filter, source, target, args.encoding,
                          args.errors, key=f"tobble-{run}-{i}-{os.path.basename(source)}",
                          retries=2)
            for i, (source, target) in enumerate(pairs)
        ]
        if args.progress:
            progress(futures)
            print()
        results = [future.result() for future in as_completed(futures)]
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return 1 if summarize(results) else 0


if __name__ == "__main__":
    sys.exit(main())
