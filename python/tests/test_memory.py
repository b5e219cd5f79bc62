"""Memory: a Converter holds what one piece needs, however long the input.
Measured in a fresh process, whose peak RSS tells nothing of the tests
before."""
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
for _ in range(100):
    out += len(converter.feed(piece))
out += len(converter.finish())
assert converter.bytes_in == 100 * 2**20
print(peak_mib() - start, out)
"""


@pytest.mark.parametrize("filter_name", FILTER_NAMES)
def test_100_mib_in_1_mib_pieces_stays_in_bounded_memory(filter_name):
    done = subprocess.run(
        [sys.executable, "-c", PROGRAM, filter_name],
        capture_output=True, text=True, timeout=600, env=os.environ,
    )
    assert done.returncode == 0, done.stderr
    growth_mib, out_bytes = done.stdout.split()
    # The output is many times the limit for the encoders, so nothing of it
    # may be kept.
    assert int(out_bytes) > 100 * 2**20 // 2
    assert float(growth_mib) < LIMIT_MIB, f"peak RSS grew by {growth_mib} MiB"
