#!/usr/bin/env python3
"""tobble.exe under Wine against the Linux tool: the same output bytes, the
same messages and exit statuses, for every filter, in every encoding, on
files (one with a non-ASCII name, one larger than a read block) and on a
pipe; -o and -i, all or nothing, through a symbolic link and on a file with
two names; and a quiet end when the reader of its
output goes away.

Usage: cli_wine_test.py --wine WINE_RUN --exe TOBBLE_EXE --tool LINUX_TOBBLE
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

parser = argparse.ArgumentParser()
parser.add_argument('--wine', required=True)
parser.add_argument('--exe', required=True)
parser.add_argument('--tool', required=True)
args = parser.parse_args()
args.wine, args.exe, args.tool = (os.path.abspath(p) for p in (args.wine, args.exe, args.tool))

SAMPLE = ('café 😀 \\u3042\\U0001F600 \\ud83d\\ude00 \\ud800 x\\udc00 &amp;&#x41;&notin &notin;'
          ' %E3%81%82 a+b%2F <p class="x">\'</p>\r\nあいう\t\\\\u0041\n')

# Wine turns the command line into UTF-16 by the locale's character set.
ENVIRONMENT = dict(os.environ, LANG='C.UTF-8', LC_ALL='C.UTF-8')

failures = 0


def run(command, arguments, cwd, data=None):
    # Output goes to files, not pipes: the Wine server that a run may start
    # keeps its pipes open for seconds after the program has ended.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run(command + arguments, input=data, stdout=out, stderr=err, cwd=cwd,
                                env=ENVIRONMENT, timeout=300).returncode
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()


def compare(what, arguments, cwd, data=None, same_stderr=True):
    """Runs both programs; both must agree."""
    global failures
    linux = run([args.tool], arguments, cwd, data)
    windows = run([args.wine, args.exe], arguments, cwd, data)
    if not same_stderr:  # the system's own words for a failure differ
        linux, windows = linux[:2], windows[:2]
    if linux != windows:
        failures += 1
        print(f'{what}: tobble.exe differs from the Linux tool')
        for name, a, b in zip(['status', 'stdout', 'stderr'], linux, windows):
            if a != b:
                print(f'  {name}: Linux {a[:300]!r}\n  {" " * len(name)}  Windows {b[:300]!r}')
    return windows


def swap16(data):
    swapped = bytearray(data)
    swapped[0::2], swapped[1::2] = data[1::2], data[0::2]
    return bytes(swapped)


def fail(message):
    global failures
    failures += 1
    print(message)


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def temporaries(directory):
    return [n for n in os.listdir(directory) if '.tobble-' in n]


def check_output_files(directory, function):
    """-o and -i write what the Linux tool writes to standard output, and
    leave a file as it was when an input fails."""
    status, expected, _ = run([args.tool], [function, 'sample.txt', 'large.txt'], directory)
    old = b'old contents\n'
    with open(os.path.join(directory, 'out.txt'), 'wb') as f:
        f.write(old)
    status, _, err = run([args.wine, args.exe], ['-o', 'out.txt', function, 'sample.txt',
                                                 'large.txt'], directory)
    if (status, err) != (0, b'') or read(os.path.join(directory, 'out.txt')) != expected:
        fail(f'-o: status {status}, {err[:200]!r}, or the file differs')
    with open(os.path.join(directory, 'out.txt'), 'wb') as f:
        f.write(old)
    status, _, err = run([args.wine, args.exe], ['-o', 'out.txt', function, 'sample.txt',
                                                 'bad.txt'], directory)
    if status != 1 or read(os.path.join(directory, 'out.txt')) != old:
        fail(f'-o with invalid input: status {status}, or the old file changed')

    shutil.copy(os.path.join(directory, 'sample.txt'), os.path.join(directory, 'a.txt'))
    shutil.copy(os.path.join(directory, 'bad.txt'), os.path.join(directory, 'b.txt'))
    status, _, err = run([args.wine, args.exe], ['-i', function, 'a.txt', 'b.txt'], directory)
    expected_a = run([args.tool], [function, 'sample.txt'], directory)[1]
    if status != 1 or read(os.path.join(directory, 'a.txt')) != expected_a:
        fail(f'-i: status {status} (1 expected), or a.txt is not converted')
    if read(os.path.join(directory, 'b.txt')) != read(os.path.join(directory, 'bad.txt')):
        fail('-i: the invalid b.txt changed')
    if temporaries(directory):
        fail(f'temporary files left: {temporaries(directory)}')


def check_links(directory, function):
    """-i through a symbolic link converts the file and leaves the link; a
    file with another hard link, and one named twice, give the Linux tool's
    warnings and are converted once."""
    sample = os.path.join(directory, 'sample.txt')
    expected = run([args.tool], [function, 'sample.txt'], directory)[1]
    for name in ['t.txt', 'l.txt', 'h.txt', 'h2.txt']:
        if os.path.lexists(os.path.join(directory, name)):
            os.unlink(os.path.join(directory, name))
    shutil.copy(sample, os.path.join(directory, 't.txt'))
    os.symlink('t.txt', os.path.join(directory, 'l.txt'))
    status, _, err = run([args.wine, args.exe], ['-i', function, 'l.txt'], directory)
    if (status, err) != (0, b'') or not os.path.islink(os.path.join(directory, 'l.txt')):
        fail(f'-i through a symbolic link: status {status}, {err[:200]!r}, or no longer a link')
    if read(os.path.join(directory, 't.txt')) != expected:
        fail('-i through a symbolic link: the file it points to is not converted')
    results = []
    for command in [[args.tool], [args.wine, args.exe]]:
        for name in ['h.txt', 'h2.txt']:
            if os.path.exists(os.path.join(directory, name)):
                os.unlink(os.path.join(directory, name))
        shutil.copy(sample, os.path.join(directory, 'h.txt'))
        os.link(os.path.join(directory, 'h.txt'), os.path.join(directory, 'h2.txt'))
        results.append(run(command, ['-i', 'URLencode', 'h.txt', './h.txt'], directory)[::2] +
                       (read(os.path.join(directory, 'h.txt')),))
    if results[0] != results[1] or not results[0][1]:
        fail(f'-i on a linked file named twice: Linux {results[0]!r}, Windows {results[1]!r}')
    if temporaries(directory):
        fail(f'temporary files left: {temporaries(directory)}')


def check_closed_pipe(directory, function):
    """The reader goes after three bytes: the program ends quietly with 0."""
    big = os.path.join(directory, 'big.txt')
    with open(big, 'wb') as f:
        f.write(SAMPLE.encode() * 200000)
    with tempfile.TemporaryFile() as err:
        process = subprocess.Popen([args.wine, args.exe, function, 'big.txt'], cwd=directory,
                                   stdout=subprocess.PIPE, stderr=err, env=ENVIRONMENT)
        got = process.stdout.read(3)
        process.stdout.close()
        status = process.wait(timeout=300)
        err.seek(0)
        message = err.read()
    if (len(got), status, message) != (3, 0, b''):
        fail(f'closed pipe: {len(got)} bytes read, status {status}, {message[:200]!r}')


def main():
    # tools/wine-run says why when the Wine that tobble.exe needs is missing.
    if subprocess.run([args.wine, '--check', args.exe]).returncode != 0:
        return 1
    if not os.access(args.tool, os.X_OK):
        print(f'{args.tool} is missing: the win64 build makes it (target linux_tool)')
        return 1
    with tempfile.TemporaryDirectory() as directory:
        utf8 = SAMPLE.encode()
        utf16 = ('\ufeff' + SAMPLE + '\ud800x\udbff').encode('utf-16-le', 'surrogatepass')
        large = ''.join('.' * k + SAMPLE for k in range(3000)).encode()
        files = {'sample.txt': utf8, 'データ.txt': utf8, 'large.txt': large,
                 'sample16.txt': utf16, 'bad.txt': utf8 + b'\xe3\x81'}
        for name, data in files.items():
            with open(os.path.join(directory, name), 'wb') as f:
                f.write(data)

        for option in [['--version'], ['--list'], ['--help'], [], ['nosuchfilter'], ['-e']]:
            compare(' '.join(option) or 'no arguments', option, directory)
        status, listing, _ = run([args.tool], ['--list'], directory)
        filters = [line.split()[0] for line in listing.decode().splitlines()]
        if status != 0 or not filters:
            print('the Linux tool lists no filters')
            return 1
        for function in filters:
            compare(f'{function}, UTF-8 files', [function, 'sample.txt', 'データ.txt', 'large.txt'],
                    directory)
            compare(f'{function}, UTF-16LE file', ['-e', 'utf-16le', function, 'sample16.txt'],
                    directory)
        function = filters[0]
        compare(f'{function}, a pipe larger than a read block', [function], directory, data=large)
        compare(f'{function}, invalid UTF-8', [function, 'sample.txt', 'bad.txt'], directory)
        compare(f'{function}, a missing file', [function, 'missing.txt', 'sample.txt'], directory,
                same_stderr=False)
        compare(f'{function}, odd UTF-16LE', ['-e', 'utf-16le', function], directory,
                data=utf16[:-1])
        compare(f'{function}, UTF-16BE', ['-e', 'UTF16BE', function], directory,
                data=swap16(utf16))
        compare(f'{function}, --replace', ['--replace', function, 'bad.txt'], directory)
        failures_before = failures
        check_output_files(directory, function)
        check_links(directory, function)
        check_closed_pipe(directory, function)
        if failures > failures_before:
            print('-o, -i or the closed pipe failed')
    print(f'{failures} differences' if failures else
          f'tobble.exe agrees with the Linux tool ({len(filters)} filters)')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
