#!/usr/bin/env python3
"""tobble.exe under Wine against the Linux tool: the same output bytes, the
same messages and exit statuses, for every filter, in both encodings, on
files (one with a non-ASCII name, one larger than a read block) and on a
pipe.

Usage: cli_wine_test.py --wine WINE_RUN --exe TOBBLE_EXE --tool LINUX_TOBBLE
"""
import argparse
import os
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


def main():
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
    print(f'{failures} differences' if failures else
          f'tobble.exe agrees with the Linux tool ({len(filters)} filters)')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
