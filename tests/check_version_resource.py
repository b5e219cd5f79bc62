#!/usr/bin/env python3
"""Checks a built Windows program's version resource and that the file holds
no timestamp (so that building it twice gives the same bytes): the COFF
header, the export directory and every resource directory carry zero.

Usage: check_version_resource.py PROGRAM FILE_NAME VERSION_FILE
"""
import struct
import sys


def u16(data, at):
    return struct.unpack_from('<H', data, at)[0]


def u32(data, at):
    return struct.unpack_from('<I', data, at)[0]


class Image:
    def __init__(self, data):
        self.data = data
        pe = u32(data, 0x3C)
        assert data[pe:pe + 4] == b'PE\0\0', 'not a PE file'
        self.coff = pe + 4
        optional = self.coff + 20
        magic = u16(data, optional)
        directories = optional + (96 if magic == 0x10B else 112)
        self.directories = [struct.unpack_from('<II', data, directories + 8 * i) for i in range(16)]
        sections = optional + u16(data, self.coff + 16)
        self.sections = [struct.unpack_from('<IIII', data, sections + 40 * i + 8)
                         for i in range(u16(data, self.coff + 2))]

    def offset(self, rva):
        """The file offset of a relative virtual address."""
        for size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError(f'address {rva:#x} in no section')


def resources(image):
    """Walks the resource tree: returns the timestamps of all its directories
    and its leaves as {(type, name, language): data}."""
    base = image.offset(image.directories[2][0])
    data = image.data
    timestamps, leaves = [], {}

    def walk(at, path):
        timestamps.append(u32(data, at + 4))
        for i in range(u16(data, at + 12) + u16(data, at + 14)):
            name, target = struct.unpack_from('<II', data, at + 16 + 8 * i)
            entry = path + ((None if name & 0x80000000 else name),)
            if target & 0x80000000:
                walk(base + (target & 0x7FFFFFFF), entry)
            else:
                rva, size = struct.unpack_from('<II', data, base + target)
                leaves[entry] = data[image.offset(rva):image.offset(rva) + size]

    walk(base, ())
    return timestamps, leaves


def version_block(data, at):
    """Parses one VS_VERSIONINFO-style block: (key, value, children, end)."""
    length, value_length, kind = struct.unpack_from('<HHH', data, at)
    end = at + length
    key_end = at + 6
    while data[key_end:key_end + 2] != b'\0\0':
        key_end += 2
    key = data[at + 6:key_end].decode('utf-16-le')
    value_at = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if kind == 1 else value_length
    value = data[value_at:value_at + value_size]
    if kind == 1:
        value = value.decode('utf-16-le').rstrip('\0')
    children = []
    child = (value_at + value_size + 3) & ~3
    while child < end:
        block = version_block(data, child)
        children.append(block)
        child = (block[3] + 3) & ~3
    return key, value, children, end


def main():
    path, file_name, version_file = sys.argv[1:]
    with open(version_file) as f:
        version = f.read().strip()
    with open(path, 'rb') as f:
        image = Image(f.read())
    data = image.data
    problems = []

    if u32(data, image.coff + 4) != 0:
        problems.append('the COFF header holds a timestamp')
    export_rva, export_size = image.directories[0]
    if export_size and u32(data, image.offset(export_rva) + 4) != 0:
        problems.append('the export directory holds a timestamp')
    if not image.directories[2][1]:
        print(f'{path}: no resources')
        return 1

    timestamps, leaves = resources(image)
    if any(timestamps):
        problems.append('a resource directory holds a timestamp')
    versions = [leaf for where, leaf in leaves.items() if where[0] == 16]  # RT_VERSION
    if len(versions) != 1:
        print(f'{path}: {len(versions)} version resources')
        return 1
    version_data = versions[0]

    key, fixed, children, _ = version_block(version_data, 0)
    assert key == 'VS_VERSION_INFO', key
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from('<6I', fixed)
    assert signature == 0xFEEF04BD
    major, minor, patch = (int(part) for part in version.split('.'))
    wanted = ((major << 16) | minor, patch << 16)
    if (file_ms, file_ls) != wanted or (product_ms, product_ls) != wanted:
        problems.append(f'fixed file version {file_ms:#x},{file_ls:#x}, not {version}')
    strings = {}
    for child_key, _, tables, _ in children:
        if child_key == 'StringFileInfo':
            for _, _, entries, _ in tables:
                strings.update((name, value) for name, value, _, _ in entries)
    wanted_strings = {'FileVersion': version, 'ProductVersion': version,
                      'OriginalFilename': file_name, 'ProductName': 'tobble'}
    for name, value in wanted_strings.items():
        if strings.get(name) != value:
            problems.append(f'{name} is {strings.get(name)!r}, not {value!r}')
    if not strings.get('FileDescription'):
        problems.append('no FileDescription')
    if 'the tobble developers' not in strings.get('LegalCopyright', ''):
        problems.append(f'LegalCopyright is {strings.get("LegalCopyright")!r}')

    for problem in problems:
        print(f'{path}: {problem}')
    if problems:
        return 1
    print(f'{path}: version {version}, {strings["FileDescription"]!r}, no timestamps')
    return 0


if __name__ == '__main__':
    sys.exit(main())
