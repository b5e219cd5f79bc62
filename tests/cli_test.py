#!/usr/bin/env python3
"""The tobble tool as a user meets it: the built program run on files and
pipes, its output compared with the library's whole-text conversion (libtobble.so
loaded with ctypes), its messages and exit statuses with what the tool
promises.

Usage: cli_test.py --tool TOBBLE --library LIBTOBBLE_SO --version-file VERSION
                   [--large] [unittest options]
--large adds the 100 MiB run in bounded memory (for an optimized build).
"""
import argparse
import codecs
import ctypes
import errno
import os
import random
import subprocess
import sys
import tempfile
import time
import unittest

parser = argparse.ArgumentParser()
parser.add_argument('--tool', required=True)
parser.add_argument('--library', required=True)
parser.add_argument('--version-file', required=True)
parser.add_argument('--large', action='store_true')
ARGS, UNITTEST_ARGS = parser.parse_known_args()
ARGS.tool = os.path.abspath(ARGS.tool)

library = ctypes.CDLL(os.path.abspath(ARGS.library))
library.tobble_filter_find.restype = ctypes.c_void_p
library.tobble_filter_find.argtypes = [ctypes.c_char_p]
library.tobble_output_bound.restype = ctypes.c_size_t
library.tobble_output_bound.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
library.tobble_convert.restype = ctypes.c_int
library.tobble_convert.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                                   ctypes.c_size_t, ctypes.c_int, ctypes.c_void_p,
                                   ctypes.POINTER(ctypes.c_size_t)]

# The nine filters in table order: export name, key, English name.
KNOWN_FILTERS = [
    ('tobbleJ', 'A', 'tobbleJ'),
    ('untobbleJ', 'N', 'untobbleJ'),
    ('tobbleC', 'B', 'tobbleC'),
    ('untobbleC', 'M', 'untobbleC'),
    ('charref2text', 'F', 'HTMLunescape'),
    ('text2charref', 'P', 'HTMLescape'),
    ('URLencode', 'E', 'URLencode'),
    ('URLdecode', 'C', 'URLdecode'),
    ('text2charrefx', '8', 'HTMLescape(HEX)'),
]

# Every kind of token the filters read or write: escapes (of pairs and of
# lone surrogates too), references, percent-encoded sequences, multi-byte
# UTF-8 and line ends of both kinds.
SAMPLE = ('café 😀 \\u3042\\U0001F600 \\ud83d\\ude00 \\ud800 x\\udc00 &amp;&#x41;&#65;&notin &notin;'
          ' %E3%81%82 a+b%2F%zz <p class="x">\'</p>\r\nあいう\t\\\\u0041 \\U0010FFFF\n')


def utf16_units(text):
    return text.encode('utf-16-le', 'surrogatepass')


def convert_units(function, units):
    """The library's whole-text conversion of UTF-16LE bytes, as UTF-16LE bytes."""
    filter_ = library.tobble_filter_find(function.encode())
    assert filter_, function
    n = len(units) // 2
    bound = library.tobble_output_bound(filter_, n)
    source = ctypes.create_string_buffer(units, len(units) + 2)
    out = ctypes.create_string_buffer(bound * 2)
    written = ctypes.c_size_t()
    status = library.tobble_convert(filter_, source, n, out, bound, 1, None, ctypes.byref(written))
    assert status == 0, status
    return out.raw[:written.value * 2]


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


def run(args, stdin=None, data=None, cwd=None):
    """Runs the tool; returns (exit status, stdout bytes, stderr lines)."""
    result = subprocess.run([ARGS.tool] + args, input=data, stdin=stdin,
                            capture_output=True, timeout=120, cwd=cwd)
    return result.returncode, result.stdout, result.stderr.decode('utf-8').splitlines()


def listed_filters():
    status, out, err = run(['--list'])
    assert status == 0 and not err, (status, err)
    return [tuple(line.split()) for line in out.decode().splitlines()]


class ToolTest(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name, data=None):
        path = os.path.join(self.dir.name, name)
        if data is not None:
            with open(path, 'wb') as f:
                f.write(data)
        return path

    def filters(self):
        filters = [f[0] for f in listed_filters()]
        self.assertTrue(filters)
        return filters

    def assert_converts(self, args, data, expected, lone, stdin=None, what=''):
        status, out, err = run(args, stdin=stdin, data=data)
        self.assertEqual((status, err), (0, [warning_line(lone)] if lone else []), what)
        self.assertEqual(out, expected, what)

    def test_list_gives_the_table_in_order(self):
        listed = listed_filters()
        self.assertTrue(listed)
        self.assertEqual(listed, [f for f in KNOWN_FILTERS if f in listed])
        # A filter of the table that the tool does not list is refused.
        for function, _, _ in KNOWN_FILTERS:
            status, _, err = run([function], data=b'x')
            if any(f[0] == function for f in listed):
                self.assertEqual((status, err), (0, []), function)
            else:
                self.assertEqual(status, 2, function)
                self.assertEqual(err, [f"tobble: unknown filter '{function}'; see 'tobble --help'"])

    def test_help_shows_usage_and_a_true_example_for_each_filter(self):
        for option in ['--help', '-h']:
            status, out, err = run([option, 'ignored'])
            self.assertEqual((status, err), (0, []))
            text = out.decode('utf-8')
            self.assertTrue(text.startswith('Usage: tobble [-e ENCODING] FILTER [FILE...]\n'))
            for option_name in ['--encoding', '-e,', '--list', '--help', '--version']:
                self.assertIn(option_name, text)
            examples = {}
            for line in text.splitlines():
                if line.startswith('  ') and '  ->  ' in line:
                    name, rest = line.split(None, 1)
                    examples[name] = rest.split('  ->  ')
            self.assertEqual(sorted(examples), sorted(self.filters()))
            for name, (example, shown) in examples.items():
                expected, _ = expected_utf8(name, example.encode())
                self.assertEqual(shown.encode(), expected, name)

    def test_version_is_the_version_file(self):
        with open(ARGS.version_file) as f:
            version = f.read().strip()
        self.assertRegex(version, r'^\d+\.\d+\.\d+$')
        self.assertEqual(run(['--version']), (0, f'tobble {version}\n'.encode(), []))

    def test_each_filter_on_a_file_and_on_a_pipe(self):
        small = SAMPLE.encode()
        # Larger than one read block: checked while spooled (a pipe) or
        # before a rewind (a file).
        large = ''.join('.' * k + SAMPLE for k in range(3000)).encode()
        for data in [small, large, b'']:
            file = self.path('input.txt', data)
            for function in self.filters():
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
        function = self.filters()[0]
        expected, lone = expected_utf8(function, data[7:])
        with open(file, 'rb') as f:
            f.seek(7)
            self.assert_converts([function], None, expected, lone, stdin=f)

    def test_usage_errors(self):
        function = self.filters()[0]
        cases = [
            ([], 'no filter given'),
            (['-e', 'utf-8'], 'no filter given'),
            (['nosuchfilter'], "unknown filter 'nosuchfilter'"),
            (['TOBBLEJ'], "unknown filter 'TOBBLEJ'"),
            (['-'], "unknown filter '-'"),
            (['--nosuchoption', function], "unknown option '--nosuchoption'"),
            ([function, '-x'], "unknown option '-x'"),
            ([function, '-e'], "option '-e' needs an encoding"),
            ([function, '--encoding'], "option '--encoding' needs an encoding"),
            (['-e', 'latin1', function], "unknown encoding 'latin1' (utf-8, utf-16le or utf-16be)"),
            (['--encoding=utf-16', function], "unknown encoding 'utf-16' (utf-8, utf-16le or utf-16be)"),
            (['-e', '', function], "unknown encoding '' (utf-8, utf-16le or utf-16be)"),
        ]
        for args, problem in cases:
            self.assertEqual(run(args, data=b''), (2, b'', [f"tobble: {problem}; see 'tobble --help'"]),
                             args)

    def test_files_after_an_unreadable_one_are_still_converted(self):
        function = self.filters()[0]
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

    def test_names_are_given_as_they_are(self):
        function = self.filters()[0]
        self.path('-x データ.txt', 'é'.encode())
        self.assertEqual(run([function, '--', '-x データ.txt'], cwd=self.dir.name),
                         (0, expected_utf8(function, 'é'.encode())[0], []))
        self.assertEqual(run([function, '無い.txt'], cwd=self.dir.name),
                         (1, b'', [f'tobble: 無い.txt: {os.strerror(errno.ENOENT)}']))

    def test_invalid_utf8_is_reported_at_its_first_byte_after_the_valid_prefix(self):
        cases = [b'\x80', b'ab\xc0\x80', b'a\xe0\x80\x80', b'\xed\xa0\x80', b'\xf4\x90\x80\x80',
                 b'\xff', b'abc\xe3\x81', b'\xe3\x81a', 'é'.encode() + b'\xe3\x81\xe3\x81\x82',
                 b'\xf0\x9f\x98', b'0123456789abcdef\xc3', SAMPLE.encode() * 3000 + b'\xe3\x81']
        # Random mixtures of valid and broken pieces, checked against Python.
        rng = random.Random(20261208)
        parts = [b'a', b'\\u3042', 'é'.encode(), 'あ'.encode(), '😀'.encode(), b'\x80', b'\xc2',
                 b'\xe3\x81', b'\xf0\x9f\x98', b'\xed\xa0\x80', b'\xc0\xaf', b'\xf5', b'0123456789']
        cases += [b''.join(rng.choice(parts) for _ in range(rng.randrange(1, 12)))
                  for _ in range(300)]
        function = self.filters()[0]
        files = [self.path(f'case{i}.txt', data) for i, data in enumerate(cases)]
        # All at once: each input is reported or converted on its own.
        status, out, err = run([function] + files)
        self.assertEqual(status, 1)
        expected_out, expected_err, lone = b'', [], 0
        for file, data in zip(files, cases):
            try:
                converted, replaced = expected_utf8(function, data)
                expected_out += converted
                lone += replaced
            except UnicodeDecodeError as error:
                converted, replaced = expected_utf8(function, data[:error.start])
                expected_out += converted
                lone += replaced
                expected_err.append(f'tobble: {file}: invalid UTF-8 at byte {error.start}')
        self.assertGreater(len(expected_err), 100)
        self.assertEqual(err, expected_err + ([warning_line(lone)] if lone else []))
        self.assertEqual(out, expected_out)
        # One by one through a pipe.
        for data in cases[:12]:
            start = None
            try:
                data.decode('utf-8')
            except UnicodeDecodeError as error:
                start = error.start
            self.assertEqual(run([function], data=data),
                             (1, expected_utf8(function, data[:start])[0],
                              [f'tobble: standard input: invalid UTF-8 at byte {start}']))

    def test_a_large_invalid_input_writes_its_valid_prefix(self):
        # The bad byte lies far beyond the first read block.
        data = SAMPLE.encode() * 20000
        data = data[:3_000_000] + b'\xff' + data[3_000_000:]
        function = self.filters()[0]
        file = self.path('big.txt', data)
        message = 'invalid UTF-8 at byte 3000000'
        prefix = expected_utf8(function, data[:3_000_000])[0]
        self.assertEqual(run([function, file]), (1, prefix, [f'tobble: {file}: {message}']))
        self.assertEqual(run([function], data=data),
                         (1, prefix, [f'tobble: standard input: {message}']))

    def test_lone_surrogates_become_u_fffd_with_one_warning(self):
        seen = 0
        for function in self.filters():
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

    def test_utf16le_in_and_out_exactly(self):
        # Lone surrogates in and out, and a byte order mark kept as it is.
        units = utf16_units('\ufeff' + SAMPLE + '\ud800x\udc00\udbff') * 200
        for function in self.filters():
            expected = convert_units(function, units)
            file = self.path('utf16.txt', units)
            for option in [['-e', 'utf-16le'], ['--encoding', 'UTF-16LE'], ['--encoding=utf-16le'],
                           ['-eutf-16le']]:
                self.assert_converts(option + [function, file], None, expected, 0, what=function)
            self.assert_converts([function, '-e', 'utf-16le'], units, expected, 0, what=function)
        odd = units[:11]
        self.assertEqual(run([function, '-e', 'utf-16le'], data=odd),
                         (1, convert_units(function, odd[:10]),
                          ['tobble: standard input: invalid UTF-16LE at byte 10: odd number of bytes']))

    def test_a_closed_output_ends_the_program_quietly(self):
        function = self.filters()[0]
        file = self.path('big.txt', SAMPLE.encode() * 100000)
        process = subprocess.Popen([ARGS.tool, function, file, file], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.assertEqual(len(process.stdout.read(100)), 100)
        process.stdout.close()
        self.assertEqual(process.wait(timeout=60), 0)
        self.assertEqual(process.stderr.read(), b'')
        process.stderr.close()


@unittest.skipUnless(ARGS.large, 'needs --large (an optimized build)')
class LargeInputTest(unittest.TestCase):
    """100 MiB through the tool in a few MiB of memory, from a file and from
    a pipe, against the core converting the whole text at once."""

    SIZE = 100 << 20
    MAX_RSS_KIB = 8 << 10

    def test_100_mib_in_bounded_memory(self):
        function = 'untobbleC' if any(f[0] == 'untobbleC' for f in listed_filters()) \
            else listed_filters()[0][0]
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
