#!/usr/bin/env python3
"""Writes the golden malformed and extreme templates of this folder.

Each file holds one kind of fault. index.txt lists every file with its form
(native, iso, short) and what the library must make of it:
  reject1  decoders return 1 (native version byte not 3)
  reject2  decoders return 2 (minutia count outside 1..50)
  valid    decodes; any comparison scores 0..100
  short    a 512-byte screening template; screening runs and lists sanely
Run from anywhere: python3 tests/golden/make_golden.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
entries = []


def native_word(x, y, angle, quality=8, kind=0):
    return struct.pack('>I', ((x & 0x1FF) << 23) | ((y & 0x1FF) << 14) |
                       ((angle & 0x1FF) << 5) | ((quality & 0xF) << 1) | (kind & 1))


def native(count_byte, minutiae, version=3, quality=60, mask=None, singular=(0, 0, 0, 0),
           stored=None, first=None):
    t = bytearray(56)
    t[0] = version
    t[2] = quality
    t[3] = count_byte
    if mask is not None:
        t[6:40] = mask
    t[40:44] = bytes(singular)
    for m in minutiae:
        t += native_word(*m)
    if stored is not None:  # pad to the declared size
        t += bytes(max(0, stored - len(t)))
    if first is not None:
        t[0:len(first)] = first
    return bytes(t)


def iso(count_byte, entries_, finger_quality=60):
    r = bytearray(28)
    r[0:8] = b'FMR\x00 20\x00'
    length = 28 + 6 * len(entries_) + 2
    r[8:12] = struct.pack('>I', length)
    r[14:18] = struct.pack('>HH', 256, 288)
    r[18:22] = struct.pack('>HH', 197, 197)
    r[22] = 1
    r[24] = 1
    r[26] = finger_quality
    r[27] = count_byte
    for e in entries_:
        r += bytes(e)
    return bytes(r + b'\x00\x00')


def iso_entry(code, x, y, angle_byte, quality=60):
    return [(code << 6) | (x >> 8), x & 0xFF, y >> 8, y & 0xFF, angle_byte, quality]


def short(count_byte, minutiae, marker=(3, 1), quality=60):
    t = bytearray(512)
    t[0], t[1] = marker
    t[2] = quality
    t[3] = count_byte
    for i, m in enumerate(minutiae[:50]):
        t[56 + 4 * i:60 + 4 * i] = native_word(*m)
    return bytes(t)


def add(name, form, expect, data, note):
    with open(os.path.join(HERE, name), 'wb') as f:
        f.write(data)
    entries.append((name, form, expect, note))


def spread(n, x0=70, y0=80, step=13, per_row=8, angle=37):
    return [(x0 + step * (i % per_row), y0 + step * (i // per_row), (angle * i) % 360, 8, i & 1)
            for i in range(n)]


ten = spread(10)
# Native templates.
add('native_version_2.bin', 'native', 'reject1', native(10, ten, version=2), 'version byte 2')
add('native_f_then_x.bin', 'native', 'reject1', native(10, ten, first=b'FX'), "'F' followed by 'X': native path, bad version")
add('native_count_0.bin', 'native', 'reject2', native(0, []), 'count byte 0')
add('native_count_51.bin', 'native', 'reject2', native(51, spread(25), stored=256), 'count byte 51')
add('native_count_128.bin', 'native', 'reject2', native(128, spread(25)), 'count byte 128 (negative as a signed byte)')
add('native_count_255.bin', 'native', 'reject2', native(255, spread(25)), 'count byte 255 (-1)')
add('native_count_50.bin', 'native', 'valid', native(50, spread(50), stored=256), 'declares 50, only the first 25 are read')
add('native_single.bin', 'native', 'valid', native(1, [(128, 144, 90, 8, 1)]), 'one minutia')
add('native_coincident.bin', 'native', 'valid', native(25, [(128, 144, 45, 8, 0)] * 25), '25 minutiae at one point, one direction')
add('native_extreme_fields.bin', 'native', 'valid',
    native(25, [(-256, 511, 511, 15, 1), (255, 511, 511, 15, 0), (-1, 0, 0, 0, 0), (-256, 0, 511, 15, 1)] +
           spread(21, angle=511)), 'x -256 and 255, y 511, angle 511, mixed with ordinary minutiae')
add('native_angles_511.bin', 'native', 'valid', native(20, [(m[0], m[1], 511, 8, m[4]) for m in spread(20)]),
    'every direction 511 (a 9-bit field above 360)')
add('native_negative_x.bin', 'native', 'valid', native(20, [(-200 + 9 * i, 20 * i, 10 * i, 5, i & 1) for i in range(20)]),
    'every x negative')
add('native_outside_image.bin', 'native', 'valid',
    native(20, [(250 - (i % 2) * 500 + i, 300 + 10 * i, 18 * i, 8, i & 1) for i in range(20)]),
    'minutiae below row 288 and left of column 0')
add('native_all_background.bin', 'native', 'valid', native(20, spread(20), mask=b'\xff' * 34),
    'mask all background')
add('native_singular_extreme.bin', 'native', 'valid', native(20, spread(20), singular=(255, 255, 0, 1)),
    'singular point 0 at (510, 510), singular point 1 the marker (0, 2)')
add('native_quality_0.bin', 'native', 'valid', native(20, [(m[0], m[1], m[2], 0, m[4]) for m in spread(20)], quality=0),
    'template and minutia quality 0 (default block quality 255)')
add('native_dense_pairs.bin', 'native', 'valid',
    native(24, [(100 + (i // 2) * 3, 120 + (i % 2), 180 * (i % 2), 8, 1) for i in range(24)]),
    'minutiae in opposed pairs one pixel apart')

# ISO records.
iso_ten = [iso_entry(1 + (i & 1), 60 + 12 * i, 90 + 9 * i, 20 * i) for i in range(10)]
add('iso_count_0.bin', 'iso', 'reject2', iso(0, []), 'count byte 0')
add('iso_count_51.bin', 'iso', 'reject2', iso(51, [iso_entry(1, 100, 100, 0)] * 51), 'count byte 51')
add('iso_count_200.bin', 'iso', 'reject2', iso(200, iso_ten), 'count byte 200 (negative as a signed byte)')
add('iso_count_255.bin', 'iso', 'reject2', iso(255, iso_ten), 'count byte 255 (-1)')
add('iso_max_coords.bin', 'iso', 'valid', iso(50, [iso_entry(2, 16383, 16383, 0, 255)] * 50),
    '50 entries at x = y = 16383, angle byte 0, quality 255')
add('iso_max_coords_mixed.bin', 'iso', 'valid',
    iso(50, [iso_entry(1 + (i & 1), 16383 if i % 3 == 0 else 60 + 3 * i, 16383 if i % 5 == 0 else 80 + 4 * i,
                       (i * 41) & 0xFF) for i in range(50)]),
    'some entries at 16383, the rest inside the image')
add('iso_angle_byte_0.bin', 'iso', 'valid', iso(10, [e[:4] + [0, e[5]] for e in iso_ten]),
    'every angle byte 0 (direction 360)')
add('iso_other_types.bin', 'iso', 'valid', iso(10, [iso_entry(0 if i & 1 else 3, 60 + 12 * i, 90 + 9 * i, 20 * i)
                                                    for i in range(10)]), 'type codes 0 and 3 (types 255 and 2)')
add('iso_single.bin', 'iso', 'valid', iso(1, [iso_entry(1, 128, 144, 64)]), 'one minutia')
add('iso_coincident.bin', 'iso', 'valid', iso(50, [iso_entry(2, 128, 144, 32)] * 50), '50 minutiae at one point')
add('iso_zero_coords.bin', 'iso', 'valid', iso(12, [iso_entry(1, 0, 0, 16 * i) for i in range(12)]),
    'every minutia at (0, 0), the empty-slot position')
add('iso_far_apart.bin', 'iso', 'valid',
    iso(8, [iso_entry(1, x, y, a) for x, y, a in [(1, 0, 0), (255, 287, 128), (1, 287, 64), (255, 0, 192),
                                                 (128, 0, 10), (128, 287, 20), (0, 144, 30), (255, 144, 40)]]),
    'minutiae at the image corners and edges (displacements beyond the lookup tables)')
add('iso_quality_ff.bin', 'iso', 'valid', iso(10, [e[:5] + [255] for e in iso_ten], finger_quality=255),
    'finger quality 255 and minutia quality bytes 255')

# Short screening templates.
grid = [(20 + 29 * (i % 8), 20 + 40 * (i // 8), (i * 53) % 360, 8, i & 1) for i in range(50)]
add('short_count_0.bin', 'short', 'short', short(0, grid), 'count byte 0: no minutiae')
add('short_count_51.bin', 'short', 'short', short(51, grid), 'count byte 51')
add('short_count_255.bin', 'short', 'short', short(255, grid), 'count byte 255')
add('short_bad_marker.bin', 'short', 'short', short(20, grid, marker=(3, 2)), 'bytes 03 02: never listed as a candidate')
add('short_max_fields.bin', 'short', 'short', short(50, [(511, 511, 511, 15, 1)] * 50), 'every field at its maximum')
add('short_far_apart.bin', 'short', 'short',
    short(8, [(0, 0, 0, 8, 0), (511, 511, 180, 8, 0), (0, 511, 90, 8, 0), (511, 0, 270, 8, 0),
              (256, 0, 10, 8, 0), (256, 511, 20, 8, 0), (0, 256, 30, 8, 0), (511, 256, 40, 8, 0)]),
    'minutiae at the corners of the 9-bit range (distances up to 723)')
add('short_coincident.bin', 'short', 'short', short(50, [(128, 144, 90, 8, 0)] * 50), '50 minutiae at one point')
add('short_single.bin', 'short', 'short', short(1, [(128, 144, 90, 8, 0)]), 'one minutia')
add('short_valid_50.bin', 'short', 'short', short(50, grid), '50 ordinary minutiae')

with open(os.path.join(HERE, 'index.txt'), 'w') as f:
    f.write('# file form expect description (written by make_golden.py)\n')
    for name, form, expect, note in entries:
        f.write(f'{name} {form} {expect} {note}\n')
