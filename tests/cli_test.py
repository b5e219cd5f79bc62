#!/usr/bin/env python3
"""The tobble tool as a user meets it: the built program run on files and
pipes, its output compared with the library's whole-text conversion (libtobble.so
loaded with ctypes), its messages and exit statuses with what the tool
promises.

Usage: cli_test.py --tool TOBBLE --library LIBTOBBLE_SO --version-file VERSION
                   [--large] [unittest options]
--large adds the runs in bounded memory, 100 MiB and a single line of 1 GiB,
and the runs short of memory (for an optimized build without sanitizers).
"""
import argparse
import codecs
import errno
import os
import random
import re
import resource
import select
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import tobble_ctypes

parser = argparse.ArgumentParser()
parser.add_argument('--tool', required=True)
parser.add_argument('--library', required=True)
parser.add_argument('--version-file', required=True)
parser.add_argument('--large', action='store_true')
ARGS, UNITTEST_ARGS = parser.parse_known_args()
ARGS.tool = os.path.abspath(ARGS.tool)

library = tobble_ctypes.Library(os.path.abspath(ARGS.library))
convert_units = library.convert_units

# The nine filters in table order: export name, key, English name.
def read_filter_list():
    """The filters of filters/filter_list.h, the one list the tool's --list is
    made from: (export name, key, English name) in table order."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'filters',
                        'filter_list.h')
    with open(path, encoding='utf-8') as f:
        rows = re.findall(r'^TOBBLE_FILTER\((\w+), [^,]+, "([^"]*)", \'(.)\',', f.read(), re.M)
    return [(function, key, name_en) for function, name_en, key in rows]


KNOWN_FILTERS = read_filter_list()
assert len(KNOWN_FILTERS) >= 9, KNOWN_FILTERS

# Every kind of token the filters read or write: escapes (of pairs and of
# lone surrogates too), references, percent-encoded sequences, multi-byte
# UTF-8 and line ends of both kinds.
SAMPLE = ('café 😀 \\u3042\\U0001F600 \\ud83d\\ude00 \\ud800 x\\udc00 &amp;&#x41;&#65;&notin &notin;'
          ' %E3%81%82 a+b%2F%zz <p class="x">\'</p>\r\nあいう\t\\\\u0041 \\U0010FFFF\n')


def utf16_units(text):
    return text.encode('utf-16-le', 'surrogatepass')


lone_count = [0]


def _replace_lone_surrogates(error):
    lone_count[0] += error.end - error.start
    return '\ufffd'.encode() * (error.end - error.start), error.end


codecs.register_error('tobble-fffd', _replace_lone_surrogates)


def expected_utf8(function, data):
    """What the tool writes for UTF-8 input data: the whole-text conversion
    in UTF-8, each lone surrogate as U+FFFD; and the number of those."""
    text = data.decode('utf-8')
    out = convert_units(function, utf16_units(text))
    try:
        return out.decode('utf-16-le').encode('utf-8'), 0
    except UnicodeDecodeError:  # lone surrogates: the slow way
        lone_count[0] = 0
        encoded = out.decode('utf-16-le', 'surrogatepass').encode('utf-8', 'tobble-fffd')
        return encoded, lone_count[0]


def warning_line(count):
    plural = '' if count == 1 else 's'
    return f'tobble: warning: {count} lone surrogate{plural} written as U+FFFD (UTF-8 cannot hold them)'


def run(args, stdin=None, data=None, cwd=None, env=None, preexec_fn=None):
    """Runs the tool; returns (exit status, stdout bytes, stderr lines)."""
    result = subprocess.run([ARGS.tool] + args, input=data, stdin=stdin, capture_output=True,
                            timeout=300, cwd=cwd, env=env, preexec_fn=preexec_fn)
    return result.returncode, result.stdout, result.stderr.decode('utf-8').splitlines()


def listed_filters():
    status, out, err = run(['--list'])
    assert status == 0 and not err, (status, err)
    return [tuple(line.split()) for line in out.decode().splitlines()]


FILTERS = [f[0] for f in KNOWN_FILTERS]


def invalid_start(data):
    """The offset of the first invalid UTF-8 sequence in data, or None."""
    try:
        data.decode('utf-8')
        return None
    except UnicodeDecodeError as error:
        return error.start


def expected_prefix(function, data):
    """What standard output gets for data: the conversion of everything
    before its first invalid sequence."""
    start = invalid_start(data)
    return expected_utf8(function, data if start is None else data[:start])


replaced_count = [0]


def _count_replacement(error):
    replaced_count[0] += 1
    return '\ufffd', error.end


codecs.register_error('tobble-count', _count_replacement)


def replaced_utf8(data):
    """data decoded as Python's errors='replace' does, re-encoded; and the
    number of U+FFFD put in."""
    replaced_count[0] = 0
    text = data.decode('utf-8', 'tobble-count')
    assert text == data.decode('utf-8', 'replace')
    return text.encode('utf-8', 'surrogatepass'), replaced_count[0]


def swap16(data):
    """UTF-16LE bytes as UTF-16BE, and back."""
    swapped = bytearray(data)
    swapped[0::2], swapped[1::2] = data[1::2], data[0::2]
    return bytes(swapped)


def invalid_line(name, offset):
    return f'tobble: {name}: invalid UTF-8 at byte {offset}'


def replaced_line(count):
    plural = '' if count == 1 else 's'
    return f'tobble: warning: {count} invalid input sequence{plural} written as U+FFFD'


class ToolTestCase(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name, data=None):
        path = os.path.join(self.dir.name, name)
        if data is not None:
            with open(path, 'wb') as f:
                f.write(data)
        return path

    def read(self, path):
        with open(path, 'rb') as f:
            return f.read()

    def assert_converts(self, args, data, expected, lone, stdin=None, what=''):
        status, out, err = run(args, stdin=stdin, data=data)
        self.assertEqual((status, err), (0, [warning_line(lone)] if lone else []), what)
        self.assertEqual(out, expected, what)

    def assert_no_temporary(self, folder=None):
        left = [n for n in os.listdir(folder or self.dir.name) if '.tobble-' in n]
        self.assertEqual(left, [])


class CommandLineTest(ToolTestCase):
    """Options, --list, --help, --version, usage errors and the manual page."""

    def test_list_gives_the_whole_table_in_order(self):
        # Every filter, none missing, none added, in table order.
        self.assertEqual(listed_filters(), KNOWN_FILTERS)
        for function in FILTERS:
            self.assertEqual(run([function], data=b'x')[0], 0, function)

    def test_help_shows_usage_and_a_true_example_for_each_filter(self):
        for option in ['--help', '-h']:
            status, out, err = run([option, 'ignored'])
            self.assertEqual((status, err), (0, []))
            text = out.decode('utf-8')
            self.assertTrue(text.startswith(
                'Usage: tobble [-e ENCODING] [--replace] [-o FILE | -i] FILTER [FILE...]\n'))
            for option_name in ['-e, --encoding', '-o, --output', '-i, --in-place', '--replace',
                                '--list', '-h, --help', '--version', '\n  --  ', 'utf-16be']:
                self.assertIn(option_name, text)
            examples = {}
            for line in text.splitlines():
                if line.startswith('  ') and '  ->  ' in line:
                    name, rest = line.split(None, 1)
                    examples[name] = rest.split('  ->  ')
            self.assertEqual(sorted(examples), sorted(FILTERS))
            for name, (example, shown) in examples.items():
                expected, _ = expected_utf8(name, example.encode())
                self.assertEqual(shown.encode(), expected, name)
                self.assertNotEqual(shown, example, f'{name}: the example shows no change')

    def test_version_is_the_version_file_also_in_the_manual_page(self):
        with open(ARGS.version_file) as f:
            version = f.read().strip()
        self.assertRegex(version, r'^\d+\.\d+\.\d+$')
        self.assertEqual(run(['--version']), (0, f'tobble {version}\n'.encode(), []))
        manual = os.path.join(os.path.dirname(os.path.abspath(ARGS.version_file)), 'cli',
                              'tobble.1')
        with open(manual) as f:
            first = f.readline()
        self.assertRegex(first, r'^\.TH TOBBLE 1 "\d{4}-\d{2}-\d{2}" "tobble ' +
                         re.escape(version) + r'" "User Commands"$')
        with open(manual) as f:
            text = f.read()
        for section in ['NAME', 'SYNOPSIS', 'DESCRIPTION', 'OPTIONS', 'EXIT STATUS', 'EXAMPLES',
                        'SEE ALSO']:
            self.assertIn(f'\n.SH {section}\n', text)
        for function in FILTERS:
            self.assertIn(f'\n.B {function}\n', text)
        self.assertIn('iconv \\-f SHIFT_JIS \\-t UTF\\-8 in.txt | tobble tobbleJ', text)
        self.assertIn('tail \\-f', text)
        self.assertIn('.BR iconv (1)', text)

    def test_usage_errors(self):
        function = FILTERS[0]
        cases = [
            ([], 'no filter given'),
            (['-e', 'utf-8'], 'no filter given'),
            (['nosuchfilter'], "unknown filter 'nosuchfilter'"),
            (['-'], "unknown filter '-'"),
            (['no filter'], "unknown filter 'no filter'"),
            (['a\nb'], "unknown filter 'a'$'\\n''b'"),
            (['--nosuchoption', function], "unknown option '--nosuchoption'"),
            ([function, '-x'], "unknown option '-x'"),
            ([function, '--in-placex', 'f'], "unknown option '--in-placex'"),
            ([function, '-e'], "option '-e' needs an encoding"),
            ([function, '--encoding'], "option '--encoding' needs an encoding"),
            ([function, '-o'], "option '-o' needs a file name"),
            ([function, '--output'], "option '--output' needs a file name"),
            ([function, '--output='], "option '-o' needs a file name"),
            (['-e', 'latin1', function], "unknown encoding 'latin1' (utf-8, utf-16le or utf-16be)"),
            (['--encoding=utf-16', function],
             "unknown encoding 'utf-16' (utf-8, utf-16le or utf-16be)"),
            (['-e', 'utf_8', function], "unknown encoding 'utf_8' (utf-8, utf-16le or utf-16be)"),
            (['-e', '', function], "unknown encoding '' (utf-8, utf-16le or utf-16be)"),
            (['-i', function], "option '-i' needs a FILE"),
            (['--in-place', function, 'a.txt', '-'],
             "option '-i' cannot convert standard input ('-')"),
            (['-i', '-o', 'out.txt', function, 'a.txt'], "options '-i' and '-o' exclude each other"),
            ([function, 'a.txt', '--output', 'out.txt', '--in-place'],
             "options '-i' and '-o' exclude each other"),
        ]
        self.path('a.txt', b'unchanged')
        for args, problem in cases:
            self.assertEqual(run(args, data=b'', cwd=self.dir.name),
                             (2, b'', [f"tobble: {problem}; see 'tobble --help'"]), args)
        self.assertEqual(self.read(self.path('a.txt')), b'unchanged')
        self.assertEqual(sorted(os.listdir(self.dir.name)), ['a.txt'])

    def test_a_filter_in_the_wrong_case_is_named(self):
        for function in FILTERS:
            for wrong in [function.upper(), function.lower(), function.swapcase()]:
                if wrong == function:
                    continue
                self.assertEqual(
                    run([wrong], data=b''),
                    (2, b'', [f"tobble: unknown filter '{wrong}'; did you mean '{function}'?"]))

    def test_encoding_names_in_any_spelling(self):
        units = utf16_units('\ufeffé\ud800x')
        for names, data in [(['utf-8', 'UTF-8', 'utf8', 'Utf8'], 'é'.encode()),
                            (['utf-16le', 'UTF-16LE', 'utf16le', 'UTF16le'], units),
                            (['utf-16be', 'UTF-16BE', 'utf16be', 'uTf16Be'], swap16(units))]:
            expected = run(['-e', names[0], 'tobbleJ'], data=data)
            self.assertEqual(expected[0], 0)
            for name in names:
                for option in [['-e', name], [f'-e{name}'], ['--encoding', name],
                               [f'--encoding={name}']]:
                    self.assertEqual(run(option + ['tobbleJ'], data=data), expected, option)
        self.assertEqual(run(['-e', 'utf-16be', 'tobbleJ'], data=swap16(units))[1],
                         swap16(convert_units('tobbleJ', units)))


class ConversionTest(ToolTestCase):
    """Each filter on files and pipes, in every encoding, against the core's
    whole-text conversion."""

    def test_each_filter_on_a_file_and_on_a_pipe(self):
        small = SAMPLE.encode()
        # Larger than one read block.
        large = ''.join('.' * k + SAMPLE for k in range(3000)).encode()
        for data in [small, large, b'']:
            file = self.path('input.txt', data)
            for function in FILTERS:
                expected, lone = expected_utf8(function, data)
                what = f'{function}, {len(data)} bytes'
                self.assert_converts([function, file], None, expected, lone, what=what + ', file')
                self.assert_converts([function], data, expected, lone, what=what + ', pipe')
                self.assert_converts([function, '-'], data, expected, lone, what=what + ', -')
                with open(file, 'rb') as f:
                    self.assert_converts([function], None, expected, lone, stdin=f,
                                         what=what + ', stdin from the file')

    def test_standard_input_from_a_file_starts_where_it_stands(self):
        data = b'skipped' + ''.join(str(k) + SAMPLE for k in range(5000)).encode()
        file = self.path('input.txt', data)
        function = FILTERS[0]
        expected, lone = expected_utf8(function, data[7:])
        with open(file, 'rb') as f:
            f.seek(7)
            self.assert_converts([function], None, expected, lone, stdin=f)

    def test_lone_surrogates_become_u_fffd_with_one_warning(self):
        seen = 0
        for function in FILTERS:
            data = SAMPLE.encode()
            expected, lone = expected_utf8(function, data)
            if not lone:
                continue
            seen += 1
            self.assertIn('\ufffd'.encode(), expected)
            # One warning for all inputs, with their sum.
            file = self.path('sample.txt', data)
            self.assert_converts([function, file, file, '-'], data, expected * 3, lone * 3)
            one = data[:data.index(b'\\ud800') + 6]
            expected_one, lone_one = expected_utf8(function, one)
            if lone_one == 1:
                self.assert_converts([function], one, expected_one, 1)
        self.assertGreater(seen, 0, 'no filter gave a lone surrogate for the sample')

    def test_utf16_in_and_out_exactly(self):
        # Lone surrogates in and out, and a byte-order mark kept as it is.
        units = utf16_units('\ufeff' + SAMPLE + '\ud800x\udc00\udbff') * 200
        for function in FILTERS:
            expected = convert_units(function, units)
            for encoding, data, out in [('utf-16le', units, expected),
                                        ('utf-16be', swap16(units), swap16(expected))]:
                file = self.path('utf16.txt', data)
                self.assert_converts(['-e', encoding, function, file], None, out, 0,
                                     what=f'{function} {encoding}')
                self.assert_converts(['-e', encoding, function], data, out, 0,
                                     what=f'{function} {encoding}, pipe')

    def test_an_odd_utf16_byte_count_is_reported_in_that_encoding(self):
        units = utf16_units(SAMPLE) * 3
        function = FILTERS[0]
        for encoding, data, name in [('utf-16le', units, 'UTF-16LE'),
                                     ('utf-16be', swap16(units), 'UTF-16BE')]:
            odd = data[:-1]
            good = data[:-2]
            expected = convert_units(function, units[:-2])
            if encoding == 'utf-16be':
                expected = swap16(expected)
            self.assertEqual(
                run(['-e', encoding, function], data=odd),
                (1, expected, [f'tobble: standard input: invalid {name} at byte {len(odd) - 1}: '
                               'odd number of bytes']))
            # --replace: U+FFFD for the odd byte, once.
            with_fffd = utf16_units(SAMPLE * 3)[:-2] + utf16_units('\ufffd')
            expected = convert_units(function, with_fffd)
            if encoding == 'utf-16be':
                expected = swap16(expected)
            self.assertEqual(run(['--replace', '-e', encoding, function], data=odd),
                             (0, expected, [replaced_line(1)]))
            self.assertEqual(run(['-e', encoding, function], data=good)[0], 0)


class InvalidInputTest(ToolTestCase):
    """Standard output gets the conversion of everything before the first
    invalid sequence, then the message; the next inputs still follow."""

    CASES = [b'\x80', b'ab\xc0\x80', b'a\xe0\x80\x80', b'\xed\xa0\x80', b'\xf4\x90\x80\x80',
             b'\xff', b'abc\xe3\x81', b'\xe3\x81a', 'é'.encode() + b'\xe3\x81\xe3\x81\x82',
             b'\xf0\x9f\x98', b'0123456789abcdef\xc3', SAMPLE.encode() * 3000 + b'\xe3\x81']
    PARTS = [b'a', b'\\u3042', b'&amp;', b'%C3%A9', 'é'.encode(), 'あ'.encode(), '😀'.encode(),
             b'\x80', b'\xc2', b'\xe3\x81', b'\xf0\x9f\x98', b'\xed\xa0\x80', b'\xc0\xaf', b'\xf5',
             b'0123456789', b'\\ud800']

    def random_cases(self, seed, count):
        rng = random.Random(seed)
        return [b''.join(rng.choice(self.PARTS) for _ in range(rng.randrange(1, 12)))
                for _ in range(count)]

    def test_each_input_reported_at_its_first_invalid_byte(self):
        cases = self.CASES + self.random_cases(20261208, 300)
        for function in ['tobbleJ', 'untobbleC', 'URLdecode']:
            files = [self.path(f'case{i}.txt', data) for i, data in enumerate(cases)]
            # All at once: each input converted up to its first invalid byte.
            status, out, err = run([function] + files)
            self.assertEqual(status, 1)
            expected_out, expected_err, lone = b'', [], 0
            for file, data in zip(files, cases):
                converted, replaced = expected_prefix(function, data)
                expected_out += converted
                lone += replaced
                if invalid_start(data) is not None:
                    expected_err.append(invalid_line(file, invalid_start(data)))
            self.assertGreater(len(expected_err), 100)
            self.assertEqual(err, expected_err + ([warning_line(lone)] if lone else []))
            self.assertEqual(out, expected_out, function)
        # One by one through a pipe.
        for data in cases[:40]:
            start = invalid_start(data)
            expected, lone = expected_prefix(function, data)
            message = [] if start is None else [invalid_line('standard input', start)]
            self.assertEqual(run([function], data=data),
                             (0 if start is None else 1, expected,
                              message + ([warning_line(lone)] if lone else [])), data)

    def test_invalid_input_at_block_boundaries(self):
        # Read blocks, pipe buffers and conversion slices end at multiples of
        # 4 KiB; each kind of invalid sequence is put across each.
        filler = ('ab\\u00e9 &amp; é%41 あ' * 40000).encode()
        bad_kinds = [b'\xff', b'\xe3\x81', b'\xf0\x9f\x98', b'\xed\xa0\x80', b'\xc0\x80']
        for function in ['tobbleJ', 'untobbleJ', 'charref2text', 'URLdecode']:
            for boundary in [1 << 12, 1 << 15, 1 << 16, 1 << 17, 1 << 18, 1 << 19]:
                for shift, bad in zip([-3, -2, -1, 0, 1], bad_kinds):
                    position = boundary + shift
                    data = filler[:position] + bad + b'x' + filler[:1000]
                    start = invalid_start(data)
                    self.assertLessEqual(start, position)
                    expected, _ = expected_utf8(function, data[:start])
                    file = self.path('bad.txt', data)
                    for via in ['file', 'pipe']:
                        status, out, err = (run([function, file]) if via == 'file'
                                            else run([function], data=data))
                        name = file if via == 'file' else 'standard input'
                        what = f'{function}, {bad} at {position}, {via}'
                        self.assertEqual((status, err), (1, [invalid_line(name, start)]), what)
                        self.assertTrue(out == expected, what)

    def test_files_after_an_unreadable_one_are_still_converted(self):
        function = FILTERS[0]
        first = self.path('first.txt', SAMPLE.encode())
        last = self.path('last.txt', 'last é\n'.encode())
        missing = self.path('missing.txt')
        directory = self.path('folder')
        os.mkdir(directory)
        status, out, err = run([function, first, missing, directory, last])
        self.assertEqual(status, 1)
        self.assertEqual(out, expected_utf8(function, SAMPLE.encode())[0] +
                         expected_utf8(function, 'last é\n'.encode())[0])
        self.assertEqual(err[-2:], [f'tobble: {missing}: {os.strerror(errno.ENOENT)}',
                                    f'tobble: {directory}: {os.strerror(errno.EISDIR)}'])

    def test_replace_agrees_with_python(self):
        cases = self.CASES + self.random_cases(20261209, 400)
        # Long ones, with broken sequences across read blocks.
        rng = random.Random(7)
        for _ in range(3):
            pieces = [rng.choice(self.PARTS) for _ in range(120000)]
            cases.append(b''.join(pieces))
        for function in ['tobbleJ', 'untobbleJ', 'URLencode']:
            total_out, total_count, total_lone = b'', 0, 0
            files = []
            for i, data in enumerate(cases):
                replaced, count = replaced_utf8(data)
                converted, lone = expected_utf8(function, replaced)
                total_out += converted
                total_count += count
                total_lone += lone
                files.append(self.path(f'case{i}.txt', data))
                if i < 60 or len(data) > 100000:
                    status, out, err = run(['--replace', function], data=data)
                    self.assertEqual(status, 0)
                    self.assertTrue(out == converted, (function, data[:100]))
                    self.assertEqual(err, ([replaced_line(count)] if count else []) +
                                     ([warning_line(lone)] if lone else []))
            status, out, err = run(['--replace', function] + files)
            self.assertEqual(status, 0)
            self.assertTrue(out == total_out, function)
            self.assertGreater(total_count, 500)
            self.assertEqual(err, [replaced_line(total_count)] +
                             ([warning_line(total_lone)] if total_lone else []))


class StreamingTest(ToolTestCase):
    """One pass: output as input arrives, nothing spooled."""

    def read_until(self, stream, expected, seconds=60):
        """Reads from stream until `expected` bytes came, or the wait ends."""
        got = b''
        deadline = time.monotonic() + seconds
        while len(got) < len(expected):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([stream], [], [], left)[0]:
                break
            piece = os.read(stream.fileno(), 65536)
            if not piece:
                break
            got += piece
        return got

    def test_each_line_appears_before_the_next_is_sent(self):
        # Then lines whose end no later input can change, though the end of
        # the line might look unfinished: an "&" before a space, a name run
        # up to the line end, escape fields cut by it.
        lines = [f'line {k}: é &amp; %41 \\u00e9 <x> 😀\n'.encode() for k in range(3)] + [
            b'Tom & Jerry\n', b'x &#x4 \\u12\n', b'%4 \\U0001F6 &am\n']
        for function in FILTERS:
            with self.subTest(function=function):
                process = subprocess.Popen([ARGS.tool, function], stdin=subprocess.PIPE,
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    sent = b''
                    for line in lines:
                        # The converted line must come while the writer still
                        # holds the rest back.
                        expected = expected_utf8(function, sent + line)[0][
                            len(expected_utf8(function, sent)[0]):]
                        process.stdin.write(line)
                        process.stdin.flush()
                        sent += line
                        self.assertEqual(self.read_until(process.stdout, expected), expected,
                                         (function, line))
                    process.stdin.close()
                    self.assertEqual(process.stdout.read(), b'')
                    self.assertEqual(process.wait(timeout=60), 0)
                    self.assertEqual(process.stderr.read(), b'')
                finally:
                    process.kill()
                    process.wait()
                    for stream in [process.stdin, process.stdout, process.stderr]:
                        stream.close()

    def test_a_large_pipe_leaves_the_temporary_folder_untouched(self):
        temporary = self.path('tmp')
        os.mkdir(temporary)
        data = ''.join('.' * k + SAMPLE for k in range(6000)).encode()
        function = 'untobbleC'
        env = dict(os.environ, TMPDIR=temporary, TMP=temporary, TEMP=temporary)
        expected, lone = expected_utf8(function, data)
        status, out, err = run([function], data=data, env=env)
        self.assertEqual((status, err), (0, [warning_line(lone)] if lone else []))
        self.assertTrue(out == expected)
        self.assertEqual(os.listdir(temporary), [])

    def test_a_file_that_shrinks_while_read_gives_what_was_read(self):
        # The tool converts exactly the bytes it read, in one pass: output
        # that is the conversion of a prefix of the file, never a success
        # with output that matches no reading of it.
        data = 'é'.encode() * (8 << 20)
        file = self.path('shrinking.txt', data)
        process = subprocess.Popen([ARGS.tool, 'tobbleJ', file], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        first = process.stdout.read(1 << 16)
        os.truncate(file, 1 << 20)
        out = first + process.stdout.read()
        err = process.stderr.read()
        status = process.wait(timeout=60)
        process.stdout.close()
        process.stderr.close()
        self.assertEqual(len(out) % 6, 0)
        self.assertEqual(out, b'\\u00e9' * (len(out) // 6))
        self.assertEqual((status, err), (0, b''))

    def test_a_closed_output_ends_the_program_quietly(self):
        function = FILTERS[0]
        file = self.path('big.txt', SAMPLE.encode() * 100000)
        for args in [[function, file, file], [function]]:
            process = subprocess.Popen([ARGS.tool] + args, stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if len(args) == 1:
                threading.Thread(target=feed_and_close,
                                 args=(process.stdin, SAMPLE.encode() * 100000)).start()
            self.assertEqual(len(process.stdout.read(100)), 100)
            process.stdout.close()
            self.assertEqual(process.wait(timeout=60), 0)
            self.assertEqual(process.stderr.read(), b'')
            process.stderr.close()
            if len(args) != 1:
                process.stdin.close()


def feed_and_close(stream, data):
    try:
        stream.write(data)
    except BrokenPipeError:
        pass
    try:
        stream.close()
    except BrokenPipeError:
        pass


class NamesTest(ToolTestCase):
    """File names in messages, as the shell would read them back."""

    def test_names_are_given_as_they_are(self):
        function = FILTERS[0]
        self.path('-x データ.txt', 'é'.encode())
        self.assertEqual(run([function, '--', '-x データ.txt'], cwd=self.dir.name),
                         (0, expected_utf8(function, 'é'.encode())[0], []))
        self.assertEqual(run([function, '無い.txt'], cwd=self.dir.name),
                         (1, b'', [f'tobble: 無い.txt: {os.strerror(errno.ENOENT)}']))

    def test_names_are_quoted_as_ls_quotes_them(self):
        # Random names of printable, special and control characters and
        # invalid UTF-8; the message for each invalid file must name it as
        # `ls --quoting-style=shell-escape` does, and a shell must read
        # that back as the name.
        rng = random.Random(11)
        alphabet = (['a', 'Z', '0', ' ', "'", '"', '$', '\\', '!', '#', '~', '{', '}', '=', '@',
                     '%', ':', ',', '-', '.', '\n', '\t', '\x1b', '\x7f', 'é', '無', '😀']
                    + [b'\xff', b'\xc3', b'\xed\xa0\x80', '\x85'.encode()])
        folder = self.path('names')
        os.mkdir(folder)
        names = set()
        while len(names) < 150:
            pieces = [rng.choice(alphabet) for _ in range(rng.randrange(1, 7))]
            name = b''.join(p if isinstance(p, bytes) else p.encode() for p in pieces)
            if name not in (b'.', b'..', b'-'):
                names.add(name)
        names = sorted(names)
        for name in names:
            with open(os.path.join(folder.encode(), name), 'wb') as f:
                f.write(b'\xff')
        env = dict(os.environ, LC_ALL='C.UTF-8')
        result = subprocess.run([ARGS.tool, 'tobbleJ', '--'] + [os.fsdecode(n) for n in names],
                                cwd=folder, capture_output=True)
        self.assertEqual(result.returncode, 1)
        lines = result.stderr.split(b'\n')[:-1]
        self.assertEqual(len(lines), len(names))
        for name, line in zip(names, lines):
            shown = line[len(b'tobble: '):-len(b': invalid UTF-8 at byte 0')]
            # Where a single quote meets unprintable characters, ls's own
            # output is irregular (a leading '' pair, or escapes left inside
            # single quotes); the unit test's table holds the regular cases
            # of quotes, and the shell check below holds all.
            if b"'" in name:
                continue
            listed = subprocess.run(['ls', '--quoting-style=shell-escape', '-d', '--',
                                     os.fsdecode(name)], cwd=folder, env=env,
                                    capture_output=True, check=True).stdout[:-1]
            self.assertEqual(shown, listed, name)
        for name, line in zip(names, lines):
            self.assertNotIn(b'\x1b', line)
            shown = line[len(b'tobble: '):-len(b': invalid UTF-8 at byte 0')]
            back = subprocess.run(['bash', '-c', b'printf %s ' + shown], capture_output=True,
                                  check=True).stdout
            self.assertEqual(back, name, shown)


class OutputFileTest(ToolTestCase):
    """-o and -i: the target replaced whole, or left exactly as it was."""

    OLD = b'the old contents\n'

    def converted(self, data, function='tobbleJ'):
        return expected_utf8(function, data)[0]

    def test_output_to_a_file(self):
        data = SAMPLE.encode()
        first = self.path('first.txt', data)
        second = self.path('second.txt', 'é\n'.encode())
        for option in [['-o'], ['--output']]:
            out = self.path('out.txt', self.OLD)
            os.chmod(out, 0o640)
            self.assertEqual(run(['tobbleJ'] + option + [out, first, second]), (0, b'', []))
            self.assertEqual(self.read(out), self.converted(data) + self.converted('é\n'.encode()))
            self.assertEqual(os.stat(out).st_mode & 0o7777, 0o640)
        for option in [[f'--output={out}'], [f'-o{out}']]:
            os.unlink(out)
            self.assertEqual(run(['tobbleJ'] + option, data=data,
                                 preexec_fn=lambda: os.umask(0o027)), (0, b'', []))
            self.assertEqual(self.read(out), self.converted(data))
            self.assertEqual(os.stat(out).st_mode & 0o7777, 0o640)
        # The output may be one of the inputs.
        self.assertEqual(run(['tobbleJ', '-o', first, first, first]), (0, b'', []))
        self.assertEqual(self.read(first), self.converted(data) * 2)
        # What is not a regular file is written directly.
        self.assertEqual(run(['tobbleJ', '-o', '/dev/null', second]), (0, b'', []))
        self.assert_no_temporary()

    def test_in_place(self):
        data = SAMPLE.encode()
        for option in ['-i', '--in-place']:
            files = [self.path(f'{k}.txt', data + str(k).encode()) for k in range(3)]
            for k, file in enumerate(files):
                os.chmod(file, [0o600, 0o644, 0o4755][k])
            self.assertEqual(run([option, 'tobbleJ'] + files), (0, b'', []))
            for k, file in enumerate(files):
                self.assertEqual(self.read(file), self.converted(data + str(k).encode()))
                self.assertEqual(os.stat(file).st_mode & 0o7777, [0o600, 0o644, 0o4755][k])
        self.assert_no_temporary()

    @unittest.skipUnless(os.geteuid() == 0, 'needs root to give a file away')
    def test_in_place_keeps_the_owner_for_root(self):
        file = self.path('owned.txt', 'é'.encode())
        os.chown(file, 1234, 5678)
        os.chmod(file, 0o2640)
        self.assertEqual(run(['-i', 'tobbleJ', file]), (0, b'', []))
        status = os.stat(file)
        self.assertEqual((status.st_uid, status.st_gid, status.st_mode & 0o7777),
                         (1234, 5678, 0o2640))
        self.assertEqual(self.read(file), b'\\u00e9')

    def test_a_symbolic_link_stays_a_link(self):
        target = self.path('target.txt', 'é'.encode())
        os.mkdir(self.path('links'))
        link = self.path('links/link.txt')
        os.symlink('../target.txt', link)
        for args in [['-i', 'tobbleJ', link], ['tobbleJ', '-o', link, target]]:
            self.assertEqual(run(args), (0, b'', []))
            self.assertTrue(os.path.islink(link))
            self.assertEqual(os.readlink(link), '../target.txt')
        # Converted once by -i; tobbleJ keeps the escape it wrote.
        self.assertEqual(self.read(target), b'\\u00e9')
        self.assertEqual(os.listdir(self.path('links')), ['link.txt'])
        self.assert_no_temporary()

    def test_in_place_a_failing_file_leaves_the_others_converted(self):
        good = 'é'.encode()
        names = ['a.txt', 'bad.txt', 'b.txt', 'missing.txt', 'c.txt']
        contents = [good, good + b'\xff' + good, good, None, good]
        files = [self.path(n, d) for n, d in zip(names, contents)]
        os.mkfifo(self.path('fifo'))
        status, out, err = run(['-i', 'tobbleJ'] + files + [self.path('fifo')])
        self.assertEqual((status, out), (1, b''))
        self.assertEqual(err, [invalid_line(files[1], 2),
                               f'tobble: {files[3]}: {os.strerror(errno.ENOENT)}',
                               f'tobble: {self.path("fifo")}: not a regular file'])
        for file, data in zip(files, contents):
            if data is None:
                self.assertFalse(os.path.exists(file))
            elif file == files[1]:
                self.assertEqual(self.read(file), data)
            else:
                self.assertEqual(self.read(file), b'\\u00e9')
        self.assert_no_temporary()

    def test_failures_leave_the_old_file_and_no_temporary(self):
        good = self.path('good.txt', SAMPLE.encode() * 1000)
        bad = self.path('bad.txt', SAMPLE.encode() * 1000 + b'\xe3\x81')
        folder = self.path('folder')
        os.mkdir(folder)
        cases = [
            ('invalid input', [good, bad], invalid_line(bad, len(SAMPLE.encode()) * 1000)),
            ('unreadable input', [good, folder], f'tobble: {folder}: {os.strerror(errno.EISDIR)}'),
            ('missing input', [good, self.path('missing')],
             f'tobble: {self.path("missing")}: {os.strerror(errno.ENOENT)}'),
        ]
        for what, inputs, message in cases:
            out = self.path('out.txt', self.OLD)
            self.assertEqual(run(['tobbleJ', '-o', out] + inputs), (1, b'', [message]), what)
            self.assertEqual(self.read(out), self.OLD, what)
            self.assert_no_temporary()
            if len(inputs) == 2 and inputs[1] == bad:
                self.assertEqual(run(['-i', 'tobbleJ', bad]), (1, b'', [message]))
                self.assertEqual(self.read(bad), SAMPLE.encode() * 1000 + b'\xe3\x81')
        # An output in a folder that does not exist.
        missing_folder = self.path('nowhere/out.txt')
        self.assertEqual(run(['tobbleJ', '-o', missing_folder, good]),
                         (1, b'', [f'tobble: {missing_folder}: {os.strerror(errno.ENOENT)}']))
        self.assertEqual(run(['tobbleJ', '-o', folder, good]),
                         (1, b'', [f'tobble: {folder}: {os.strerror(errno.EISDIR)}']))

    def started_with_temporary(self, target):
        """The tool converting into target with standard input held open, in
        the middle of its run with its temporary file beside the target."""
        process = subprocess.Popen([ARGS.tool, 'tobbleJ', '-o', target],
                                   stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                                   preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE,
                                                                         (0, 0)))
        process.stdin.write('é'.encode() * 100000)
        process.stdin.flush()
        deadline = time.monotonic() + 60
        while (not [n for n in os.listdir(self.dir.name) if '.tobble-' in n]
               and time.monotonic() < deadline):
            time.sleep(0.01)
        return process

    def test_a_stop_signal_leaves_the_old_file_and_no_temporary(self):
        for signal_number in [signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT,
                              signal.SIGUSR1, signal.SIGALRM, signal.SIGRTMIN + 3]:
            target = self.path('target.txt', self.OLD)
            process = self.started_with_temporary(target)
            temporaries = [n for n in os.listdir(self.dir.name) if '.tobble-' in n]
            self.assertEqual(len(temporaries), 1)
            self.assertRegex(temporaries[0], rf'^\.target\.txt\.tobble-{process.pid}-......$')
            process.send_signal(signal_number)
            self.assertEqual(process.wait(timeout=60), -signal_number)
            process.stdin.close()
            process.stderr.close()
            self.assertEqual(self.read(target), self.OLD)
            self.assert_no_temporary()

    def test_temporaries_of_killed_runs_are_removed_by_the_next(self):
        target = self.path('target.txt', self.OLD)
        killed = []
        for _ in range(2):
            process = self.started_with_temporary(target)
            process.kill()
            process.wait(timeout=60)
            process.stdin.close()
            process.stderr.close()
            killed.append(process.pid)
        # The second run removed the first one's.
        left = [n for n in os.listdir(self.dir.name) if '.tobble-' in n]
        self.assertEqual(len(left), 1)
        self.assertRegex(left[0], rf'^\.target\.txt\.tobble-{killed[1]}-......$')
        # A running process's temporary (this one's), another target's and a
        # name that only looks alike stay.
        kept = [f'.target.txt.tobble-{os.getpid()}-abcdef',
                f'.other.txt.tobble-{killed[0]}-abcdef',
                f'.target.txt.tobble-{killed[0]}-abcdefg',
                f'.target.txt.tobble-x{killed[0]}-abcdef']
        for name in kept:
            self.path(name, b'')
        self.assertEqual(run(['tobbleJ', '-o', target], data='é'.encode()), (0, b'', []))
        self.assertEqual(self.read(target), b'\\u00e9')
        self.assertEqual(sorted(n for n in os.listdir(self.dir.name) if '.tobble-' in n),
                         sorted(kept))

    def test_a_file_size_limit_fails_the_write_and_leaves_no_temporary(self):
        # SIGXFSZ, which would end the program silently, is ignored: the
        # write fails with a message.
        data = self.path('data.txt', 'é'.encode() * (1 << 19))
        out = self.path('out.txt', self.OLD)
        for args, name in [(['tobbleJ', '-o', out, data], out), (['-i', 'tobbleJ', data], data)]:
            old = self.read(name)
            self.assertEqual(run(args, preexec_fn=lambda: resource.setrlimit(
                resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))),
                (1, b'', [f'tobble: {name}: {os.strerror(errno.EFBIG)}']))
            self.assertEqual(self.read(name), old)
            self.assert_no_temporary()

    def test_a_named_descriptor_is_written_through_and_appended_to(self):
        # /dev/stdout and its like are the descriptor the shell gave, not a
        # file to replace: `>> log` appends, and `-o -` is standard output.
        data = 'é\n'.encode()
        for name in ['/dev/stdout', '/proc/self/fd/1', '/dev/fd/1', '-', '/dev/stderr']:
            log = self.path('log.txt', self.OLD)
            with open(log, 'ab') as output:
                result = subprocess.run([ARGS.tool, 'tobbleJ', '-o', name], input=data,
                                        stdout=output,
                                        stderr=output if name == '/dev/stderr' else None)
            self.assertEqual(result.returncode, 0, name)
            self.assertEqual(self.read(log), self.OLD + self.converted(data), name)
        self.assert_no_temporary()
        # -i refuses them as it refuses pipes.
        self.assertEqual(run(['-i', 'tobbleJ', '/dev/stdout']),
                         (1, b'', ['tobble: /dev/stdout: not a regular file']))

    def test_a_named_descriptor_closed_by_its_reader_ends_quietly(self):
        file = self.path('big.txt', SAMPLE.encode() * 100000)
        for name in ['/dev/stdout', '-']:
            process = subprocess.Popen([ARGS.tool, 'tobbleJ', '-o', name, file, file],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertEqual(len(process.stdout.read(100)), 100)
            process.stdout.close()
            self.assertEqual(process.wait(timeout=60), 0, name)
            self.assertEqual(process.stderr.read(), b'', name)
            process.stderr.close()

    def test_other_links_are_named_and_a_file_is_converted_once(self):
        # URLencode changes its own output, so a second pass would show.
        data = 'é'.encode()
        file = self.path('f.txt', data)
        os.link(file, self.path('g.txt'))
        os.link(file, self.path('h.txt'))
        os.symlink('f.txt', self.path('link.txt'))
        status, out, err = run(['-i', 'URLencode', 'f.txt', './f.txt', 'link.txt', 'g.txt'],
                               cwd=self.dir.name)
        self.assertEqual((status, out), (0, b''))
        self.assertEqual(err, [
            'tobble: warning: f.txt: has 3 links; the others keep the old text',
            'tobble: warning: ./f.txt: the same file as f.txt, converted once',
            'tobble: warning: link.txt: the same file as f.txt, converted once',
            'tobble: warning: g.txt: the same file as f.txt, converted once'])
        self.assertEqual(self.read(file), b'%C3%A9')
        self.assertEqual(self.read(self.path('g.txt')), data)
        out = self.path('two.txt', self.OLD)
        os.link(out, self.path('two-other.txt'))
        self.assertEqual(run(['URLencode', '-o', out], data=data),
                         (0, b'', [f'tobble: warning: {out}: has 2 links; the other keeps the '
                                   'old text']))
        self.assertEqual(self.read(self.path('two-other.txt')), self.OLD)

    def test_a_full_disk_leaves_the_old_file_and_no_temporary(self):
        small = self.path('small')
        os.mkdir(small)
        mounted = subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=1m', 'tmpfs', small],
                                 capture_output=True).returncode == 0
        if mounted:
            self.addCleanup(subprocess.run, ['umount', small])
            limit = None
            reason = os.strerror(errno.ENOSPC)
        else:
            # Where no file system can be mounted, a file size limit fails
            # the writes in the same way.
            def limit():
                resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            reason = os.strerror(errno.EFBIG)
        data = self.path('data.txt', 'é'.encode() * (1 << 20))
        for args in [['tobbleJ', '-o', os.path.join(small, 'out.txt'), data],
                     ['-i', 'tobbleJ', os.path.join(small, 'out.txt')]]:
            out = os.path.join(small, 'out.txt')
            with open(out, 'wb') as f:
                f.write(self.OLD if args[0] != '-i' else 'é'.encode() * 200000)
            old = self.read(out)
            self.assertEqual(run(args, preexec_fn=limit),
                             (1, b'', [f'tobble: {out}: {reason}']), args)
            self.assertEqual(self.read(out), old)
            self.assert_no_temporary(small)

NOBODY = 65534
STAFF = 50  # a group nobody is made a member of
ELSEWHERE = 1234  # a group nobody is not a member of


def posix_acl(*entries):
    """The value of system.posix_acl_access for (tag, permissions, id)
    entries, which must be in the kernel's order."""
    return struct.pack('<I', 2) + b''.join(struct.pack('<HHI', *entry) for entry in entries)


ACL_USER_OBJ, ACL_USER, ACL_GROUP_OBJ, ACL_GROUP, ACL_MASK, ACL_OTHER = 1, 2, 4, 8, 0x10, 0x20
NO_ID = 0xFFFFFFFF


@unittest.skipUnless(os.geteuid() == 0, 'needs root, to run the tool as another user')
class AccessTest(ToolTestCase):
    """What -o and -i do to who may read and write the file: never more
    than before, run by root and by an ordinary user."""

    OLD = b'the old contents\n'

    def setUp(self):
        super().setUp()
        os.chmod(self.dir.name, 0o755)
        self.folder = self.path('shared')
        os.mkdir(self.folder)
        os.chown(self.folder, NOBODY, NOBODY)

    def as_nobody(self):
        os.setgroups([STAFF])
        os.setgid(NOBODY)
        os.setuid(NOBODY)

    def runs(self, name):
        """The runs to check on file name in the shared folder: -o and -i,
        by root and by nobody; each as (what, arguments, preexec_fn)."""
        for user, preexec_fn in [('root', None), ('nobody', self.as_nobody)]:
            yield f'-o by {user}', ['tobbleJ', '-o', name], preexec_fn
            yield f'-i by {user}', ['-i', 'tobbleJ', name], preexec_fn

    def fresh(self, name, owner, group, mode, attributes=()):
        path = os.path.join(self.folder, name)
        if os.path.exists(path):
            os.unlink(path)
        with open(path, 'wb') as f:
            f.write('é'.encode())
        os.chown(path, owner, group)
        os.chmod(path, mode)
        for key, value in attributes:
            os.setxattr(path, key, value)
        return path

    def test_extended_attributes_and_access_lists_are_kept(self):
        # The owning group may read, a named group may write: without its
        # access list the file would give the owning group write access.
        acl = posix_acl((ACL_USER_OBJ, 6, NO_ID), (ACL_USER, 4, 4321), (ACL_GROUP_OBJ, 4, NO_ID),
                        (ACL_GROUP, 6, 5678), (ACL_MASK, 6, NO_ID), (ACL_OTHER, 0, NO_ID))
        attributes = [('user.origin', b'\x00binary\xff'), ('user.empty', b'')]
        try:
            self.fresh('probe', 0, 0, 0o600, [('system.posix_acl_access', acl)])
        except OSError as error:
            self.skipTest(f'no access lists here: {error}')
        for what, args, preexec_fn in self.runs('f.txt'):
            path = self.fresh('f.txt', NOBODY, STAFF, 0o660,
                              attributes + [('system.posix_acl_access', acl)])
            self.assertEqual(run(args, data='é'.encode(), cwd=self.folder, preexec_fn=preexec_fn),
                             (0, b'', []), what)
            self.assertEqual(self.read(path), b'\\u00e9', what)
            self.assertEqual(os.getxattr(path, 'system.posix_acl_access'), acl, what)
            for key, value in attributes:
                self.assertEqual(os.getxattr(path, key), value, what)
            status = os.stat(path)
            self.assertEqual((status.st_uid, status.st_gid, status.st_mode & 0o7777),
                             (NOBODY, STAFF, 0o660), what)

    def test_the_group_is_kept_where_the_user_may_and_access_never_widens(self):
        # (group, mode) before; (group, mode) after a run by nobody, who is
        # a member of STAFF but not of ELSEWHERE.
        cases = [
            (STAFF, 0o664, STAFF, 0o664),
            (STAFF, 0o2640, STAFF, 0o2640),
            # Not kept: the group and others get what both had.
            (ELSEWHERE, 0o664, NOBODY, 0o644),
            (ELSEWHERE, 0o604, NOBODY, 0o600),
            (ELSEWHERE, 0o2675, NOBODY, 0o655),
        ]
        for group, mode, group_after, mode_after in cases:
            for what, args, preexec_fn in list(self.runs('f.txt'))[2:]:
                path = self.fresh('f.txt', NOBODY, group, mode)
                self.assertEqual(run(args, data=b'', cwd=self.folder, preexec_fn=preexec_fn),
                                 (0, b'', []), (what, group, oct(mode)))
                status = os.stat(path)
                self.assertEqual((status.st_gid, oct(status.st_mode & 0o7777)),
                                 (group_after, oct(mode_after)), (what, group, oct(mode)))

    def test_what_the_user_may_not_write_is_refused(self):
        # A file nobody may only read; a folder nobody may not write.
        closed = self.path('closed')
        os.mkdir(closed)
        cases = [
            (self.fresh('ro.txt', NOBODY, NOBODY, 0o444), 'ro.txt', self.folder,
             f'tobble: ro.txt: {os.strerror(errno.EACCES)}'),
            (self.fresh('root.txt', 0, 0, 0o644), 'root.txt', self.folder,
             f'tobble: root.txt: {os.strerror(errno.EACCES)}'),
        ]
        for name in ['w.txt', 'inner/w.txt']:
            os.makedirs(os.path.dirname(os.path.join(closed, name)), exist_ok=True)
            path = os.path.join(closed, name)
            with open(path, 'wb') as f:
                f.write(self.OLD)
            os.chmod(path, 0o666)
            folder = os.path.dirname(name) or '.'
            cases.append((path, name, closed,
                          f'tobble: {folder}: cannot create a file: {os.strerror(errno.EACCES)}'))
        for path, name, cwd, message in cases:
            old = self.read(path)
            for args in [['tobbleJ', '-o', name], ['-i', 'tobbleJ', name]]:
                self.assertEqual(run(args, data=b'x', cwd=cwd, preexec_fn=self.as_nobody),
                                 (1, b'', [message]), args)
                self.assertEqual(self.read(path), old, args)
                self.assertEqual([n for n in os.listdir(os.path.dirname(path))
                                  if '.tobble-' in n], [])


@unittest.skipUnless(ARGS.large, 'needs --large (an optimized build)')
class LargeInputTest(unittest.TestCase):
    """100 MiB through the tool in a few MiB of memory, from a file and from
    a pipe, against the core converting the whole text at once; a single
    line of 1 GiB; and runs with too little memory."""

    SIZE = 100 << 20
    MAX_RSS_KIB = 8 << 10

    def test_100_mib_in_bounded_memory(self):
        function = 'untobbleC'
        # Tokens at every shift, so that read blocks and conversion slices
        # cut them everywhere; one lone surrogate (at the end), as those make
        # the reference slow.
        sample = SAMPLE.replace('\\ud800 x\\udc00', '')
        period = ''.join('.' * k + sample for k in range(13)).encode()
        data = period * (self.SIZE // len(period)) + b'\\U0001F6\\ud800'
        with tempfile.TemporaryDirectory() as directory:
            source = os.path.join(directory, 'in.txt')
            with open(source, 'wb') as f:
                f.write(data)
            expected, lone = expected_utf8(function, data)
            del data
            for via in ['file', 'pipe']:
                target = os.path.join(directory, 'out.txt')
                started = time.monotonic()
                with open(target, 'wb') as output:
                    if via == 'file':
                        status, err, peak = run_measured([ARGS.tool, function, source], None,
                                                         output)
                    else:
                        feeder = subprocess.Popen(['cat', source], stdout=subprocess.PIPE)
                        status, err, peak = run_measured([ARGS.tool, function], feeder.stdout,
                                                         output)
                        feeder.stdout.close()
                        self.assertEqual(feeder.wait(), 0)
                seconds = time.monotonic() - started
                with open(target, 'rb') as f:
                    self.assertTrue(f.read() == expected, f'{via}: output differs')
                self.assertEqual(status, 0)
                self.assertEqual(err.decode().splitlines(), [warning_line(lone)] if lone else [])
                print(f'\n{function} on {self.SIZE >> 20} MiB from a {via}: peak resident size '
                      f'{peak} KiB, {os.path.getsize(source) / seconds / 1e6:.0f} MB/s',
                      file=sys.stderr)
                self.assertGreater(peak, 0, via)
                self.assertLess(peak, self.MAX_RSS_KIB, via)

    def test_a_single_line_of_1_gib_in_bounded_memory(self):
        # No line break anywhere: \u00e9 escapes, decoded to é, fed from a
        # pipe and read back as they come, with $TMPDIR an empty folder.
        function = 'untobbleJ'
        period = b'abc\\u00e9 ' * 4096  # 48 KiB
        count = (1 << 30) // len(period)
        expected_period = expected_utf8(function, period)[0]
        with tempfile.TemporaryDirectory() as temporary:
            env = dict(os.environ, TMPDIR=temporary)
            process = subprocess.Popen([ARGS.tool, function], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)

            def feed():
                for _ in range(count):
                    process.stdin.write(period)
                process.stdin.close()
            feeder = threading.Thread(target=feed)
            feeder.start()
            peak = [0]
            stop = threading.Event()

            def measure():
                while not stop.is_set():
                    peak[0] = max(peak[0], vm_hwm(process.pid))
                    time.sleep(0.005)
            measurer = threading.Thread(target=measure)
            measurer.start()
            started = time.monotonic()
            received, mismatch, pending = 0, None, b''
            while True:
                piece = process.stdout.read1(1 << 20)
                if not piece:
                    break
                pending += piece
                whole = len(pending) // len(expected_period) * len(expected_period)
                if mismatch is None and pending[:whole] != expected_period * (
                        whole // len(expected_period)):
                    mismatch = received
                received += whole
                pending = pending[whole:]
            feeder.join()
            status = process.wait()
            stop.set()
            measurer.join()
            seconds = time.monotonic() - started
            err = process.stderr.read()
            process.stdout.close()
            process.stderr.close()
            self.assertEqual(os.listdir(temporary), [])
        self.assertEqual((status, err), (0, b''))
        self.assertIsNone(mismatch)
        self.assertEqual((received, pending), (len(expected_period) * count, b''))
        print(f'\n{function} on a single line of {count * len(period) >> 20} MiB from a pipe: '
              f'peak resident size {peak[0]} KiB, {count * len(period) / seconds / 1e6:.0f} MB/s',
              file=sys.stderr)
        self.assertGreater(peak[0], 0)
        self.assertLess(peak[0], self.MAX_RSS_KIB)

    def test_too_little_memory_gives_one_line_and_status_1(self):
        # Address-space limits from just above what the kernel needs to load
        # the program (below that it ends every program with SIGSEGV before
        # its first instruction) up to enough: each run ends with the right
        # output, or with one line and status 1; never with a signal.
        data = SAMPLE.encode() * 100
        expected, lone = expected_utf8('tobbleJ', data)
        outcomes = set()
        smallest = loaded_size_kib(ARGS.tool) + 384
        for kib in list(range(smallest, smallest + 6000, 250)) + [16000, 64000]:
            def limit(kib=kib):
                resource.setrlimit(resource.RLIMIT_AS, (kib << 10, kib << 10))
            status, out, err = run(['tobbleJ'], data=data, preexec_fn=limit)
            self.assertIn(status, [0, 1], f'{kib} KiB: status {status}')
            if status == 1:
                self.assertEqual((out, err), (b'', ['tobble: out of memory']), f'{kib} KiB')
            else:
                self.assertEqual((out, err), (expected, [warning_line(lone)] if lone else []))
            outcomes.add(status)
        self.assertEqual(outcomes, {0, 1})


def loaded_size_kib(program):
    """The memory a 64-bit ELF program's loadable segments take, in KiB."""
    with open(program, 'rb') as f:
        elf = f.read(1 << 16)
    assert elf[:5] == b'\x7fELF\x02', program
    phoff, = struct.unpack_from('<Q', elf, 0x20)
    phentsize, phnum = struct.unpack_from('<HH', elf, 0x36)
    total = 0
    for k in range(phnum):
        kind, = struct.unpack_from('<I', elf, phoff + k * phentsize)
        if kind == 1:  # PT_LOAD
            total += struct.unpack_from('<Q', elf, phoff + k * phentsize + 0x28)[0]
    return total >> 10


def vm_hwm(pid):
    """The peak resident size of a running process in KiB, 0 once it ended."""
    try:
        with open(f'/proc/{pid}/status') as f:
            for line in f:
                if line.startswith('VmHWM:'):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_measured(args, stdin, stdout):
    """Runs the tool; returns its exit status, its standard error and its
    peak resident size in KiB. The peak is read from /proc while it runs: the
    rusage of a child also counts the memory of the process that started it,
    before the exec."""
    process = subprocess.Popen(args, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE)
    peak = 0
    while process.poll() is None:
        try:
            with open(f'/proc/{process.pid}/status') as f:
                for line in f:
                    if line.startswith('VmHWM:'):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.002)
    err = process.stderr.read()
    process.stderr.close()
    return process.returncode, err, peak


if __name__ == '__main__':
    unittest.main(argv=[sys.argv[0]] + UNITTEST_ARGS, verbosity=2)
