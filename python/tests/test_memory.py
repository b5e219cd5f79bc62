"""Memory: a Converter holds what one piece needs, however long the input.
Measured in a fresh process, whose peak RSS tells nothing of the tests
before; a control run that keeps its output shows that the measurement
sees a leak."""
import os
import subprocess
import sys

import pytest

from conftest import FILTER_NAMES

LIMIT_MIB = 64

PROGRAM = r"""
import resource, sys
import tobble

def peak_mib():
    # getrusage's ru_maxrss carries over the peak of the process image that
    # exec replaced: started with vfork, that is the parent's (pytest's,
    # hundreds of MiB after other tests), which would hide this process's
    # own peak. Linux counts the peak of this image alone as VmHWM.
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

filter_name = sys.argv[1]
# One MiB of valid UTF-8: text, escapes, references and percent sequences
# for every filter to work on, and characters that expand the most.
block = ("caf\u00e9 \u3042\u30a2\u4e00\U0001f600 <a href=\"x\">&amp;&eacute;&#x1F600;</a> "
         "\\u00e9\\U0001f600 %C3%A9+%E3%81%82 \ud7ff\n").encode("utf-8")
piece = (block * (2**20 // len(block) + 1))[: 2**20]
piece = piece.decode("utf-8", "ignore").encode("utf-8")
piece += b" " * (2**20 - len(piece))
start = peak_mib()
converter = tobble.Converter(filter_name)
out = 0
kept = []  # with "keep": the output held, as a converter that leaked would
for _ in range(100):
    result = converter.feed(piece)
    out += len(result)
    if sys.argv[2:] == ["keep"]:
        kept.append(result)
out += len(converter.finish())
assert converter.bytes_in == 100 * 2**20
print(peak_mib() - start, out)
"""


def run(*args):
    """The program's peak RSS growth in MiB, and its output bytes."""
    done = subprocess.run(
        [sys.executable, "-c", PROGRAM, *args],
        capture_output=True, text=True, timeout=600, env=os.environ,
    )
    assert done.returncode == 0, done.stderr
    growth_mib, out_bytes = done.stdout.split()
    return float(growth_mib), int(out_bytes)


@pytest.mark.parametrize("filter_name", FILTER_NAMES)
def test_100_mib_in_1_mib_pieces_stays_in_bounded_memory(filter_name):
    growth_mib, out_bytes = run(filter_name)
    # The output is many times the limit for the encoders, so nothing of it
    # may be kept.
    assert out_bytes > 100 * 2**20 // 2
    assert growth_mib < LIMIT_MIB, f"peak RSS grew by {growth_mib} MiB"


def test_measurement_sees_output_that_is_kept():
    """The same run holding on to its output goes far over the limit: the
    measurement would catch a converter that kept what it returned."""
    growth_mib, out_bytes = run("tobbleJ", "keep")
    assert growth_mib > LIMIT_MIB, (growth_mib, out_bytes)
