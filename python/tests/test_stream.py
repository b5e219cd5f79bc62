"""Bytes in pieces, invalid input and its replacement: Converter against
convert_bytes, convert_bytes against Python's own decoder and the tool."""
import pytest

import tobble
from conftest import FILTER_NAMES, random_text, utf16, utf8_like_tool

ENCODINGS = {"utf-8": "utf-8", "utf-16le": "utf-16-le", "utf-16be": "utf-16-be"}


def encode(text, encoding):
    if encoding == "utf-8":
        return text.encode("utf-8")
    return utf16(text, ENCODINGS[encoding])


def random_pieces(rng, data):
    """`data` cut at random places: empty pieces, single bytes, pieces
    that end inside a sequence or an escape, and long ones."""
    pieces, at = [], 0
    while at < len(data):
        size = rng.choice([0, 1, 2, 3, 5, 17, 64, 1000, 40_000, 300_000])
        pieces.append(data[at : at + size])
        at += size
    return pieces


def feed_all(converter, pieces):
    return b"".join(converter.feed(p) for p in pieces) + converter.finish()


@pytest.mark.parametrize("filter_name", FILTER_NAMES)
@pytest.mark.parametrize("encoding", list(ENCODINGS))
def test_pieces_give_the_whole_result(filter_name, encoding, rng):
    for length in [0, 1, 300, 20_000, 400_000]:
        text = random_text(rng, length, surrogates=encoding != "utf-8")
        data = encode(text, encoding)
        whole = tobble.convert_bytes(filter_name, data, encoding)
        converter = tobble.Converter(filter_name, encoding)
        pieces = random_pieces(rng, data)
        assert feed_all(converter, pieces) == whole
        assert converter.bytes_in == len(data)
        assert converter.bytes_out == len(whole)
        # Reset starts over; bytearray and memoryview pieces are taken too,
        # and flush() between pieces changes nothing of the result.
        converter.reset()
        assert converter.bytes_in == 0
        pieces = [bytearray(p) if i % 2 else memoryview(p) for i, p in enumerate(pieces)]
        flushed = b"".join(converter.feed(p) + converter.flush() for p in pieces)
        assert flushed + converter.finish() == whole


@pytest.mark.parametrize("filter_name", FILTER_NAMES)
def test_pieces_in_replace_mode_give_the_whole_result(filter_name, rng):
    for _ in range(5):
        data = bytearray(random_text(rng, 30_000, surrogates=False).encode("utf-8"))
        for _ in range(20):
            data[rng.randrange(len(data))] = rng.choice([0x80, 0xC0, 0xE3, 0xED, 0xF4, 0xFF])
        data = bytes(data) + rng.choice([b"", b"\xe3\x81", b"\xf0"])
        whole = tobble.convert_bytes(filter_name, data, errors="replace")
        converter = tobble.Converter(filter_name, errors="replace")
        assert feed_all(converter, random_pieces(rng, data)) == whole


# Ill-formed UTF-8 sequences, each with the bytes that follow it.
INVALID_UTF8 = [
    b"\x80",  # a continuation byte alone
    b"\xff",  # never in UTF-8
    b"\xc0\x80",  # overlong
    b"\xe0\x80\x80",  # overlong
    b"\xed\xa0\x80",  # a surrogate
    b"\xf4\x90\x80\x80",  # above U+10FFFF
    b"\xe3\x81a",  # cut short by ASCII
    b"\xf0\x9f\x98",  # cut short by the end (when last)
]

# Offsets around the edges of the library's blocks and slices.
OFFSETS = [0, 1, 2, 3, 15, 16, 31, 32, 63, 64, 4095, 4096, 32767, 32768, 65535, 65536,
           262143, 262144, 262145, 1 << 20]


def valid_prefix(rng, size):
    """Exactly `size` bytes of valid UTF-8, multibyte characters included:
    a random block repeated, cut after its last whole character."""
    block = random_text(rng, min(size, 20_000), surrogates=False).encode("utf-8")
    text = (block * (size // max(len(block), 1) + 1))[:size]
    text = text.decode("utf-8", "ignore").encode("utf-8")
    return text + b"a" * (size - len(text))


@pytest.mark.parametrize("filter_name", FILTER_NAMES)
def test_invalid_utf8_reports_its_offset(filter_name, rng):
    for offset in OFFSETS:
        bad = INVALID_UTF8[offset % len(INVALID_UTF8)]
        data = valid_prefix(rng, offset) + bad + b"tail \xc3\xa9"
        if bad.endswith(b"\x98"):
            data = valid_prefix(rng, offset) + bad  # cut short by the end
        with pytest.raises(UnicodeDecodeError) as caught:
            tobble.convert_bytes(filter_name, data)
        assert caught.value.start == offset, bad
        with pytest.raises(UnicodeDecodeError) as python:
            data.decode("utf-8")
        assert python.value.start == offset
        assert caught.value.encoding == "utf-8"
        assert str(offset) in caught.value.reason

        # Fed in pieces, the offset still counts from the start of the input,
        # and the output before the error comes with the error.
        converter = tobble.Converter(filter_name)
        returned = []
        with pytest.raises(UnicodeDecodeError) as caught:
            for piece in random_pieces(rng, data):
                returned.append(converter.feed(piece))
            returned.append(converter.finish())
        assert caught.value.offset == offset
        returned.append(caught.value.output)
        assert b"".join(returned) == tobble.convert_bytes(filter_name, data[:offset])
        assert converter.bytes_out == len(b"".join(returned))
        # A converter stopped by an error takes nothing more until reset().
        with pytest.raises(ValueError, match=r"reset\(\)"):
            converter.feed(b"a")
        converter.reset()
        assert converter.feed(b"abc") + converter.finish() == tobble.convert_bytes(
            filter_name, b"abc"
        )


@pytest.mark.parametrize("bad", INVALID_UTF8)
@pytest.mark.parametrize("end", [b"xyz", b""])
def test_decode_errors_locate_the_sequence_as_python_does(bad, end, rng):
    """start and end are in the error's object, as Python's codecs give
    them, and cover the invalid sequence; offset is in the whole input."""
    data = valid_prefix(rng, 70_000) + bad + end
    with pytest.raises(UnicodeDecodeError) as python:
        data.decode("utf-8")
    python = python.value
    with pytest.raises(UnicodeDecodeError) as caught:
        tobble.convert_bytes("tobbleJ", data)
    error = caught.value
    assert (error.object, error.start, error.end, error.offset) == (
        data, python.start, python.end, python.start)
    assert error.output == tobble.convert_bytes("tobbleJ", data[: python.start])
    for size in [1, 2, 3, 4096, 70_001, len(data)]:
        converter = tobble.Converter("tobbleJ")
        with pytest.raises(UnicodeDecodeError) as caught:
            feed_all(converter, [data[i : i + size] for i in range(0, len(data), size)])
        error = caught.value
        assert error.offset == python.start
        assert error.object[error.start : error.end] == data[python.start : python.end]
        # The object is the stretch of the input it was found in.
        at = error.offset - error.start
        assert data[at : at + len(error.object)] == error.object


# Buffers of other layouts, read in their logical order as bytes() reads them.
VIEWS = [
    lambda data: memoryview(data)[::2],
    lambda data: memoryview(data)[::-1],
    lambda data: memoryview(data).cast("H")[1::3],
]


@pytest.mark.parametrize("view", VIEWS)
def test_any_buffer_is_taken(view, rng):
    data = random_text(rng, 20_000, surrogates=False).encode("utf-8")
    data = view(data[: len(data) // 2 * 2])
    expected = tobble.convert_bytes("tobbleJ", bytes(data), errors="replace")
    assert tobble.convert_bytes("tobbleJ", data, errors="replace") == expected
    converter = tobble.Converter("tobbleJ", errors="replace")
    assert converter.feed(data) + converter.finish() == expected


def test_invalid_offsets_agree_with_tool(tool, rng):
    for offset in [0, 5, 4096, 65535, 262144]:
        for bad in INVALID_UTF8[:6]:
            data = valid_prefix(rng, offset) + bad + b"xyz"
            with pytest.raises(UnicodeDecodeError) as caught:
                tobble.convert_bytes("URLencode", data)
            assert caught.value.start == tool.error_offset("URLencode", data) == offset


@pytest.mark.parametrize("encoding", ["utf-16le", "utf-16be"])
def test_odd_utf16_reports_the_last_byte(encoding, tool, rng):
    for size in [1, 3, 65537, 262145]:
        data = valid_prefix(rng, size)
        with pytest.raises(UnicodeDecodeError) as caught:
            tobble.convert_bytes("tobbleJ", data, encoding)
        assert caught.value.start == size - 1
        assert caught.value.end == size
        converter = tobble.Converter("tobbleJ", encoding)
        converter.feed(data)
        with pytest.raises(UnicodeDecodeError) as caught:
            converter.finish()
        error = caught.value
        assert (error.object[error.start : error.end], error.offset) == (data[-1:], size - 1)
        if encoding == "utf-16le":
            assert tool.error_offset("tobbleJ", data, encoding) == size - 1
        replaced = tobble.convert_bytes("tobbleJ", data, encoding, "replace")
        assert replaced == tobble.convert_bytes("tobbleJ", data[:-1], encoding) + encode(
            "\\ufffd", encoding
        )


@pytest.mark.parametrize("filter_name", FILTER_NAMES)
def test_replace_matches_python_replace_decoding(filter_name, tool, rng):
    for offset in OFFSETS[:14]:
        data = valid_prefix(rng, offset) + b"".join(rng.sample(INVALID_UTF8, 4)) + b"end"
        expected = utf8_like_tool(tobble.convert(filter_name, data.decode("utf-8", "replace")))
        converter = tobble.Converter(filter_name, errors="replace")
        assert feed_all(converter, [data]) == expected
        assert converter.replaced_input == data.decode("utf-8", "replace").count("\ufffd") - (
            data.decode("utf-8", "ignore").count("\ufffd")
        )
        assert tobble.convert_bytes(filter_name, data, errors="replace") == expected
        if tool.supports("--replace"):
            done = tool.run(["--replace", filter_name], data)
            assert done.stdout == expected


def test_lone_surrogate_results_in_utf8_become_replacement_characters():
    converter = tobble.Converter("untobbleJ")
    result = converter.feed(b"a\\ud800b\\udc00\\ud83d\\ude00") + converter.finish()
    assert result == "a\ufffdb\ufffd\U0001f600".encode("utf-8")
    assert converter.replaced_surrogates == 2
    # UTF-16 output carries them exactly.
    data = utf16("a\\ud800b")
    assert tobble.convert_bytes("untobbleJ", data, "utf-16le") == utf16("a\ud800b")


def test_convert_bytes_calls_do_not_leak_into_each_other():
    """convert_bytes keeps a stream for each thread from call to call: an
    error, a cut-short escape or other options before a call change
    nothing of its result."""
    calls = [
        ("untobbleJ", b"abc\\u30", "utf-8", "strict"),
        ("untobbleJ", b"42", "utf-8", "strict"),
        ("tobbleJ", b"\xe3\x81\x82\xff", "utf-8", "strict"),
        ("tobbleJ", b"\xe3\x81\x82", "utf-8", "strict"),
        ("tobbleJ", b"\xe3\x81", "utf-8", "replace"),
        ("tobbleJ", b"\xe3\x81\x82", "utf-8", "strict"),
        ("charref2text", utf16("&eac"), "utf-16le", "strict"),
        ("charref2text", utf16("ute;"), "utf-16le", "strict"),
        ("charref2text", b"ute;", "utf-8", "strict"),
    ]
    for filter_name, data, encoding, errors in calls * 2:
        converter = tobble.Converter(filter_name, encoding, errors)
        try:
            expected = converter.feed(data) + converter.finish()
        except UnicodeDecodeError as error:
            expected = error.start
        try:
            result = tobble.convert_bytes(filter_name, data, encoding, errors)
        except UnicodeDecodeError as error:
            result = error.start
        assert result == expected, (filter_name, data)
    assert tobble.convert_bytes("untobbleJ", b"\\u0041") == b"A"
