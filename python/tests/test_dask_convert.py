"""examples/dask_convert.py on a cluster of two workers: about 50 files of
1 to 2 MiB, one of them invalid, every output compared with the tool's;
then again with a worker killed during the job."""
import os
import random
import signal
import subprocess
import sys
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
