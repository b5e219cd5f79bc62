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
folder part of GLOB before its first wildcard), under OUTPUT_DIR; files
already in OUTPUT_DIR are never inputs. Each attempt of a task writes a
temporary file of its own, created new in the target's folder, flushes it
to disk and renames it over the target when complete, so a task that dies
half-way (and is run again by Dask) never leaves a half-written output
behind, and two attempts never write into one file. An existing target
keeps its permission bits (and, where allowed, owner and group); a symbolic
link is followed and stays a link; a target that is not a regular file (a
device, a pipe) is written directly; a target the user may not write is
refused. A file with invalid input is reported with the byte offset of the
first invalid sequence and not written.

At the end it prints the number of files and bytes converted and every
failure. The exit status is 0 when every file was converted, 1 when any
failed, 2 for a mistake on the command line.

Every worker needs the tobble package (pip install ./python
--no-build-isolation on each machine).
"""
import argparse
import errno
import glob
import os
import secrets
import stat
import sys
import uuid

# Bytes read and fed to the converter at a time: the memory a task needs.
PIECE_SIZE = 1 << 20


# The longest file name most file systems take, in bytes.
NAME_MAX = 255
# The random part of a temporary file's name, in hex digits.
TOKEN_LENGTH = 8


def temporary_prefix(target, run):
    """The start of the names of the temporary files that tasks of run `run`
    write for `target`, ".NAME.tobble-RUN" (a random token follows): the
    target's name is cut short, at a character's start, when the whole
    would be too long for the file system."""
    name = os.fsencode(os.path.basename(target))
    extra = len("..tobble-") + len(os.fsencode(run)) + TOKEN_LENGTH
    if len(name) + extra > NAME_MAX:
        cut = NAME_MAX - extra
        while cut > 0 and name[cut] & 0xC0 == 0x80:
            cut -= 1
        name = name[:cut]
    return "." + os.fsdecode(name) + ".tobble-" + run


def create_temporary(target, run, mode):
    """Creates a new, empty temporary file beside `target` and returns its
    descriptor and path. Every attempt of a task gets a file of its own, so
    two attempts of one task never write into each other's file; a name
    that exists, a symbolic link included, is never opened."""
    folder = os.path.dirname(target)
    prefix = os.path.join(folder, temporary_prefix(target, run))
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
    for _ in range(100):
        path = prefix + secrets.token_hex(TOKEN_LENGTH // 2)
        try:
            return os.open(path, flags, mode), path
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no unused temporary file name", prefix)


def resolve_target(target):
    """The file that writing `target` replaces: the file a symbolic link
    points to (so the link stays a link), or a link to nothing yet itself."""
    if not os.path.islink(target):
        return target
    try:
        return os.path.realpath(target, strict=True)
    except FileNotFoundError:
        return target


def sync_folder(folder):
    """Flushes a folder, so that a rename in it reaches the disk; some file
    systems refuse, and the file itself is safe by then."""
    try:
        fd = os.open(folder or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def open_output(target, run):
    """Opens the output for `target`. Returns (file, temporary): a regular
    target (or a new one) is written to `temporary`, a new file in its
    folder that already has the target's permission bits (and, where
    allowed, owner and group); anything else that is not a folder (a
    device, a pipe) is written directly, with `temporary` None. A regular
    target the user may not write is refused."""
    try:
        status = os.stat(target)
    except FileNotFoundError:
        status = None
    if status is not None and not stat.S_ISREG(status.st_mode):
        if stat.S_ISDIR(status.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
        return open(target, "wb", opener=direct_opener), None
    if status is not None and not os.access(target, os.W_OK):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), target)
    fd, temporary = create_temporary(target, run, 0o600 if status else 0o666)
    try:
        if status is not None:
            # The owner first: a change of owner clears the set-user-ID bit.
            root = os.geteuid() == 0
            try:
                os.fchown(fd, status.st_uid if root else -1, status.st_gid)
            except PermissionError:
                if root:
                    raise
            os.fchmod(fd, stat.S_IMODE(status.st_mode))
        return os.fdopen(fd, "wb"), temporary
    except BaseException:
        os.close(fd)
        os.unlink(temporary)
        raise


def direct_opener(path, flags):
    """Opens a target that is not a regular file as it is: no truncation,
    never as a controlling terminal."""
    return os.open(path, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC)


def convert_file(filter_name, source, target, encoding, errors, piece_size=PIECE_SIZE, run=""):
    """Converts one file; runs on a worker. Returns a result record:
    {"source", "ok", "bytes_in", "bytes_out"} and, on failure, "error" and
    for invalid input "offset". Every error of the file's input or output
    ends in the record; `run` names the run in the temporary files' names."""
    import tobble  # imported on the worker

    result = {"source": source, "ok": False, "bytes_in": 0, "bytes_out": 0}
    temporary = None
    try:
        os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
        destination = resolve_target(target)
        converter = tobble.Converter(filter_name, encoding, errors)
        with open(source, "rb") as src:
            out, temporary = open_output(destination, run)
            with out:
                while True:
                    piece = src.read(piece_size)
                    if not piece:
                        break
                    out.write(converter.feed(piece))
                out.write(converter.finish())
                out.flush()
                if temporary is not None:
                    os.fsync(out.fileno())
        if temporary is not None:
            os.replace(temporary, destination)
            temporary = None
            sync_folder(os.path.dirname(destination))
        result.update(ok=True, bytes_in=converter.bytes_in, bytes_out=converter.bytes_out)
    except UnicodeDecodeError as error:
        # offset counts from the start of the file; start, from the piece.
        offset = error.offset
        result.update(error=f"invalid {error.encoding} at byte {offset}", offset=offset)
    except OSError as error:
        result.update(error=f"{error.strerror or error}: {error.filename or source}")
    finally:
        if temporary is not None:
            try:
                os.unlink(temporary)
            except OSError:
                pass
    return result


def remove_temporaries(pairs, run):
    """Removes the temporary files that attempts of run `run` which died
    left behind."""
    prefixes = {}
    for _, target in pairs:
        try:
            target = resolve_target(target)
        except OSError:
            pass
        prefixes.setdefault(os.path.dirname(target), set()).add(temporary_prefix(target, run))
    for folder, names in prefixes.items():
        try:
            entries = os.listdir(folder)
        except OSError:
            continue
        for entry in entries:
            if len(entry) > TOKEN_LENGTH and entry[:-TOKEN_LENGTH] in names:
                try:
                    os.unlink(os.path.join(folder, entry))
                except OSError:
                    pass


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
    """(source, target) pairs for every file the glob matches, but for those
    in the output folder (the outputs of an earlier run, when the output
    folder is among the inputs)."""
    outputs = os.path.join(os.path.realpath(output), "")
    pairs = []
    for source in sorted(glob.glob(pattern, recursive=True)):
        if not os.path.isfile(source):
            continue
        # Where the file is, not where a link there points to.
        folder = os.path.join(os.path.realpath(os.path.dirname(source)), "")
        if folder.startswith(outputs):
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
    # File names are written as they are, text or not.
    sys.stdout.reconfigure(errors="surrogateescape")
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
    # One task per file, its key made of this run and the file's index (a
    # file name need not be text); a task whose worker dies is run again
    # elsewhere.
    run = uuid.uuid4().hex[:8]
    results = []
    try:
        futures = [
            client.submit(convert_file, args.filter, source, target, args.encoding,
                          args.errors, run=run, key=f"tobble-{run}-{i}", retries=2)
            for i, (source, target) in enumerate(pairs)
        ]
        index = {future.key: i for i, future in enumerate(futures)}
        if args.progress:
            progress(futures)
            print()
        for future in as_completed(futures):
            source = pairs[index[future.key]][0]
            try:
                result = future.result()
            except Exception as error:  # the task's last attempt failed or was lost
                result = {"ok": False, "bytes_in": 0, "bytes_out": 0,
                          "error": f"{type(error).__name__}: {error}"}
            result["source"] = source
            results.append(result)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
        remove_temporaries(pairs, run)
    return 1 if summarize(results) else 0


if __name__ == "__main__":
    sys.exit(main())
