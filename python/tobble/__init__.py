"""tobble: nine text conversions, exact for every string.

Non-ASCII text becomes \\uXXXX or \\UXXXXXXXX escapes (tobbleJ, tobbleC) and
back (untobbleJ, untobbleC), HTML character references (text2charref,
text2charrefx) and back (charref2text), or percent-encoded UTF-8
(URLencode) and back (URLdecode). Malformed input is never an error for a
filter: what a decoder cannot read it leaves as it is. Nothing is lost: a
lone surrogate stays a lone surrogate through every filter.

    >>> import tobble
    >>> tobble.convert("tobbleJ", "café")
    'caf\\\\u00e9'
    >>> tobble.convert_bytes("URLencode", "a b/é".encode())
    b'a+b%2F%C3%A9'

Three ways in:

- convert(filter, text): a str to a str.
- convert_bytes(filter, data, encoding, errors): bytes in UTF-8, UTF-16LE or
  UTF-16BE to bytes in the same encoding, with invalid input reported
  (UnicodeDecodeError) or replaced.
- Converter(filter, encoding, errors): the same in pieces, in bounded
  memory.

Inputs above a few KiB are converted with the GIL released, so threads
convert in parallel.
"""
from typing import NamedTuple, Tuple

from ._tobble import Converter, convert, convert_bytes, library_version
from ._tobble import _filters

__all__ = ["Converter", "Filter", "FILTERS", "convert", "convert_bytes", "__version__"]

#: The package's version, from the project's VERSION file.
__version__: str = library_version


class Filter(NamedTuple):
    """One filter: its export name (the name every function takes), the key
    character the editor shows, and its English display name."""

    name: str
    key: str
    english_name: str


#: The nine filters, in table order.
FILTERS: Tuple[Filter, ...] = tuple(Filter(*entry) for entry in _filters())

del NamedTuple, Tuple, _filters
