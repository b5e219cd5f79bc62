"""Every filter, through every way into the package, agrees byte for byte
with the command-line tool; and the package describes itself as the tool
does."""
import itertools
import ast
import os
import re

import pytest

import tobble
from conftest import FILTER_NAMES, ROOT, joined, random_text, utf16, utf8_like_tool

# Text lengths in code points: empty, short, and long enough to cross the
# library's slices (32 Ki units) and output blocks (256 KiB) several times.
LENGTHS = [0, 1, 7, 64, 1000, 40_000, 150_000]


@pytest.mark.parametrize("filter_name", FILTER_NAMES)
def test_convert_agrees_with_tool_in_utf16(filter_name, tool, rng):
    for length in LENGTHS:
        text = random_text(rng, length)
        expected = tool.convert(filter_name, utf16(text), "utf-16le")
        result = tobble.convert(filter_name, text)
        assert utf16(result) == expected, (length, text[:200])


@pytest.mark.parametrize("filter_name", FILTER_NAMES)
@pytest.mark.parametrize("encoding", ["utf-16le", "utf-16be"])
def test_convert_bytes_utf16_agrees_with_tool(filter_name, encoding, tool, rng):
    for length in LENGTHS:
        text = random_text(rng, length)
        expected_le = tool.convert(filter_name, utf16(text), "utf-16le")
        data = utf16(text, "utf-16-le" if encoding == "utf-16le" else "utf-16-be")
        result = tobble.convert_bytes(filter_name, data, encoding)
        if encoding == "utf-16be":
            if tool.supports("utf-16be"):
                assert result == tool.convert(filter_name, data, "utf-16be")
            # The same units as the tool's UTF-16LE, each byte-swapped.
            result = result.decode("utf-16-be", "surrogatepass").encode(
                "utf-16-le", "surrogatepass"
            )
        assert result == expected_le, (length, text[:200])


@pytest.mark.parametrize("filter_name", FILTER_NAMES)
def test_convert_bytes_utf8_agrees_with_tool(filter_name, tool, rng):
    for length in LENGTHS:
        data = random_text(rng, length, surrogates=False).encode("utf-8")
        expected = tool.convert(filter_name, data)
        assert tobble.convert_bytes(filter_name, data) == expected
        assert tobble.convert_bytes(filter_name, data, "UTF8", "replace") == expected


@pytest.mark.parametrize("filter_name", FILTER_NAMES)
def test_convert_and_convert_bytes_agree(filter_name, rng):
    """A lone surrogate in a UTF-8 result becomes U+FFFD; nothing else
    differs between the str and the bytes paths."""
    for length in LENGTHS[:-1]:
        text = random_text(rng, length, surrogates=False)
        result = tobble.convert_bytes(filter_name, text.encode("utf-8"))
        assert result == utf8_like_tool(tobble.convert(filter_name, text))


def read_round_trips():
    """Each encoder with its decoder, from the inverse column of the
    library's filter list (filters/filter_list.h), each pair once, in table
    order: the decoder is the side with the smaller factor. With each, what a
    text must leave out for the round trip to hold: a backslash, where the
    encoder leaves `\\u0041` as it is and the decoder reads it (the escape
    filters); U+0000 always, since no decoder ever writes a zero character."""
    with open(os.path.join(ROOT, "filters", "filter_list.h"), encoding="utf-8") as f:
        rows = re.findall(r"^TOBBLE_FILTER\((\w+), .*?, '.', (\d+), \d+, \w+, \w+, (\w+), u8\"",
                          f.read(), re.M)
    factors = {name: int(factor) for name, factor, _ in rows}
    trips = []
    for name, _, inverse in rows:
        if inverse == "none":
            continue
        pair = (name, inverse) if factors[inverse] < factors[name] else (inverse, name)
        if pair not in trips:
            trips.append(pair)
    probe = "\\u0041"
    return [
        (encoder, decoder,
         "\\" if tobble.convert(encoder, probe) == probe != tobble.convert(decoder, probe) else "")
        for encoder, decoder in trips
    ]


ROUND_TRIPS = read_round_trips()
assert len(ROUND_TRIPS) >= 5, ROUND_TRIPS


@pytest.mark.parametrize("encoder,decoder,excluded", ROUND_TRIPS)
def test_round_trip_keeps_every_code_point(encoder, decoder, excluded, rng):
    texts = [
        "\ud800",
        "\udfff",
        "a\udc00\ud800b",
        "\ud83d\ude00",
        "\U0001f600\ud83d",
        "\x00\x7f\x80\xff\u0100\uffff\U00010000\U0010ffff",
    ]
    texts += [random_text(rng, n, fragments=False) for n in (10, 100, 5000, 50_000)]
    for text in texts:
        text = "".join(c for c in text if c not in excluded + "\0")
        encoded = tobble.convert(encoder, text)
        assert encoded.isascii()
        assert tobble.convert(decoder, encoded) == joined(text)


@pytest.mark.parametrize("shuffled", [False, True])
def test_str_kinds_give_the_same_units(shuffled):
    """A str stored one, two or four bytes a code point converts the same
    as its UTF-16 units say, and the units decoded back make the same str:
    four-byte storage is read and written four and eight code points at a
    time where they are alike, so every mix of kinds at every offset, by the
    plain loop and the SSSE3 one."""
    taken = tobble._tobble._choose_shuffles(shuffled)
    if shuffled and not taken:
        pytest.skip("the processor has no SSSE3")
    try:
        kinds = ["a", "\xe9", "\u3042", "\uffff", "\U00010000", "\U0010ffff", "\ud800", "\udc00"]
        mixes = "".join("".join(mix) for mix in itertools.product(kinds, repeat=4))
        texts = ["caf\xe9", "caf\xe9\u3042", "caf\xe9\u3042\U0001f600", "\ud800\U0001f600"]
        texts += [head + mixes + "abcdefghij" + mixes for head in ("", "\U0001f600", "\U0001f600a")]
        for text in texts:
            expected = "".join(
                "\\u%04x" % u if u > 0x7F else chr(u)
                for u in memoryview(utf16(text)).cast("H")
            )
            assert tobble.convert("tobbleJ", text) == expected
            assert tobble.convert("untobbleJ", expected) == joined_utf16(utf16(text))
            assert tobble._tobble._convert_sliced("untobbleJ", expected) == joined_utf16(utf16(text))
    finally:
        tobble._tobble._choose_shuffles(True)


def test_results_are_canonical_strs():
    """Results are stored as narrowly as Python stores any str, or equal
    strs would compare unequal."""
    cases = [
        ("untobbleJ", "abc", "abc"),
        ("untobbleJ", "\\u00e9", "\xe9"),
        ("untobbleJ", "\\u3042", "\u3042"),
        ("untobbleJ", "\\ud83d\\ude00", "\U0001f600"),
        ("untobbleJ", "\\ud83d", "\ud83d"),
        ("untobbleJ", "\\ude00\\ud83d", "\ude00\ud83d"),
    ]
    for filter_name, text, expected in cases:
        result = tobble.convert(filter_name, text)
        assert result == expected
        assert hash(result) == hash(expected)
        assert {result: 1}.get(expected) == 1


def test_filters_match_the_tool_list(tool):
    listed = [tuple(line.split()) for line in tool.run(["--list"]).stdout.decode().splitlines()]
    assert [tuple(f) for f in tobble.FILTERS] == listed
    assert [f.name for f in tobble.FILTERS][:2] == ["tobbleJ", "untobbleJ"]
    assert tobble.FILTERS[4] == ("charref2text", "F", "HTMLunescape")
    assert tobble.FILTERS[4].english_name == "HTMLunescape"


def test_version_comes_from_version_file():
    with open(os.path.join(ROOT, "VERSION")) as f:
        assert tobble.__version__ == f.read().strip()


def test_everything_public_has_a_docstring():
    public = [tobble, tobble.convert, tobble.convert_bytes, tobble.Converter, tobble.Filter]
    public += [getattr(tobble.Converter, name) for name in dir(tobble.Converter)
               if not name.startswith("_")]
    for thing in public:
        assert thing.__doc__ and len(thing.__doc__.strip()) > 10, thing


def test_stubs_cover_the_extension():
    package = os.path.dirname(tobble.__file__)
    assert os.path.exists(os.path.join(package, "py.typed"))
    with open(os.path.join(package, "_tobble.pyi")) as f:
        stub = ast.parse(f.read())
    stubbed = {node.name for node in stub.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    stubbed |= {node.target.id for node in stub.body if isinstance(node, ast.AnnAssign)}
    converter = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "Converter")
    methods = {n.name for n in converter.body if isinstance(n, ast.FunctionDef)}
    extension = tobble._tobble
    assert stubbed == {name for name in dir(extension) if not name.startswith("__")}
    assert methods - {"__init__"} == {
        name for name in dir(tobble.Converter) if not name.startswith("_")
    }


def joined_utf16(data):
    """The str of UTF-16LE bytes, pairs joined and lone surrogates kept."""
    return data.decode("utf-16-le", "surrogatepass")


def slice_edge_texts(rng):
    """Texts whose slices (32 Ki units) end in every way: a pair cut in two,
    an escape or reference cut short, wider characters first appearing
    late (so the result's storage widens half-way), lone surrogates at the
    edges."""
    slice_units = 32 * 1024
    texts = []
    for tail in ["\U0001f600", "\\ud83d\\ude00", "\\U0001f600", "&#x1F600;", "%F0%9F%98%80",
                 "\ud83d", "\ude00", "\xe9", "\u3042", "&eacute;"]:
        for shift in range(-3, 3):
            head = "a" * (slice_units + shift - len(tail) // 2)
            texts.append(head + tail + "b" * 70_000 + tail + "\U0010ffff")
    texts.append("a" * 100_000 + "\xe9" * 100_000 + "\u3042" * 100_000 + "\U0001f600" * 9)
    texts.append("\\ud83d" + "\\ude00\\ud83d" * 30_000)
    texts += [random_text(rng, n) for n in (70_000, 300_000)]
    return texts


@pytest.mark.parametrize("filter_name", FILTER_NAMES)
def test_sliced_conversion_equals_whole(filter_name, rng):
    """Large texts go slice by slice; the library's stream, which cuts its
    input elsewhere, agrees."""
    for text in slice_edge_texts(rng) + ["", "x", "\U0001f600"]:
        whole = joined_utf16(tobble.convert_bytes(filter_name, utf16(text), "utf-16le"))
        assert tobble._tobble._convert_sliced(filter_name, text) == whole
        assert tobble.convert(filter_name, text) == whole


@pytest.mark.parametrize("filter_name", FILTER_NAMES)
@pytest.mark.parametrize("head", ["\xe9", "\u3042"])
def test_narrow_strs_across_slice_edges(filter_name, head):
    """Strs stored one or two bytes a code point (no character above
    U+FFFF): a two-byte str is read in place, so its slices end where the
    conversion left off; surrogate code points that make a pair, escapes
    and references cut at every edge."""
    slice_units = 32 * 1024
    for tail in ["\ud83d\ude00", "\\ud83d\\ude00", "&#x1F600;", "%E3%81%82", "\ud83d", "\u3042"]:
        for shift in range(-2, 2):
            text = head * (slice_units + shift - len(tail) // 2) + tail
            text = text + "b" * (slice_units - 5) + tail + head * 3
            whole = joined_utf16(tobble.convert_bytes(filter_name, utf16(text), "utf-16le"))
            assert tobble._tobble._convert_sliced(filter_name, text) == whole
            assert tobble.convert(filter_name, text) == whole


@pytest.mark.parametrize("filter_name", FILTER_NAMES)
@pytest.mark.parametrize("head", ["a", "\xe9", "\u3042", "\U0001f600"])
def test_strs_of_every_storage_across_slice_edges(filter_name, head):
    """An ASCII str is read where it is, any other a slice at a time: what
    the filters change at every slice edge, and a surrogate code point in a
    later slice, which no UTF-8 slice can carry, so that the conversion
    starts again the other way."""
    slice_units = 32 * 1024
    for tail in ["\\", "\x01\"<&% +", "\ud800", "\U0001f600"]:
        for shift in (-1, 0, 1):
            text = head * (slice_units + shift) + tail + "b" * 2 * slice_units + tail
            whole = joined_utf16(tobble.convert_bytes(filter_name, utf16(text), "utf-16le"))
            assert tobble._tobble._convert_sliced(filter_name, text) == whole
            assert tobble.convert(filter_name, text) == whole
