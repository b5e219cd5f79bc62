#!/usr/bin/env python3
"""Makes the release packages: a zip for each plug-in (the plug-in,
README.md and LICENSE) and SHA256SUMS over the zips.

The zips are reproducible: entries in a fixed order, with a fixed time, fixed
permissions and fixed compression, so the same files give the same bytes.

Usage: package.py OUT_DIR VERSION WIN64_PLUGIN WIN32_PLUGIN README LICENSE
"""
import hashlib
import os
import sys
import zipfile

# The earliest time a zip can hold.
FIXED_TIME = (1980, 1, 1, 0, 0, 0)


def write_zip(path, files):
    partial = path + '.partial'
    with zipfile.ZipFile(partial, 'w') as archive:
        for source in files:
            info = zipfile.ZipInfo(os.path.basename(source), FIXED_TIME)
            info.create_system = 3  # Unix, so that the permissions below count
            info.external_attr = 0o100644 << 16  # a regular file, rw-r--r--
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(source, 'rb') as f:
                archive.writestr(info, f.read(), compresslevel=9)
    os.replace(partial, path)


def main():
    out, version, win64, win32, readme, license_file = sys.argv[1:]
    os.makedirs(out, exist_ok=True)
    sums = []
    for bits, plugin in [('win64', win64), ('win32', win32)]:
        name = f'tobble-{version}-{bits}.zip'
        write_zip(os.path.join(out, name), [plugin, readme, license_file])
        with open(os.path.join(out, name), 'rb') as f:
            sums.append(f'{hashlib.sha256(f.read()).hexdigest()}  {name}\n')
    with open(os.path.join(out, 'SHA256SUMS'), 'w') as f:
        f.writelines(sums)
    for line in sums:
        print(os.path.join(out, line.split()[1]))
    return 0


if __name__ == '__main__':
    sys.exit(main())
