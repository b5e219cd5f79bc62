"""examples/dask_convert.py on a cluster of two workers: about 50 files of
1 to 2 MiB, one of them invalid, every output compared with the tool's;
then again with a worker killed during the job. Its handling of one file's
output (temporary files, existing targets, failures) is tested on the
per-file function, without a cluster."""
import importlib.util
import json
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

import pytest

from conftest import ROOT, random_text

EXAMPLE = os.path.join(ROOT, "examples", "dask_convert.py")
FILES = 50
INVALID_FILE = "b/c/file17.txt"
INVALID_OFFSET = 1_234_567
FILTER = "tobbleJ"


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """The input tree: files in nested folders, one with a byte that is
    never UTF-8."""
    root = tmp_path_factory.mktemp("inputs")
    rng = random.Random(13)
    block = random_text(rng, 300_000, surrogates=False).encode("utf-8")
    names = []
    for i in range(FILES):
        name = ["", "a/", "b/c/"][i % 3] + f"file{i}.txt"
        size = rng.randrange(1 << 20, 2 << 20)
        data = (block * (size // len(block) + 1))[rng.randrange(1000):][:size]
        data = data.decode("utf-8", "ignore").encode("utf-8")
        if name == INVALID_FILE:
            data = data[:INVALID_OFFSET].decode("utf-8", "ignore").encode("utf-8")
            data = data + b"a" * (INVALID_OFFSET - len(data)) + b"\xff" + data
        os.makedirs(root / os.path.dirname(name), exist_ok=True)
        (root / name).write_bytes(data)
        names.append(name)
    return root, names


def run_example(inputs, output, *options):
    root, _ = inputs
    return subprocess.Popen(
        [sys.executable, EXAMPLE, FILTER, f"{root}/**/*.txt", str(output), *options],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )


def check_outputs(inputs, output, tool, summary):
    root, names = inputs
    assert f"converted {FILES - 1} of {FILES} files" in summary
    assert f"{INVALID_FILE}: invalid utf-8 at byte {INVALID_OFFSET}" in summary
    written = sorted(
        os.path.relpath(os.path.join(folder, f), output)
        for folder, _, files in os.walk(output) for f in files
    )
    # Every valid file, under its own name; no temporary file left behind.
    assert written == sorted(n for n in names if n != INVALID_FILE)
    for name in written:
        expected = tool.convert(FILTER, (root / name).read_bytes())
        with open(os.path.join(output, name), "rb") as f:
            assert f.read() == expected, name


def load_example():
    found = importlib.util.spec_from_file_location("dask_convert", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


example = load_example()
TEXT = "caf\u00e9 \u30a2 \\ \U0001f600 line\n".encode("utf-8") * 20_000


def convert(source, target):
    return example.convert_file(FILTER, str(source), str(target), "utf-8", "strict")


def entries(folder):
    return sorted(os.listdir(folder))


# An attempt of the per-file task in a process of its own (so that it can be
# killed), printing its result record.
ATTEMPT = ("import json, sys, dask_convert; print(json.dumps(dask_convert.convert_file("
           "sys.argv[1], sys.argv[2], sys.argv[3], 'utf-8', 'strict', 4096)))")


def start_attempt(source, target):
    path = os.pathsep.join([os.path.dirname(EXAMPLE)] + sys.path)
    return subprocess.Popen([sys.executable, "-c", ATTEMPT, FILTER, str(source), str(target)],
                            stdout=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONPATH=path))


def wait_for_output(folder, before):
    """Waits until a file appears in `folder` or one of `before` (name:
    size) shrinks (an output opened, not one growing); returns the sizes."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        now = {name: os.path.getsize(os.path.join(folder, name)) for name in os.listdir(folder)}
        if any(size < before.get(name, size + 1) for name, size in now.items()):
            return now
        time.sleep(0.005)
    pytest.fail("the attempt never opened its output")


def test_a_killed_attempt_does_not_spoil_a_running_one(tmp_path, tool):
    """A second attempt of the task starts while the first runs, opens its
    output and is killed; the first must still write the whole output."""
    out = tmp_path / "out"
    out.mkdir()
    target = out / "f.txt"
    first_source, second_source = tmp_path / "first", tmp_path / "second"
    os.mkfifo(first_source)
    os.mkfifo(second_source)
    first = start_attempt(first_source, target)
    with open(first_source, "wb") as feed:
        # More than a pipe holds: the write returns once the attempt has
        # read (and written) most of it.
        feed.write(TEXT[:300_000])
        feed.flush()
        files = wait_for_output(out, {})
        second = start_attempt(second_source, target)
        with open(second_source, "wb"):
            wait_for_output(out, files)
            second.kill()
            second.wait()
        feed.write(TEXT[300_000:])
    stdout, _ = first.communicate(timeout=60)
    assert json.loads(stdout)["ok"]
    assert target.read_bytes() == tool.convert(FILTER, TEXT)


# Targets of every kind: (name, what is there before, given the target and
# its folder, and the check after a successful conversion, given the target,
# its folder, the expected output and what the first returned).
def check_mode(target, folder, expected, _):
    assert stat.S_IMODE(target.lstat().st_mode) == 0o751
    assert target.read_bytes() == expected


def check_link(target, folder, expected, _):
    assert target.is_symlink() and (folder / "real").read_bytes() == expected


def check_planted_link(target, folder, expected, _):
    assert (folder / "victim").read_bytes() == b"victim"
    assert not target.is_symlink() and target.read_bytes() == expected


def check_fifo(target, folder, expected, reader):
    try:
        assert stat.S_ISFIFO(target.lstat().st_mode)
        assert reader.wait(timeout=60) == 0 and (folder.parent / "read").read_bytes() == expected
    finally:
        reader.kill()


def fifo_with_reader(path):
    """A pipe at `path`, copied by a reader to "read" beside its folder."""
    os.mkfifo(path)
    with open(path.parent.parent / "read", "wb") as copy:
        return subprocess.Popen(["cat", str(path)], stdout=copy)


TARGETS = [
    ("existing", lambda t, f: (t.write_bytes(b"old"), t.chmod(0o751)), check_mode),
    ("link", lambda t, f: ((f / "real").write_bytes(b"old"), t.symlink_to("real")), check_link),
    # A link planted where the temporary file used to be named.
    ("planted", lambda t, f: ((f / "victim").write_bytes(b"victim"),
                              (f / ".f.txt.tobble-part").symlink_to(f / "victim")),
     check_planted_link),
    ("fifo", lambda t, f: fifo_with_reader(t), check_fifo),
]


@pytest.mark.parametrize("case", TARGETS, ids=[case[0] for case in TARGETS])
def test_targets_of_every_kind(case, tmp_path, tool):
    _, prepare, check = case
    folder = tmp_path / "out"
    folder.mkdir()
    source, target = tmp_path / "in.txt", folder / "f.txt"
    source.write_bytes(TEXT)
    prepared = prepare(target, folder)
    before = set(entries(folder)) | {"f.txt"}
    result = convert(source, target)
    assert result["ok"], result
    check(target, folder, tool.convert(FILTER, TEXT), prepared)
    assert entries(folder) == sorted(before)  # no temporary file left behind


def test_long_names_and_failures_end_in_the_files_record(tmp_path, tool):
    """A name as long as the file system allows is converted; each error of
    a file's input or output becomes its failure, with no file left."""
    long_name = "\u00e9" * 125  # 250 bytes
    (tmp_path / long_name).write_bytes(TEXT)
    (tmp_path / "file").write_bytes(b"")
    (tmp_path / "folder").mkdir()
    result = convert(tmp_path / long_name, tmp_path / "out" / long_name)
    assert result["ok"], result
    assert (tmp_path / "out" / long_name).read_bytes() == tool.convert(FILTER, TEXT)
    for source, target, error in [
        ("missing", "out/missing", "No such file or directory"),
        (long_name, "file/f.txt", "File exists"),
        (long_name, "folder", "Is a directory"),
    ]:
        result = convert(tmp_path / source, tmp_path / target)
        assert not result["ok"] and error in result["error"], (source, target, result)
    assert entries(tmp_path / "out") == [long_name]
    assert entries(tmp_path / "folder") == []


def test_folder_is_flushed_after_the_rename(tmp_path, monkeypatch):
    synced = []
    fsync = os.fsync
    monkeypatch.setattr(os, "fsync", lambda fd: (synced.append(os.fstat(fd)), fsync(fd))[1])
    (tmp_path / "in.txt").write_bytes(TEXT)
    assert convert(tmp_path / "in.txt", tmp_path / "out" / "f.txt")["ok"]
    folder = (tmp_path / "out").stat()
    assert stat.S_ISDIR(synced[-1].st_mode) and synced[-1].st_ino == folder.st_ino


def as_nobody(function):
    """Runs `function` in a child process with the user and group IDs of
    nobody, and returns its (JSON) result."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(reader)
            os.setgid(65534)
            os.setuid(65534)
            os.write(writer, json.dumps(function()).encode())
        finally:
            os._exit(0)
    os.close(writer)
    with os.fdopen(reader, "rb") as pipe:
        data = pipe.read()
    os.waitpid(pid, 0)
    return json.loads(data)


def test_read_only_target_is_refused():
    # As root, the conversion runs as nobody, in a folder anyone may write.
    folder = tempfile.mkdtemp()
    try:
        os.chmod(folder, 0o777)
        source, target = os.path.join(folder, "in.txt"), os.path.join(folder, "f.txt")
        for path, data in ((source, TEXT), (target, b"old")):
            with open(path, "wb") as f:
                f.write(data)
        os.chmod(target, 0o444)
        run = as_nobody if os.geteuid() == 0 else lambda function: function()
        result = run(lambda: convert(source, target))
        assert not result["ok"] and result["error"] == f"Permission denied: {target}"
        with open(target, "rb") as f:
            assert f.read() == b"old"
        assert entries(folder) == ["f.txt", "in.txt"]
    finally:
        shutil.rmtree(folder)


def test_outputs_inside_the_glob_are_not_inputs(tmp_path):
    for name in ("a.txt", "b/c.txt", "out/a.txt", "out/out/a.txt"):
        os.makedirs(tmp_path / os.path.dirname(name), exist_ok=True)
        (tmp_path / name).write_bytes(b"x")
    (tmp_path / "out" / "b.txt").symlink_to(tmp_path / "a.txt")  # an output that is a link
    pairs = example.plan(f"{tmp_path}/**/*.txt", str(tmp_path), str(tmp_path / "out"))
    assert [os.path.relpath(source, tmp_path) for source, _ in pairs] == ["a.txt", "b/c.txt"]


def test_local_cluster_converts_every_file(inputs, tmp_path, tool):
    job = run_example(inputs, tmp_path / "out", "--workers", "2")
    stdout, stderr = job.communicate(timeout=300)
    assert job.returncode == 1, stderr  # one file failed
    check_outputs(inputs, str(tmp_path / "out"), tool, stdout)


def test_killed_worker_still_ends_with_every_output_correct(inputs, tmp_path, tool):
    from distributed import Client, LocalCluster

    output = tmp_path / "out"
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        pids = client.run(os.getpid)
        job = run_example(inputs, output, "--scheduler", cluster.scheduler_address)
        # Kill a worker as soon as the job has written something: the
        # tasks it held run again on the other worker or its restart.
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and job.poll() is None:
            if os.path.isdir(output) and any(files for _, _, files in os.walk(output)):
                break
            time.sleep(0.005)
        finished = sum(len(files) for _, _, files in os.walk(output))
        os.kill(next(iter(pids.values())), signal.SIGKILL)
        assert job.poll() is None and finished < FILES - 1, "the job ended before the kill"
        stdout, stderr = job.communicate(timeout=300)
        # The killed worker is gone (its nanny starts a new one in its place).
        assert set(client.run(os.getpid).values()) != set(pids.values())
    assert job.returncode == 1, stderr
    check_outputs(inputs, str(output), tool, stdout)


def test_bad_filter_is_a_usage_error(inputs, tmp_path):
    root, _ = inputs
    done = subprocess.run([sys.executable, EXAMPLE, "nope", f"{root}/*.txt", str(tmp_path)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    assert "unknown filter 'nope'" in done.stderr


def test_names_that_are_not_text_are_converted_or_reported(tmp_path):
    folder = os.fsencode(tmp_path)
    for name, data in ((b"a.txt", TEXT), (b"\xfe.txt", TEXT), (b"\xff\xfe.txt", b"x\xff")):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    done = subprocess.run([sys.executable, EXAMPLE, FILTER, f"{tmp_path}/*.txt",
                           str(tmp_path / "out"), "--workers", "1"],
                          capture_output=True, timeout=300)
    assert done.returncode == 1, done.stderr
    assert b"converted 2 of 3 files" in done.stdout
    assert b"failed: " + folder + b"/\xff\xfe.txt: invalid utf-8 at byte 1\n" in done.stdout
    assert sorted(os.listdir(os.path.join(folder, b"out"))) == [b"a.txt", b"\xfe.txt"]
