#!/usr/bin/env python3
"""Checks the library (libtobble.so, through its C interface, bound in
tobble_ctypes.py) against Python's own codecs, which share none of our
reasoning: random valid texts (fixed seed), converted by both; and random
broken UTF-8 through a stream, in replace mode against
bytes.decode('utf-8', 'replace') and in strict mode against the offset
Python reports.

Usage: python_check.py PATH_TO_LIBTOBBLE_SO PATH_TO_ENTITIES_JSON
"""
import codecs
import html
import html.entities
import json
import random
import sys
import urllib.parse

import tobble_ctypes

library = tobble_ctypes.Library(sys.argv[1])
convert = library.convert
stream = library.stream
TOBBLE_OK, TOBBLE_ERROR_INVALID_INPUT = tobble_ctypes.OK, tobble_ctypes.ERROR_INVALID_INPUT
TOBBLE_REPLACE = tobble_ctypes.REPLACE


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


replacements = [0]


def _count_replacement(error):
    replacements[0] += 1
    return '\ufffd', error.end


codecs.register_error('count-replacement', _count_replacement)


def check_replace_mode(rng):
    # untobbleJ leaves a text without backslashes as it is, so the stream's
    # output is its decoding alone. Broken pieces of every kind: stray
    # continuation bytes, bytes that start nothing, sequences cut short,
    # overlong forms, surrogates, values above U+10FFFF.
    parts = [b'a', b'0123456789abcdef', 'é'.encode(), 'あ'.encode(), '😀'.encode(), b'\x80',
             b'\xbf', b'\xc0', b'\xc1\xbf', b'\xc2', b'\xe0\x80', b'\xe0\xa0', b'\xe3\x81',
             b'\xed\xa0\x80', b'\xed\x9f', b'\xf0\x8f', b'\xf0\x9f\x98', b'\xf4\x90\x80',
             b'\xf4\x8f\xbf', b'\xf5', b'\xf8\x88\x80\x80\x80', b'\xff', b'\xfe']
    for _ in range(3000):
        data = b''.join(rng.choice(parts) for _ in range(rng.randrange(0, 16)))
        piece = rng.choice([1, 2, 3, 5, 1 << 20])
        replacements[0] = 0
        wanted = data.decode('utf-8', 'replace')
        assert data.decode('utf-8', 'count-replacement') == wanted
        status, out, _, replaced = stream('untobbleJ', data, TOBBLE_REPLACE, piece)
        expect('replace mode', data, (status, out, replaced),
               (TOBBLE_OK, wanted.encode('utf-8'), replacements[0]))
        try:
            data.decode('utf-8')
            start = None
        except UnicodeDecodeError as error:
            start = error.start
        status, out, offset, _ = stream('untobbleJ', data, 0, piece)
        if start is None:
            expect('strict mode', data, (status, out), (TOBBLE_OK, data))
        else:
            expect('strict mode', data, (status, out, offset),
                   (TOBBLE_ERROR_INVALID_INPUT, data[:start], start))


def main():
    rng = random.Random(20261208)
    check_escapes(rng)
    check_url(rng)
    check_charref_names(sys.argv[2])
    check_charref_encoding(rng)
    check_replace_mode(random.Random(20261209))
    if failures:
        print(f'{failures} mismatches')
        return 1
    print('all conversions, replacements and invalid offsets agree with Python')
    return 0


if __name__ == '__main__':
    sys.exit(main())
