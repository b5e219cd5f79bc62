#!/usr/bin/env python3
"""Writes reference_tables.cpp from entities.json (both beside it), the HTML
standard's list of named character references.

Usage: generate_tables.py ENTITIES_JSON OUTPUT_CPP

The output holds the two reference tables; for the names written with ";",
a perfect-hash index that finds a name with one probe, and a table of the
name lengths that each first byte begins; the legacy names grouped by
their first two bytes; and the pairs of units that begin a name. The hash below must stay the same as NameKey and
SlotOf in decode.cpp (beside it).
"""
import json
import sys

MASK = 0xFFFFFFFF
KEY_MULTIPLIER = 0x9E3779B1
SLOT_MULTIPLIER = 0x85EBCA6B
# Bytes of a name that a slot holds; longer names compare the rest with the
# record's name.
HEAD_BYTES = 8


def chunks(name, count):
    """The name's bytes four to a little-endian 32-bit chunk, zero after it."""
    data = name.encode('ascii').ljust(4 * count, b'\0')
    return [int.from_bytes(data[4 * i:4 * i + 4], 'little') for i in range(count)]


def name_key(name):
    """The length, then the name's bytes eight at a time (two chunks, zero
    after the name) folded in by multiplications."""
    h = (len(name) * KEY_MULTIPLIER) & MASK
    for chunk in chunks(name, 2 * ((len(name) + 7) // 8)):
        h = ((h ^ chunk) * KEY_MULTIPLIER) & MASK
    return h


def bucket_of(key, bucket_bits):
    return key >> (32 - bucket_bits)


def slot_of(key, seed, slot_bits):
    return (((key ^ seed) * SLOT_MULTIPLIER) & MASK) >> (32 - slot_bits)


def read_entities(path):
    """(name, semicolon, UTF-16 units) for every entry, in file order."""
    with open(path, encoding='utf-8') as f:
        entries = json.load(f)
    result = []
    for key, value in entries.items():
        assert key.startswith('&'), key
        semicolon = key.endswith(';')
        name = key[1:-1] if semicolon else key[1:]
        assert name.isascii() and name.isalnum(), key
        code_points = value['codepoints']
        assert ''.join(map(chr, code_points)) == value['characters'], key
        units = []
        for c in code_points:
            if c > 0xFFFF:
                units += [0xD7C0 + (c >> 10), 0xDC00 | (c & 0x3FF)]
            else:
                units.append(c)
        # A record holds at most two units, and 0 marks a missing second one.
        assert 1 <= len(units) <= 2 and 0 not in units, key
        result.append((name, semicolon, units, code_points))
    return result


def record_order(entry):
    """Runs by the kind of replacement, then names with letters folded to
    lower case, then plain byte order."""
    name, _, units, code_points = entry
    run = 0 if len(units) == 1 else 1 if len(code_points) == 2 else 2
    return (run, name.lower().encode('ascii'), name.encode('ascii'))


def build_index(names, slot_bits, bucket_bits):
    """Hash-and-displace: one 16-bit seed per bucket sends the bucket's names
    to free slots. Buckets are placed largest first."""
    keys = [name_key(n) for n in names]
    assert len(set(keys)) == len(keys), 'two names share a key'
    buckets = 1 << bucket_bits
    members = [[] for _ in range(buckets)]
    for record, key in enumerate(keys):
        members[bucket_of(key, bucket_bits)].append(record)
    seeds = [0] * buckets
    slot_records = [None] * (1 << slot_bits)
    order = sorted(range(buckets), key=lambda b: (-len(members[b]), b))
    for bucket in order:
        if not members[bucket]:
            continue
        for seed in range(0x10000):
            taken = [slot_of(keys[r], seed, slot_bits) for r in members[bucket]]
            if len(set(taken)) == len(taken) and all(
                    slot_records[s] is None for s in taken):
                break
        else:
            raise SystemExit(f'no seed places bucket {bucket}')
        seeds[bucket] = seed
        for record, slot in zip(members[bucket], taken):
            slot_records[slot] = record
    return seeds, slot_records


def table_lines(c_name, entries):
    lines = [f'const NamedReference {c_name}[] = {{']
    for name, _, units, _ in entries:
        unit2 = units[1] if len(units) == 2 else 0
        lines.append(f'    {{"{name}", 0x{units[0]:04X}, 0x{unit2:04X}}},')
    lines.append('    {nullptr, 0, 0},')
    lines.append('};')
    return lines


def array_lines(c_name, values):
    lines = [f'constexpr uint16_t {c_name}[{len(values)}] = {{']
    for at in range(0, len(values), 12):
        lines.append('    ' + ' '.join(f'0x{v:04X},' for v in values[at:at + 12]))
    lines.append('};')
    return lines


def slot_lines(c_name, entries, slot_records):
    """One line for each slot that holds a name; empty slots, all zero, up to
    16 to a line."""
    lines = [f'constexpr ReferenceSlot {c_name}[{len(slot_records)}] = {{']
    empties = 0

    def flush_empties():
        nonlocal empties
        while empties:
            run = min(empties, 16)
            lines.append('    ' + ' '.join(['{},'] * run))
            empties -= run

    for record in slot_records:
        if record is None:
            empties += 1
            continue
        flush_empties()
        name, _, units, _ = entries[record]
        head = chunks(name[:HEAD_BYTES], HEAD_BYTES // 4)
        unit2 = units[1] if len(units) == 2 else 0
        lines.append(f'    {{{{0x{head[0]:08X}, 0x{head[1]:08X}}}, {record}, '
                     f'0x{units[0]:04X}, 0x{unit2:04X}, {len(name)}}},')
    flush_empties()
    lines.append('};')
    return lines


def length_lines(c_name, names):
    """For each byte, the lengths of the names that begin with it, as bits."""
    masks = [0] * 256
    for name in names:
        masks[ord(name[0])] |= 1 << len(name)
    lines = [f'constexpr uint32_t {c_name}[256] = {{']
    for at in range(0, 256, 8):
        lines.append('    ' + ' '.join(f'0x{m:08X},' for m in masks[at:at + 8]))
    lines.append('};')
    return lines


def pair_of(name):
    """Where a name's first two bytes put it in the legacy table by pairs:
    six bits of each, which tell the letters apart."""
    return (ord(name[0]) & 0x3F) << 6 | (ord(name[1]) & 0x3F)


def pair_lines(entries):
    """The legacy names by their first two bytes: for each pair, where the
    names that begin with it start in kLegacyByPairSlots (0 for none), each
    group ending with an empty slot."""
    groups = {}
    for record, entry in enumerate(entries):
        groups.setdefault(pair_of(entry[0]), []).append(record)
    starts = [0] * 4096
    slots = [None]
    for pair in sorted(groups):
        starts[pair] = len(slots)
        slots += groups[pair] + [None]
    assert len(slots) <= 0x100
    lines = ['constexpr uint8_t kLegacyByPairStarts[4096] = {']
    for at in range(0, 4096, 16):
        lines.append('    ' + ' '.join(f'{v},' for v in starts[at:at + 16]))
    lines.append('};')
    lines.append('')
    lines += slot_lines('kLegacyByPairSlots', entries, slots)
    lines.append('')
    lines.append('const LegacyPairIndex kLegacyByPair = {kLegacyByPairStarts, '
                 'kLegacyByPairSlots};')
    return lines


def name_start_lines(names):
    """The pairs of units that begin a name, as bits: bit (a << 7 | b) of
    kNameStarts, 64 to a word, for names beginning with a and b."""
    words = [0] * 256
    for name in names:
        assert name.isascii() and len(name) >= 2, name
        bit = ord(name[0]) << 7 | ord(name[1])
        words[bit >> 6] |= 1 << (bit & 63)
    lines = ['const uint64_t kNameStarts[256] = {']
    for at in range(0, 256, 4):
        lines.append('    ' + ' '.join(f'0x{w:016X},' for w in words[at:at + 4]))
    lines.append('};')
    return lines


def index_lines(prefix, c_table, entries, slot_bits, bucket_bits):
    names = [e[0] for e in entries]
    assert len(names) <= 0xFFFF
    # Lengths are bits of a 32-bit mask, and a slot's length byte is never 0.
    assert all(1 <= len(n) <= 31 for n in names)
    seeds, slot_records = build_index(names, slot_bits, bucket_bits)
    lengths = [len(n) for n in names]
    return (array_lines(f'k{prefix}Seeds', seeds) + [''] +
            slot_lines(f'k{prefix}Slots', entries, slot_records) + [''] +
            length_lines(f'k{prefix}Lengths', names) + [''] + [
                f'const ReferenceIndex k{prefix}ReferenceIndex = {{',
                f'    {c_table}, k{prefix}Seeds, {32 - bucket_bits}, '
                f'k{prefix}Slots, {32 - slot_bits}, k{prefix}Lengths, '
                f'{min(lengths)}, {max(lengths)},',
                '};',
            ])


def main():
    if len(sys.argv) != 3:
        raise SystemExit('usage: generate_tables.py ENTITIES_JSON OUTPUT_CPP')
    entities = read_entities(sys.argv[1])
    named = sorted((e for e in entities if e[1]), key=record_order)
    legacy = sorted((e for e in entities if not e[1]), key=record_order)

    # The decoder relies on these facts of the list.
    replacement = {e[0]: e[2] for e in named}
    assert len(replacement) == len(named), 'a name repeats'
    assert len({e[0] for e in legacy}) == len(legacy), 'a legacy name repeats'
    for name, _, units, _ in legacy:
        assert replacement.get(name) == units, name
        assert not any(o[0] != name and o[0].startswith(name) for o in legacy), name
        assert 2 <= len(name) <= 7, name
    assert max(len(e[0]) for e in named) <= 36

    lines = [
        '// The named character references of the HTML standard, and an index',
        '// for each table. Written by filters/charref/generate_tables.py from',
        '// filters/charref/entities.json: change those and run it again, never this file.',
        '// clang-format off',
        '#include "filters/charref/reference_tables.h"',
        '',
        'namespace tobble {',
        '',
    ]
    lines += table_lines('NamedReferenceTable', named) + ['']
    lines += table_lines('LegacyReferenceTable', legacy) + ['']
    lines += index_lines('Named', 'NamedReferenceTable', named, 12, 10) + ['']
    lines += pair_lines(legacy) + ['']
    lines += name_start_lines([e[0] for e in named]) + ['']
    lines += ['}  // namespace tobble']
    with open(sys.argv[2], 'w', encoding='ascii', newline='\n') as f:
        f.write('\n'.join(lines) + '\n')


if __name__ == '__main__':
    main()
