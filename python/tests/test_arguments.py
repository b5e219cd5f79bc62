"""Bad arguments: each raises a clear exception, never a crash."""
import pytest

import tobble

FILTER_LIST = ", ".join(f.name for f in tobble.FILTERS)


def uninitialized_converter():
    return tobble.Converter.__new__(tobble.Converter)


def finished_converter():
    converter = tobble.Converter("tobbleJ")
    converter.finish()
    return converter


# (call, exception, words the message must hold)
CASES = [
    (lambda: tobble.convert(1, "x"), TypeError, "filter must be a str"),
    (lambda: tobble.convert(None, "x"), TypeError, "filter must be a str"),
    (lambda: tobble.convert("tobbleJ", b"x"), TypeError, "text must be a str"),
    (lambda: tobble.convert("tobbleJ", None), TypeError, "text must be a str"),
    (lambda: tobble.convert("tobbleJ"), TypeError, "2 arguments"),
    (lambda: tobble.convert("tobbleJ", "x", "y"), TypeError, "2 arguments"),
    (lambda: tobble.convert("nope", "x"), ValueError, "'nope'"),
    (lambda: tobble.convert("TOBBLEJ", "x"), ValueError, FILTER_LIST),
    (lambda: tobble.convert("tobbleJ\0", "x"), ValueError, FILTER_LIST),
    (lambda: tobble.convert("\ud800", "x"), ValueError, FILTER_LIST),
    (lambda: tobble.convert("", "x"), ValueError, FILTER_LIST),
    (lambda: tobble.convert_bytes("tobbleJ", "x"), TypeError, "not str"),
    (lambda: tobble.convert_bytes("tobbleJ", 5), TypeError, "bytes-like"),
    (lambda: tobble.convert_bytes("tobbleJ", [1, 2]), TypeError, "bytes-like"),
    (lambda: tobble.convert_bytes(b"tobbleJ", b"x"), TypeError, "filter must be a str"),
    (lambda: tobble.convert_bytes("nope", b"x"), ValueError, FILTER_LIST),
    (lambda: tobble.convert_bytes("tobbleJ", b"x", "latin-1"), ValueError, "utf-16be"),
    (lambda: tobble.convert_bytes("tobbleJ", b"x", "utf-32"), ValueError, "'utf-32'"),
    (lambda: tobble.convert_bytes("tobbleJ", b"x", "utf-8\0"), ValueError, "encoding"),
    (lambda: tobble.convert_bytes("tobbleJ", b"x", 8), TypeError, "encoding must be a str"),
    (lambda: tobble.convert_bytes("tobbleJ", b"x", errors="ignore"), ValueError, "'replace'"),
    (lambda: tobble.convert_bytes("tobbleJ", b"x", errors=None), TypeError, "errors must be"),
    (lambda: tobble.convert_bytes("tobbleJ", b"x", colour="red"), TypeError, "colour"),
    (lambda: tobble.Converter("nope"), ValueError, FILTER_LIST),
    (lambda: tobble.Converter(), TypeError, "filter"),
    (lambda: tobble.Converter("tobbleJ", "ebcdic"), ValueError, "utf-8"),
    (lambda: tobble.Converter("tobbleJ", errors="surrogateescape"), ValueError, "'strict'"),
    (lambda: tobble.Converter("tobbleJ").feed("text"), TypeError, "not str"),
    (lambda: tobble.Converter("tobbleJ").feed(None), TypeError, "bytes-like"),
    (lambda: tobble.Converter("tobbleJ").feed(), TypeError, "argument"),
    (lambda: uninitialized_converter().feed(b"x"), ValueError, "not initialized"),
    (lambda: uninitialized_converter().finish(), ValueError, "not initialized"),
    (lambda: finished_converter().feed(b"x"), ValueError, "reset()"),
    (lambda: finished_converter().finish(), ValueError, "reset()"),
]


@pytest.mark.parametrize("call,exception,message", CASES)
def test_bad_argument_raises(call, exception, message):
    with pytest.raises(exception) as caught:
        call()
    assert message in str(caught.value)


def test_encoding_names_are_read_in_every_spelling():
    text = "\u3042"
    for name, codec in [("utf-8", "utf-8"), ("UTF8", "utf-8"), ("utf-16le", "utf-16-le"),
                        ("UTF-16-LE", "utf-16-le"), ("utf16BE", "utf-16-be"),
                        ("utf-16-be", "utf-16-be")]:
        assert tobble.convert_bytes("tobbleJ", text.encode(codec), name) == (
            "\\u3042".encode(codec))
        assert tobble.Converter("tobbleJ", name).encoding == codec


def test_converter_reinitialized_takes_the_new_filter():
    converter = tobble.Converter("tobbleJ")
    assert converter.feed("\u00e9".encode()) + converter.flush() == b"\\u00e9"
    converter.__init__("URLencode", errors="replace")
    assert (converter.filter, converter.errors) == ("URLencode", "replace")
    assert converter.feed(b"\xc3\xa9 \xff") + converter.finish() == b"%C3%A9+%EF%BF%BD"


def test_keywords_and_defaults():
    assert tobble.convert_bytes(filter="tobbleJ", data=b"\xc3\xa9") == b"\\u00e9"
    converter = tobble.Converter(filter="untobbleJ", encoding="utf-16le", errors="replace")
    assert (converter.filter, converter.encoding, converter.errors) == (
        "untobbleJ", "utf-16-le", "replace")
    assert tobble.Converter("tobbleJ").errors == "strict"
