#!/usr/bin/env python3
"""Checks the filters against Python's own codecs, which share none of our
reasoning: random valid texts (fixed seed), converted by both.

Usage: python_check.py PATH_TO_LIBTOBBLE_PYCORE PATH_TO_ENTITIES_JSON
"""
import ctypes
import html
import html.entities
import json
import random
import sys
import urllib.parse

core = ctypes.CDLL(sys.argv[1])
core.tobble_factor.restype = ctypes.c_uint
core.tobble_factor.argtypes = [ctypes.c_char_p]
core.tobble_convert.restype = ctypes.c_size_t
core.tobble_convert.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]


def convert(function, text):
    """The filter's output for text, through the core."""
    units = text.encode('utf-16-le', 'surrogatepass')
    n = len(units) // 2
    name = function.encode()
    factor = core.tobble_factor(name)
    assert factor, function
    source = ctypes.create_string_buffer(units, len(units) + 2)
    out = ctypes.create_string_buffer((n + 1) * factor)
    written = core.tobble_convert(name, source, n, out)
    return out.raw[:written * 2].decode('utf-16-le', 'surrogatepass')


def random_text(rng, alphabet_weights):
    """A random valid text from weighted code point ranges."""
    ranges, weights = zip(*alphabet_weights)
    chars = []
    for _ in range(rng.randrange(0, 60)):
        low, high = rng.choices(ranges, weights)[0]
        c = rng.randint(low, high)
        if 0xD800 <= c <= 0xDFFF:
            c = 0xFFFD
        chars.append(chr(c))
    return ''.join(chars)


failures = 0


def expect(what, text, got, wanted):
    global failures
    if got != wanted:
        failures += 1
        if failures <= 10:
            print(f'{what} on {text!r}: got {got!r}, wanted {wanted!r}')


def check_escapes(rng):
    # json.dumps escapes control characters (DEL too), quotes and backslashes
    # its own way.
    alphabet = [((0x20, 0x7E), 6), ((0x80, 0x7FF), 2), ((0x800, 0xFFFF), 4),
                ((0x10000, 0x10FFFF), 2)]
    for _ in range(3000):
        text = random_text(rng, alphabet).replace('"', "'").replace('\\', '/')
        body = json.dumps(text, ensure_ascii=True)[1:-1]
        expect('tobbleJ', text, convert('tobbleJ', text), body)
        expect('untobbleJ', body, convert('untobbleJ', body), text)


def check_url(rng):
    # Every ASCII character but CR and LF (which URLencode keeps as line
    # breaks), with "%" and "+" made common.
    alphabet = [((0x01, 0x09), 1), ((0x0B, 0x0C), 1), ((0x0E, 0x7F), 8), ((0x25, 0x25), 1),
                ((0x2B, 0x2B), 1), ((0x80, 0x7FF), 2), ((0x800, 0xFFFF), 4),
                ((0x10000, 0x10FFFF), 2)]
    for _ in range(3000):
        text = random_text(rng, alphabet)
        quoted = urllib.parse.quote_plus(text, safe='-._~')
        expect('URLencode', text, convert('URLencode', text), quoted)
        expect('URLdecode', quoted, convert('URLdecode', quoted), text)
        # Python also reads lower-case digits.
        lowered = quoted.lower()
        expect('URLdecode', lowered, convert('URLdecode', lowered),
               urllib.parse.unquote_plus(lowered))


def check_charref_names(entities_path):
    # Python keeps its own copy of the standard's list; both copies must be
    # the same list, and html.unescape must read every name as we do: with
    # ";", and for the legacy names also without it, before a space.
    with open(entities_path, encoding='utf-8') as f:
        ours = {key[1:]: value['characters'] for key, value in json.load(f).items()}
    if ours != html.entities.html5:
        expect('the list', entities_path, sorted(set(ours) ^ set(html.entities.html5)), [])
    for name in html.entities.html5:
        text = '&' + name if name.endswith(';') else '&' + name + ' '
        expect('charref2text', text, convert('charref2text', text), html.unescape(text))


def check_charref_encoding(rng):
    # html.escape writes the apostrophe as "&#x27;"; we copy it.
    alphabet = [((0x01, 0x7F), 6), ((0x22, 0x27), 3), ((0x3C, 0x3E), 2), ((0x80, 0x7FF), 2),
                ((0x800, 0xFFFF), 4), ((0x10000, 0x10FFFF), 2)]
    for _ in range(3000):
        text = random_text(rng, alphabet)
        wanted = html.escape(text).replace('&#x27;', "'")
        wanted = wanted.encode('ascii', 'xmlcharrefreplace').decode('ascii')
        expect('text2charref', text, convert('text2charref', text), wanted)
    # html.unescape reads both numeric forms back, except where it replaces
    # what HTML forbids: C1 controls, noncharacters, most C0 controls.
    alphabet = [((0x20, 0x7E), 6), ((0xA0, 0xFDCF), 4), ((0xFDF0, 0xFFFD), 1),
                ((0x10000, 0x10FFFD), 2)]
    for _ in range(3000):
        text = ''.join(c for c in random_text(rng, alphabet) if ord(c) & 0xFFFE != 0xFFFE)
        for function in ('text2charref', 'text2charrefx'):
            encoded = convert(function, text)
            expect(f'html.unescape of {function}', text, html.unescape(encoded), text)


def main():
    rng = random.Random(20261208)
    check_escapes(rng)
    check_url(rng)
    check_charref_names(sys.argv[2])
    check_charref_encoding(rng)
    if failures:
        print(f'{failures} mismatches')
        return 1
    print('all conversions agree with Python')
    return 0


if __name__ == '__main__':
    sys.exit(main())
