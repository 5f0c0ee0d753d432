#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/ from readable recipes.

Each seed is an input in the byte format the harness headers decode
(calls_harness.h, raster_harness.h, seed_fill_harness.h); the encoders below
mirror those decoders. The areas-file seeds are plain JSON texts. It also writes the regression inputs made from recipes into
tests/regress/ (crash files saved from the fuzzers sit there beside them).
Run it again after changing a decoder:

    python3 fuzz/make_seeds.py
"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u8(v):
    return bytes([v & 0xFF])


def u16(v):
    return struct.pack('<H', v & 0xFFFF)


def i16(v):
    return struct.pack('<h', v)


def i32(v):
    return struct.pack('<i', v)


def f32(v):
    return struct.pack('<f', v)


# --- calls ------------------------------------------------------------------
OP_INIT, OP_RELEASE, OP_AREAS, OP_FRAME, OP_SETTERS, OP_FRONT, OP_ALLOC = 0, 1, 2, 4, 8, 9, 10


def coord(v):
    """A vertex coordinate: small ones in one byte, others as 32-bit."""
    if -32 <= v <= 223:
        return u8(0) + u8(v + 32)
    return u8(7) + i32(v)


def ratio(v):
    if v == v and math.copysign(1.0, v) > 0 and v * 512 <= 255 and float(v * 512).is_integer():
        return u8(0) + u8(int(v * 512))
    return u8(6) + f32(v)


def areas(quads, thresholds):
    """Count below 25, every quad given by its eight coordinates."""
    out = u8(OP_AREAS) + u8(0) + u8(len(quads))
    for q, t in zip(quads, thresholds):
        out += u8(1) + b''.join(coord(c) for c in q) + ratio(t)
    return out


def rect(x0, y0, x1, y1):
    return (x0, y0, x1, y0, x1, y1, x0, y1)


def areas_special(mode, extra=b''):
    return u8(OP_AREAS) + u8(mode) + extra


def frame(w=None, h=None, bpp=3, base=100, noise=4, value=100, tint=0, rx=0, ry=0, rw=0, rh=0, flags=0,
          raw=False, kept_bpp=None):
    if kept_bpp is not None:
        head = u8(7) + u8(kept_bpp)
    elif raw:
        head = u8(6) + i32(w) + i32(h) + i32(bpp)
    elif w is None:
        head = u8(0)  # the previous declaration again
    elif bpp == 3:
        head = u8(2) + u8(w - 1) + u8(h - 1)
    else:
        bpps = [0, 1, 2, 3, 4, -3, 6, 65539]
        head = u8(4) + u8(w - 1) + u8(h - 1) + u8(bpps.index(bpp))
    return u8(OP_FRAME) + head + bytes([base, noise, value, tint, rx, ry, rw, rh, flags])


def frame_extreme(wi, hi):
    return u8(OP_FRAME) + u8(5) + u8(wi) + u8(hi) + bytes([90, 2, 90, 0, 0, 0, 0, 0, 0])


def setting(v):
    return u8(1) + i32(v)


def frame_count(v):
    return u8(OP_SETTERS) + u8(0) + setting(v)


def disturb(v):
    return u8(OP_SETTERS) + u8(1) + ratio(v)


def light(a, b, c, d, e):
    return u8(OP_SETTERS) + u8(2) + b''.join(setting(v) for v in (a, b, c, d, e))


def front(v):
    return u8(OP_FRONT) + u8(0) + i32(v)


def alloc(kind, arg=0):
    """0: fail the arg-th next allocation, 1: fail all, 2: fail none, 3: fail above 1 << arg bytes."""
    return u8(OP_ALLOC) + u8(kind) + (u8(arg) if kind in (0, 3) else b'')


def moving(w, h, steps, value, size, y, base=100):
    out = b''
    for s in range(steps):
        out += frame(w, h, base=base, noise=3, value=value, rx=s * w // steps, ry=y, rw=size, rh=size)
    return out


def calls_seeds():
    nan, inf = float('nan'), float('inf')
    two = areas([rect(4, 4, 28, 40), rect(34, 4, 60, 40)], [0.125, 0.25])
    seeds = {}
    seeds['day_two_areas'] = (u8(0) + u8(OP_INIT) + two + frame(64, 48) + moving(64, 48, 8, 20, 16, 16)
                              + u8(OP_RELEASE))
    seeds['day_exports'] = (u8(1) + u8(OP_INIT) + two + frame(64, 48) + moving(64, 48, 8, 240, 16, 16)
                            + u8(OP_RELEASE))
    seeds['night_front_light'] = (u8(0) + u8(OP_INIT) + light(200, 10, 60, 10, 60) + front(1)
                                  + areas([rect(2, 2, 70, 50)], [0.0625])
                                  + frame(72, 54, base=30) + moving(72, 54, 6, 250, 24, 12, base=30)
                                  + front(0) + frame(72, 54, base=30))
    seeds['refresh_and_settings'] = (u8(0) + u8(OP_INIT) + frame_count(1) + disturb(0.5)
                                     + areas([rect(3, 3, 40, 30), (0, 0, 30, 5, 10, 30, 20, 8)], [0.125, 0.03125])
                                     + frame(48, 36) + frame(48, 36, base=110) + frame(48, 36, base=130)
                                     + frame(48, 36, base=200) + frame_count(0) + frame(48, 36, base=60)
                                     + frame_count(-1) + disturb(inf) + frame(48, 36, base=61))
    seeds['calling_order'] = (u8(0) + frame(32, 24) + areas([rect(1, 1, 20, 20)], [0.1]) + u8(OP_RELEASE)
                              + u8(OP_INIT) + u8(OP_INIT) + areas([rect(1, 1, 20, 20)], [0.125])
                              + frame(32, 24) + frame(32, 24, value=250, rx=2, ry=2, rw=12, rh=12)
                              + u8(OP_RELEASE) + u8(OP_RELEASE) + frame(32, 24)
                              + areas([rect(1, 1, 20, 20)], [0.125]) + u8(OP_INIT) + frame(32, 24))
    seeds['refused_frames'] = (u8(0) + u8(OP_INIT) + areas([rect(0, 0, 30, 20)], [0.125]) + frame(32, 24)
                               + frame(32, 24, bpp=1) + frame(kept_bpp=1) + frame(kept_bpp=4) + frame(32, 2)
                               + frame_extreme(0, 0) + frame_extreme(1, 0) + frame(32, 24, flags=0x1F)
                               + frame(32, 24, flags=0x1E) + frame(w=-1, h=24, bpp=3, raw=True)
                               + frame(w=65536 + 32, h=24, bpp=3, raw=True) + frame(32, 24))
    seeds['extreme_areas'] = (u8(0) + u8(OP_INIT)
                              + areas([(-32768, -32768, 32767, -32768, 32767, 32767, -32768, 32767),
                                       rect(-5, -5, 100, 3), (0, 0, 0, 0, 0, 0, 0, 0)], [nan, inf, -inf])
                              + frame(24, 16) + frame(24, 16, value=0, rx=0, ry=0, rw=24, rh=16)
                              + areas([(32768, 0, 1, 1, 2, 2, 3, 3)], [0.1])
                              + areas([rect(1, 1, 5, 5)] * 3, [-0.0, 1e20, -1.0])
                              + frame(24, 16) + frame(24, 16) + frame(24, 16))
    seeds['area_counts'] = (u8(0) + u8(OP_INIT) + areas_special(10, u8(0)) + areas_special(11)
                            + areas_special(12, bytes([10, 10, 2, 1]) + ratio(0.125)) + frame(40, 24)
                            + frame(40, 24, value=240, rx=8, ry=8, rw=30, rh=8) + areas_special(13, u8(1))
                            + areas_special(14, u8(2)) + frame(40, 24))
    seeds['out_of_memory'] = (u8(0) + alloc(1) + u8(OP_INIT) + alloc(2) + two + frame(64, 48) + u8(OP_INIT)
                              + alloc(0, 2) + two + two + alloc(3, 12) + frame(64, 48) + alloc(2) + frame(64, 48)
                              + frame(64, 48, value=10, rx=10, ry=10, rw=20, rh=20) + alloc(0, 0) + two
                              + u8(OP_RELEASE))
    seeds['size_changes'] = (u8(0) + u8(OP_INIT) + areas([rect(2, 2, 90, 60)], [0.125]) + frame(64, 48)
                             + frame(32, 24) + frame(32, 24, value=10, rx=4, ry=4, rw=12, rh=12)
                             + frame(64, 48) + frame_extreme(0, 0) + frame(64, 48) + frame(96, 64))
    # The same scenes through the slower kernel sets (mode bits 1-2: 1 the
    # second fastest ... 3 the reference, where the CPU has four sets).
    for name in ('night_front_light', 'extreme_areas', 'size_changes'):
        for k in (1, 2, 3):
            seeds[f'{name}_kernels{k}'] = u8(k << 1) + seeds[name][1:]
    return seeds


# --- raster -----------------------------------------------------------------
def raster_seeds():
    quads = {
        'point': (7, 9, 7, 9, 7, 9, 7, 9),
        'one_row': (5, 3, -2, 3, 9, 3, 0, 3),
        'rectangle': (2, 2, 8, 2, 8, 6, 2, 6),
        'left_lean': (0, 0, -5, 10, -5, 10, 0, 10),
        'crossing': (0, 0, 10, 10, 10, 0, 0, 10),
        'concave': (0, 0, 9, 3, 0, 6, 3, 3),
        'flat_diamond': (0, 0, 6, 1, 0, 2, -6, 1),
        'slanted_line': (0, 0, 4, 8, 4, 8, 0, 0),
        'full_range': (-32768, -32768, 32767, -32768, 32767, 32767, -32768, 32767),
        'wrapping_edge': (-32768, -32768, 32767, 32767, 32767, 32767, -32768, -32768),
    }
    seeds = {name: b''.join(i16(c) for c in q) for name, q in quads.items()}
    seeds['failed_allocation'] = seeds['rectangle'] + u8(1)
    seeds['reversed_order'] = seeds['concave'] + u8(2)
    return seeds


# --- seed fill ----------------------------------------------------------------
def plane(w, h, toggles, walled=True):
    """A w x h plane (wide-mode encoding), walls with the rectangles opened."""
    out = u8(3) + u16(w - 1) + u8(h - 1) + u8(0) + u8(1) + u8(1 if walled else 0) + u8(len(toggles))
    for x, y, rw, rh in toggles:
        out += u16(x) + u8(y) + u16(rw - 1) + u8(rh - 1)
    return out


def fill(limits, seed):
    out = b''
    if limits is None:
        out += u8(0)
    else:
        out += u8(1) + b''.join(u8(0) + u16(v + 1) for v in limits)
    out += u8(1) + b''.join(u8(0) + u16(v + 1) for v in seed)
    return out


def fills(*items, fail=0):
    return u8(fail) + u8(len(items) - 1) + b''.join(fill(l, s) for l, s in items)


def seed_fill_seeds():
    block = plane(64, 48, [(10, 10, 30, 20)])
    triangle = plane(64, 48, [(30 - k, 5 + k, 2 * k + 1, 1) for k in range(8)])
    small = plane(32, 32, [(11, 11, 5, 4)])
    seeds = {
        'block_corner': block + fills(((1, 1, 62, 46), (10, 10)), ((1, 1, 62, 46), (25, 20))),
        'block_wall_seed': block + fills(((1, 1, 62, 46), (9, 15))),
        'block_dead_wall': block + fills(((1, 1, 62, 46), (50, 40))),
        'block_outside_limits': block + fills(((20, 20, 10, 5), (10, 10))),
        'block_cut_by_limits': block + fills(((20, 15, 10, 5), (25, 17))),
        'single_zero': plane(16, 16, [(5, 5, 1, 1)]) + fills((None, (5, 5))),
        'all_open': plane(20, 10, [], walled=False) + fills((None, (5, 5))),
        'triangle': triangle + fills((None, (30, 5)), (None, (30, 12))),
        'wall_neighbours': small + fills((None, (10, 10)), (None, (12, 10)), (None, (10, 15))),
        'wide_plane': plane(32764, 2, [(0, 0, 32764, 1), (32000, 1, 764, 1)], walled=False)
        + fills((None, (32762, 1)), ((32700, 0, 100, 5), (32763, 1))),
        'failing_stack': triangle + fills((None, (30, 10)), fail=0x80),
    }
    # Noise and raw bits, small planes.
    seeds['noise'] = u8(0) + u8(20) + u8(30) + u8(0) + u8(2) + u8(90) + u32le(12345) + fills(
        (None, (3, 3)), ((2, 2, 10, 10), (5, 5)), ((-1, 5, 40, 3), (8, 6)))
    seeds['bits'] = u8(0) + u8(15) + u8(7) + u8(0) + u8(0) + bytes([0x5A, 0x0F, 0xF0, 0x81] * 4) + fills(
        (None, (2, 2)), (None, (9, 4)))
    return seeds


# --- areas file --------------------------------------------------------------
def areas_file_seeds():
    square = '[[10, 10], [50, 10], [50, 50], [10, 50]]'
    return {
        'full_form': ('{\n  "_comment": "two lanes",\n  "areas": [\n'
                      '    {"name": "lane 1", "vertices": [[100, 300], [220, 300], [230, 360], [90, 360]],'
                      ' "threshold": 0.1},\n'
                      '    {"name": "lane 2", "vertices": [[240, 300], [360, 300], [370, 360], [230, 360]]}\n  ],\n'
                      '  "settings": {"frame_count": 20, "disturb_ratio": 0.15, "front_light": true,\n'
                      '    "light": {"threshold": 200, "min_width": 20, "max_width": 80,'
                      ' "min_height": 20, "max_height": 80}}\n}\n'),
        'bare_array': '[{"vertices": %s, "threshold": 0.05}, {"vertices": [[0,0],[0,0],[0,0],[0,0]]}]' % square,
        'extremes': ('{"areas": [{"name": "everything", "vertices": [[-32768, -32768], [32767, -32768],'
                     ' [32767, 32767], [-32768, 32767]], "threshold": 3.4028234663852886e38},'
                     ' {"vertices": [[1e0, 2.0], [3, 4], [5, 6], [7, 8]], "threshold": 0}],'
                     ' "settings": {"frame_count": -2147483648, "disturb_ratio": 1e-7}}'),
        'light_warning': ('{"areas": [{"vertices": %s}], "settings": {"light": {"max_width": 32767,'
                          ' "max_height": 2}}}' % square),
        'unicode_name': r'[{"name": "\u00e9 \ud83d\ude97 \"q\" \\", "vertices": %s}]' % square,
        'syntax_error': '{"areas": [{"vertices": [[1, 2], [3, 4], [5, 6], [7, 8]]}',
        'unknown_key': '{"areas": [{"vertices": %s, "treshold": 0.1}]}' % square,
        'vertex_out_of_range': '[{"vertices": [[0, 0], [32768, 0], [1, 1], [0, 1]]}]',
        'negative_threshold': '[{"vertices": %s, "threshold": -0.5}]' % square,
        'three_vertices': '[{"vertices": [[0, 0], [1, 0], [1, 1]]}]',
        'no_areas': '{"areas": [], "settings": {}}',
        'wrong_types': '{"areas": [{"vertices": %s, "name": 7}], "settings": {"front_light": 1}}' % square,
        'fraction_vertex': '[{"vertices": [[0.5, 0], [1, 0], [1, 1], [0, 1]]}]',
        # One level past the nesting limit, in a comment the checks would skip.
        'nested_too_deep': '{"_comment": %s, "areas": [{"vertices": %s}]}' % ('[' * 64 + ']' * 64, square),
    }


# --- regressions ----------------------------------------------------------------
def calls_regressions():
    """Inputs that once crashed, kept in tests/regress/calls/."""
    one = areas([rect(0, 0, 30, 20)], [0.125])
    # A frame of the previous size keeps the stored 24-bit geometry; a host
    # declaring 1 or 2 bytes per pixel (or a size whose low 16 bits match)
    # has a smaller buffer than that geometry reads. Must return 0 unread.
    narrow = (frame(32, 24) + frame(kept_bpp=1) + frame(kept_bpp=2) + frame(32, 24, bpp=1)
              + frame(w=32 - 65536, h=24, bpp=3, raw=True) + frame(w=32, h=24 - 65536, bpp=3, raw=True)
              + frame(w=32, h=24, bpp=0, raw=True) + frame(32, 24, value=240, rx=4, ry=4, rw=20, rh=12))
    return {
        'kept_size_narrow_depth': u8(0) + u8(OP_INIT) + one + narrow,
        'kept_size_narrow_depth_exports': u8(1) + u8(OP_INIT) + one + narrow + u8(OP_RELEASE),
        'kept_size_narrow_depth_reference': u8(3 << 1) + u8(OP_INIT) + one + narrow,
    }


def write_regressions(name, seeds):
    """Writes (or rewrites) the named inputs; saved crash files stay."""
    folder = os.path.join(HERE, '..', 'tests', 'regress', name)
    os.makedirs(folder, exist_ok=True)
    for key, data in sorted(seeds.items()):
        with open(os.path.join(folder, key), 'wb') as f:
            f.write(data)
    print(f'regress/{name}: {len(seeds)} inputs written')


def u32le(v):
    return struct.pack('<I', v)


def write(name, seeds):
    folder = os.path.join(HERE, 'corpus', name)
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        os.remove(os.path.join(folder, old))
    for key, data in sorted(seeds.items()):
        with open(os.path.join(folder, key), 'wb') as f:
            f.write(data)
    print(f'{name}: {len(seeds)} seeds, {sum(len(d) for d in seeds.values())} bytes')


if __name__ == '__main__':
    write('calls', calls_seeds())
    write('raster', raster_seeds())
    write('seed_fill', seed_fill_seeds())
    write('areas_file', {k: v.encode() for k, v in areas_file_seeds().items()})
    write_regressions('calls', calls_regressions())
