"""What the package's tests share: the command-line tool they hold the
package to, and random texts that reach every filter's paths.

The tool is $TOBBLE_TOOL, else build/release/tobble, else dist/tobble; the
agreement tests fail (they are not skipped) when none is there.
"""
import os
import random
import re
import subprocess

import pytest

import tobble

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FILTER_NAMES = [f.name for f in tobble.FILTERS]

# Pieces that make the filters work: escapes, references and percent
# sequences whole, cut short and malformed, for the decoders; markup and
# reserved characters for the encoders.
FRAGMENTS = [
    "\\u00e9", "\\u30a2", "\\ud83d\\ude00", "\\ud800", "\\udc00x", "\\U0001f600", "\\U00110000",
    "\\u00", "\\U0001f6", "\\uzzzz", "\\\\u0041", "\\", "&amp;", "&lt;", "&eacute;", "&eacute",
    "&#233;", "&#xe9;", "&#x1F600;", "&#0;", "&#xD800;", "&#1114112;", "&notin;", "&notit;",
    "&", "&#", "&#x", "%C3%A9", "%E3%82%A2", "%F0%9F%98%80", "%ED%A0%80", "%C3", "%E3%82",
    "%zz", "%", "+", "a b", "<p>", '"', "'", "\r\n", "\n", "~-._",
]

# Code point ranges by weight: ASCII, Latin, kana, kanji, emoji (pairs),
# lone surrogates, and the edges of the planes.
RANGES = [
    ((0x20, 0x7E), 40), ((0xA0, 0x17F), 8), ((0x3041, 0x30FF), 10), ((0x4E00, 0x9FFF), 6),
    ((0x1F300, 0x1FAFF), 6), ((0xD800, 0xDBFF), 2), ((0xDC00, 0xDFFF), 2),
    ((0xFFFD, 0xFFFF), 1), ((0x10000, 0x10000), 1), ((0x10FFFF, 0x10FFFF), 1), ((1, 0x1F), 1),
]


def random_text(rng, length, surrogates=True, fragments=True):
    """A random str of about `length` code points. Without `surrogates` it
    holds no surrogate code point (so it can be UTF-8); without `fragments`
    only single characters, none of them a backslash."""
    ranges, weights = zip(*RANGES)
    parts = []
    size = 0
    while size < length:
        if fragments and rng.random() < 0.2:
            part = rng.choice(FRAGMENTS)
        else:
            low, high = rng.choices(ranges, weights)[0]
            c = rng.randint(low, high)
            if not surrogates and 0xD800 <= c <= 0xDFFF:
                c = 0xFFFD
            part = chr(c) if c != 0x5C or fragments else "/"
        parts.append(part)
        size += len(part)
    return "".join(parts)


def utf16(text, encoding="utf-16-le"):
    """The UTF-16 bytes of a str, a surrogate code point as its own unit."""
    return text.encode(encoding, "surrogatepass")


def joined(text):
    """The str that UTF-16 makes of `text`: a high surrogate code point
    followed by a low one becomes the character the pair encodes."""
    return utf16(text).decode("utf-16-le", "surrogatepass")


_SURROGATE = re.compile("[\ud800-\udfff]")


def utf8_like_tool(text):
    """`text` in UTF-8 as the tool writes it: pairs joined, a lone surrogate
    as U+FFFD."""
    return _SURROGATE.sub("\ufffd", joined(text)).encode("utf-8")


def find_tool():
    for path in (
        os.environ.get("TOBBLE_TOOL"),
        os.path.join(ROOT, "build", "release", "tobble"),
        os.path.join(ROOT, "dist", "tobble"),
    ):
        if path and os.access(path, os.X_OK):
            return path
    return None


class Tool:
    """Runs the command-line tool."""

    def __init__(self, path):
        self.path = path
        self.help = self.run(["--help"]).stdout.decode()

    def run(self, args, data=b""):
        return subprocess.run([self.path] + args, input=data, capture_output=True, timeout=300)

    def convert(self, filter_name, data, encoding="utf-8"):
        """The tool's output; fails the test when the tool fails."""
        done = self.run(["-e", encoding, filter_name], data)
        assert done.returncode == 0, done.stderr.decode(errors="replace")
        return done.stdout

    def error_offset(self, filter_name, data, encoding="utf-8"):
        """The byte offset of the tool's invalid-input message."""
        done = self.run(["-e", encoding, filter_name], data)
        assert done.returncode == 1, done.stderr
        match = re.search(rb"at byte (\d+)", done.stderr)
        assert match, done.stderr
        return int(match.group(1))

    def supports(self, option):
        return option in self.help


@pytest.fixture(scope="session")
def tool():
    path = find_tool()
    if path is None:
        pytest.fail("the tool is not built: build/release/tobble, dist/tobble or $TOBBLE_TOOL")
    return Tool(path)


@pytest.fixture
def rng(request):
    """A generator seeded by the test's name, so every run sees the same
    texts and a failure can be replayed."""
    return random.Random(request.node.nodeid)
