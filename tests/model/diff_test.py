#!/usr/bin/env python3
"""Differential test: the native library against the Python reference model.

Both are driven with the same random scenes (frame sizes, areas, settings,
moving blobs, light blocks, drift, refused calls, mid-stream changes) and
every return value and every result array is compared after every call.

    diff_test.py --lib build/libtarvocoil.so --scenes 200 --seed 1
    diff_test.py --self-check          # check the model on known values

Deterministic for a given seed.  Scenes are independent of one another
(each starts from release + init with all settings set), so a failing
scene can be re-run alone with --first K --scenes 1.
"""

import argparse
import ctypes
import os
import random
import struct
import sys
import time
from collections import Counter

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import coil_model  # noqa: E402
from coil_model import CoilModel, f32, f32_bits  # noqa: E402


# ---------------------------------------------------------------------------
# Native library


class AreaQuad(ctypes.Structure):
    _fields_ = [(n, ctypes.c_int32) for n in ('x0', 'y0', 'x1', 'y1', 'x2', 'y2', 'x3', 'y3')]


class Native:
    def __init__(self, path):
        lib = ctypes.CDLL(os.path.abspath(path))
        self.lib = lib
        lib.TRVCoilInit.restype = ctypes.c_int32
        lib.TRVCoilInit.argtypes = []
        lib.TRVCoilRelease.restype = None
        lib.TRVCoilRelease.argtypes = []
        lib.TRVSetSurvAreas.restype = ctypes.c_int32
        lib.TRVSetSurvAreas.argtypes = [ctypes.c_int32, ctypes.c_void_p, ctypes.c_void_p]
        lib.TRVGetSurvResults.restype = ctypes.c_int16
        lib.TRVGetSurvResults.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_int32,
                                          ctypes.c_int32, ctypes.c_int32, ctypes.c_void_p]
        lib.TRVSetFrameCountThresh.restype = None
        lib.TRVSetFrameCountThresh.argtypes = [ctypes.c_int32]
        lib.TRVSetTwoFramesDisturbThresh.restype = None
        lib.TRVSetTwoFramesDisturbThresh.argtypes = [ctypes.c_float]
        lib.TRVUseFrontLightTrigger.restype = None
        lib.TRVUseFrontLightTrigger.argtypes = [ctypes.c_int32]
        lib.TRVSetLightParam.restype = None
        lib.TRVSetLightParam.argtypes = [ctypes.c_int32] * 5


def c_i32(v):
    return coil_model.s32(v)


# ---------------------------------------------------------------------------
# Both sides at once


class Mismatch(Exception):
    pass


class Pair:
    """Drives the native library and the model with identical calls and
    compares what comes back."""

    def __init__(self, native, model, log):
        self.n = native
        self.m = model
        self.log = log  # list of call descriptions of the current scene
        self.calls = Counter()
        # The host's result array, as both sides have left it so far.
        self.results = []

    def _fail(self, what):
        raise Mismatch(what)

    def init(self):
        self.log.append('init')
        a = self.n.lib.TRVCoilInit()
        b = self.m.init()
        if a != b:
            self._fail('TRVCoilInit returned %d, model %d' % (a, b))

    def release(self):
        self.log.append('release')
        self.n.lib.TRVCoilRelease()
        self.m.release()

    def frame_count(self, v):
        self.log.append('frameCountThresh %d' % v)
        self.n.lib.TRVSetFrameCountThresh(c_i32(v))
        self.m.set_frame_count_thresh(v)

    def disturb(self, v):
        self.log.append('twoFramesDisturbThresh %r' % v)
        self.n.lib.TRVSetTwoFramesDisturbThresh(v)
        self.m.set_two_frames_disturb_thresh(v)

    def front_light(self, v):
        self.log.append('useFrontLightTrigger %d' % v)
        self.n.lib.TRVUseFrontLightTrigger(c_i32(v))
        self.m.use_front_light_trigger(v)

    def light(self, *p):
        self.log.append('lightParam %r' % (p,))
        self.n.lib.TRVSetLightParam(*[c_i32(v) for v in p])
        self.m.set_light_param(*p)

    def set_areas(self, count, quads, sens, null_quads=False, null_sens=False):
        self.calls['set_areas'] += 1
        self.log.append('setAreas count=%d quads=%s sens=%s' % (
            count, 'NULL' if null_quads else quads[:8], 'NULL' if null_sens else sens[:8]))
        nq = max(1, len(quads))
        qarr = (AreaQuad * nq)()
        for i, q in enumerate(quads):
            qarr[i] = AreaQuad(*[c_i32(v) for v in q])
        sarr = (ctypes.c_float * max(1, len(sens)))(*sens) if sens else (ctypes.c_float * 1)()
        a = self.n.lib.TRVSetSurvAreas(c_i32(count), None if null_quads else qarr,
                                       None if null_sens else sarr)
        b = self.m.set_areas(count, None if null_quads else quads, None if null_sens else sens)
        if a != b:
            self._fail('TRVSetSurvAreas returned %d, model %d' % (a, b))
        return a

    def frame(self, pixels, width, height, bpp, results_len, null_pixels=False,
              null_results=False, reserved=0):
        """One TRVGetSurvResults on both sides with equal result arrays."""
        self.calls['frames'] += 1
        self.log.append('frame %dx%d bpp=%d%s%s' % (width, height, bpp,
                                                    ' NULL-pixels' if null_pixels else '',
                                                    ' NULL-results' if null_results else ''))
        res_model = self.results
        if len(res_model) < results_len:
            res_model.extend([-7] * (results_len - len(res_model)))
        res_native = (ctypes.c_int32 * len(res_model))(*res_model)
        buf = (ctypes.c_uint8 * max(1, len(pixels))).from_buffer_copy(pixels or b'\0')
        a = self.n.lib.TRVGetSurvResults(None if null_pixels else buf, c_i32(width), c_i32(height),
                                         c_i32(reserved), c_i32(bpp),
                                         None if null_results else res_native)
        b = self.m.get_results(None if null_pixels else pixels, width, height, bpp,
                               None if null_results else res_model)
        if a != b:
            self._fail('TRVGetSurvResults returned %d, model %d' % (a, b))
        got = list(res_native)
        if got != res_model:
            diff = [(i, got[i], res_model[i]) for i in range(len(got)) if got[i] != res_model[i]]
            self._fail('results differ (index, library, model): %r' % (diff[:10],))
        return a


# ---------------------------------------------------------------------------
# Random scenes

CLAMP = bytes(max(0, min(255, v - 128)) for v in range(512 + 128))


def stride3(w):
    return (3 * w + 3) & ~3


class Renderer:
    """A background plus moving rectangles, brightness drift and noise."""

    def __init__(self, rng, w, h, bg_kind=None, around=128):
        self.rng = rng
        self.w = w
        self.h = h
        self.make_background(bg_kind, around)
        self.objects = []
        self.static = []  # (x0, y0, x1, y1, colour) drawn every frame
        self.blips = []  # (t0, t1, x0, y0, x1, y1, colour): brief local changes
        self.steps = {}  # frame -> brightness factor from then on
        self.brightness = 1.0
        self.drift = 0.0
        self.noise = 0

    def make_background(self, kind=None, around=128):
        rng, w, h = self.rng, self.w, self.h
        kind = kind or rng.choice(['flat', 'flat', 'gradient', 'texture', 'blocks', 'dark'])
        self.bg_kind = kind
        rows = []
        base = rng.randint(30, 200)
        if kind == 'flat' or kind == 'dark':
            if kind == 'dark':
                base = rng.randint(0, 12)
            c = bytes([max(0, min(255, base + rng.randint(-20, 20))) for _ in range(3)])
            rows = [c * w for _ in range(h)]
        elif kind == 'gradient':
            for y in range(h):
                row = bytearray()
                for x in range(w):
                    v = max(0, min(255, base + (x * 60) // max(1, w) - (y * 40) // max(1, h)))
                    row += bytes((v, v, v))
                rows.append(bytes(row))
        elif kind == 'near':
            # Speckle around a grey level: thresholding it gives ragged blobs.
            amp = rng.choice([6, 12, 25])
            for y in range(h):
                rows.append(b''.join(bytes((v, v, v)) for v in
                                     (max(0, min(255, around + rng.randint(-amp, amp)))
                                      for _ in range(w))))
        elif kind == 'texture':
            amp = rng.choice([10, 30, 80])
            for y in range(h):
                rows.append(bytes(max(0, min(255, base + rng.randint(-amp, amp)))
                                  for _ in range(3 * w)))
        else:
            canvas = [bytearray(bytes((base, base, base)) * w) for _ in range(h)]
            for _ in range(rng.randint(2, 8)):
                x0, y0 = rng.randrange(w), rng.randrange(h)
                x1, y1 = min(w, x0 + rng.randint(1, 30)), min(h, y0 + rng.randint(1, 20))
                col = bytes(rng.randrange(256) for _ in range(3))
                for y in range(y0, y1):
                    canvas[y][3 * x0:3 * x1] = col * (x1 - x0)
            rows = [bytes(r) for r in canvas]
        self.bg = rows

    def shape_runs(self, kind, ow, oh):
        """Row runs (dy, dx0, dx1) of an object shape, dx1 exclusive."""
        rng = self.rng
        if kind == 'rect':
            return [(dy, 0, ow) for dy in range(oh)]
        if kind == 'triangle':
            return [(dy, ow // 2 - (dy * ow) // (2 * oh), ow // 2 + 1 + (dy * ow) // (2 * oh))
                    for dy in range(oh)]
        if kind == 'diamond':
            half = oh // 2 or 1
            return [(dy, abs(dy - half) * ow // (2 * half), ow - abs(dy - half) * ow // (2 * half))
                    for dy in range(oh)]
        if kind == 'ragged':
            runs = []
            for dy in range(oh):
                a = rng.randint(0, ow // 2)
                runs.append((dy, a, rng.randint(a + 1, ow)))
            return runs
        if kind == 'ell':
            return [(dy, 0, ow if dy >= oh - 2 else max(1, ow // 3)) for dy in range(oh)]
        # two bars joined low down: a U whose arms the fill meets separately
        arm = max(1, ow // 4)
        return [(dy, 0, ow) if dy == oh - 1 else (dy, 0, arm) for dy in range(oh)] + \
               [(dy, ow - arm, ow) for dy in range(oh - 1)]

    def add_object(self, colour=None, size=None, still=False, kind=None):
        rng, w, h = self.rng, self.w, self.h
        ow, oh = size or (rng.randint(2, max(2, w // 2)), rng.randint(2, max(2, h // 2)))
        if colour is None:
            colour = rng.choice([bytes(rng.randrange(256) for _ in range(3)), b'\0\0\0',
                                 b'\xfe\xfe\xfe', b'\xff\xff\xff', b'\x80\x80\x80'])
        kind = kind or rng.choice(['rect', 'rect', 'triangle', 'diamond', 'ragged', 'ell', 'u'])
        runs = self.shape_runs(kind, ow, oh)
        x = rng.randint(-ow, w)
        y = rng.randint(-oh, h)
        vx = 0 if still else rng.choice([-3, -2, -1, 0, 1, 2, 3, 4])
        vy = 0 if still else rng.choice([-2, -1, 0, 0, 1, 2])
        start = rng.randint(0, 20)
        life = rng.randint(3, 40)
        self.objects.append([x, y, runs, vx, vy, colour, start, start + life])

    def render(self, t, width=None, height=None):
        """Frame t as the byte buffer the library reads (rows padded)."""
        w = self.w if width is None else width
        h = self.h if height is None else height
        rng = self.rng
        f = self.brightness
        for t0 in sorted(self.steps):
            if t0 <= t:
                f = self.steps[t0]
        f = max(0.0, f + self.drift * t)
        scale = bytes(min(255, int(v * f + 0.5)) for v in range(256))
        stride = stride3(w)
        pad = stride - 3 * w
        out = bytearray()
        noise = self.noise
        if noise:
            ntab = [128 + (b % (2 * noise + 1)) - noise for b in range(256)]
        for y in range(h):
            src = self.bg[y % self.h]
            if len(src) < 3 * w:
                src = (src * (3 * w // max(1, len(src)) + 1))
            row = src[:3 * w].translate(scale)
            if noise:
                nb = rng.randbytes(3 * w)
                row = bytes([CLAMP[v + ntab[n]] for v, n in zip(row, nb)])
            out += row
            out += rng.randbytes(pad)
        for x0, y0, x1, y1, col in self.static:
            for y in range(max(0, y0), min(h, y1)):
                a, b = max(0, x0), min(w, x1)
                if a < b:
                    out[y * stride + 3 * a:y * stride + 3 * b] = col * (b - a)
        for ob in self.objects:
            x, y, runs, vx, vy, col, start, end = ob
            if not (start <= t < end):
                continue
            k = t - start
            ox, oy = x + vx * k, y + vy * k
            for dy, dx0, dx1 in runs:
                yy = oy + dy
                a, b = max(0, ox + dx0), min(w, ox + dx1)
                if 0 <= yy < h and a < b:
                    out[yy * stride + 3 * a:yy * stride + 3 * b] = col * (b - a)
        for t0, t1, x0, y0, x1, y1, col in self.blips:
            if t0 <= t < t1:
                for yy in range(max(0, y0), min(h, y1)):
                    a, b = max(0, x0), min(w, x1)
                    if a < b:
                        out[yy * stride + 3 * a:yy * stride + 3 * b] = col * (b - a)
        return bytes(out)


class Speckle:
    """Frames of grey 0 and grey 254 pixels in a random speckle whose
    density changes from frame to frame."""

    def __init__(self, rng, w, h):
        self.rng = rng
        self.w = w
        self.h = h

    def render(self, t, width=None, height=None):
        rng = self.rng
        w = self.w if width is None else width
        h = self.h if height is None else height
        dens = rng.choice([0.05, 0.15, 0.3, 0.5, 0.7])
        stride = stride3(w)
        out = bytearray()
        for y in range(h):
            row = b''.join(b'\xfe\xfe\xfe' if rng.random() < dens else b'\0\0\0'
                           for _ in range(w))
            out += row + bytes(stride - 3 * w)
        return bytes(out)


def _speckle_frame(rng, w, h, dens):
    stride = stride3(w)
    light = [[rng.random() < dens for _ in range(w)] for _ in range(h)]
    out = bytearray()
    for y in range(h):
        out += b''.join(b'\xfe\xfe\xfe' if v else b'\0\0\0' for v in light[y])
        out += bytes(stride - 3 * w)
    return bytes(out)


def _model_flag(w, h, frame, light, contrast):
    """Flag of one always-present whole-frame area on its first detection
    frame, as the model computes it under either pop rule."""
    m = CoilModel()
    m.use_front_light_trigger(1)
    m.set_light_param(*light)
    m.init()
    m.set_areas(1, [(0, 0, w - 1, 0, w - 1, h - 1, 0, h - 1)], [-1.0])
    m.get_results(frame, w, h, 3, [0])
    res = [0]
    coil_model.CONTRAST = contrast
    try:
        m.get_results(frame, w, h, 3, res)
    finally:
        coil_model.CONTRAST = None
    return res[0]


def craft_pop_order_scene(rng, attempts=400):
    """A speckle frame and light limits whose flag depends on the order in
    which the fill takes its pending spans.  Returns (w, h, frame, light)
    or None."""
    contrast = rng.choice(['top_only', 'next_row'])
    for _ in range(attempts):
        w, h = rng.randint(10, 28), rng.randint(6, 16)
        frame = _speckle_frame(rng, w, h, rng.uniform(0.3, 0.75))
        # The mask as the front-light test writes it for a whole-frame area.
        pl = coil_model.Plane(w, h)
        stride = stride3(w)
        for y in range(1, h - 1):
            for x in range(1, w - 2):
                pl.buf[y * pl.stride + x] = 0 if frame[y * stride + 3 * x] else 255
        box = (1, 1, w - 3, h - 3)
        area = coil_model.Area((0, 0, w - 1, 0, w - 1, h - 1, 0, h - 1), -1.0)
        found = None
        for y, xs in area.grid_rows(w, h):
            for x in xs:
                alt = coil_model.Plane(w, h)
                alt.buf[:] = pl.buf
                coil_model.CONTRAST = contrast
                try:
                    b = coil_model.seed_fill(alt, box, x, y)
                finally:
                    coil_model.CONTRAST = None
                a = coil_model.seed_fill(pl, box, x, y)
                if a != b and a[0] != -1:
                    found = (a, b)
                    break
            if found:
                break
        if not found:
            continue
        (ra, rect_a, _), (rb, rect_b, _) = found
        width = min(rect_a[2], rect_b[2])
        for light in [(128, -5, width, rect_a[3], rect_a[3]),
                      (128, -5, width, rect_b[3], rect_b[3]),
                      (128, max(rect_a[2], rect_b[2]), 60, rect_a[3], rect_a[3]),
                      (128, -5, width, 0, 40)]:
            if _model_flag(w, h, frame, light, None) != _model_flag(w, h, frame, light, contrast):
                return w, h, frame, light
    return None


def _uniform_frame(w, h, b):
    stride = stride3(w)
    return (bytes([b]) * (3 * w) + bytes(stride - 3 * w)) * h


def craft_trend_scene(rng):
    """Uniform grey levels whose area means sit exactly on, or one off, the
    edges of the steady band (10a = 11b, 10a = 9b).  Returns (w, h, quad,
    levels) with levels[0] the baseline level."""
    w, h = rng.randint(8, 40), rng.randint(3, 30)
    quad = (0, 0, w - 1, 0, w - 1, h - 1, 0, h - 1)
    n = sum(len(xs) for _, xs in coil_model.Area(quad, 0.0).grid_rows(w, h))
    lut = coil_model.grey_lut()
    sc = 1 + n
    plain = {b: (1 + lut[(b >> 1) * 16513] * n) // sc for b in range(256)}
    pairs = []
    for b0 in range(256):
        m0 = max(10, plain[b0])
        for b1 in range(256):
            m1 = plain[b1]
            for edge in (11 * m0, 9 * m0):
                if abs(10 * m1 - edge) <= 1:
                    pairs.append((b0, b1))
    if not pairs:
        return None
    b0, b1 = rng.choice(pairs)
    return w, h, quad, (b0, b1)


def _model_run(calls, contrast):
    """Results of a call list on a fresh model, under the exact rules or a
    near miss."""
    m = CoilModel()
    out = []
    coil_model.CONTRAST = contrast
    try:
        for c in calls:
            if c[0] == 'light':
                m.set_light_param(*c[1])
            elif c[0] == 'areas':
                m.init()
                m.use_front_light_trigger(1)
                m.set_areas(len(c[1]), c[1], c[2])
            else:
                res = [-7] * 4
                m.get_results(c[1], c[2], c[3], 3, res)
                out.append(res)
    finally:
        coil_model.CONTRAST = None
    return out


def craft_multi_area_scene(rng, contrast, attempts=150):
    """Speckle frames, overlapping always-present areas and light limits on
    which the exact rules and the near miss give different flags."""
    for _ in range(attempts):
        w, h = rng.randint(10, 36), rng.randint(6, 24)
        n = rng.randint(2, 3)
        quads = [(0, 0, w - 1, 0, w - 1, h - 1, 0, h - 1)] if rng.random() < 0.5 else []
        while len(quads) < n:
            quads.append(rand_quad(rng, w, h))
        mw, mh = rng.randint(-1, 3), rng.randint(-1, 3)
        calls = [('light', (128, mw, mw + rng.randint(0, 6), mh, mh + rng.randint(0, 6))),
                 ('areas', quads, [-1.0] * n)]
        for _ in range(3):
            calls.append(('frame', _speckle_frame(rng, w, h, rng.uniform(0.2, 0.7)), w, h))
        if _model_run(calls, None) != _model_run(calls, contrast):
            return calls
    return None


def craft_box_edge_scene(rng, contrast):
    """A dark frame with a light strip that runs from a seed of a narrower
    area out of its search box, by one column ('box_wider') or one row
    ('box_taller').  A whole-frame area before it writes the strip into the
    mask beyond the narrower box, and its own seeds never reach it: strips
    lie on rows 2 mod 3 below row 2 and columns 2 mod 3."""
    for _ in range(40):
        w, h = rng.randint(18, 40), rng.randint(16, 30)
        top = rng.choice([5, 8])
        bottom = rng.randint(top + 3, h - 3)
        right = rng.randint(12, w - 5)
        left = rng.randint(1, 4)
        a = 3 * (max(left, 1) // 3) or 3
        stride = stride3(w)
        px = bytearray(stride * h)

        def light(x, y):
            px[y * stride + 3 * x:y * stride + 3 * x + 3] = b'\xfe\xfe\xfe'
        if contrast == 'box_wider':
            for x in range(a, min(w - 3, right + 2 + rng.randint(0, 2))):
                light(x, top)
        else:
            c = rng.choice([x for x in range(a + 2, right - 1) if x % 3 == 2])
            for x in range(a, c + 1):
                light(x, top)
            for y in range(top, min(h - 2, bottom + 2 + rng.randint(0, 2))):
                light(c, y)
        frame = bytes(px)
        quads = [(0, 0, w - 1, 0, w - 1, h - 1, 0, h - 1),
                 (left, top, right, top, right, bottom, left, bottom)]
        # A minimum of 2 keeps out the one-pixel boxes of wall seeds.
        for k in range(2, 45):
            lim = (128, 2, k, -5, 40) if contrast == 'box_wider' else (128, -5, 40, 2, k)
            calls = [('light', lim), ('areas', quads, [-1.0, -1.0]),
                     ('frame', frame, w, h), ('frame', frame, w, h)]
            if _model_run(calls, None) != _model_run(calls, contrast):
                return calls
    return None


def _diff_and_p(w, h, quad, b0, b1):
    """For a whole-frame area whose baseline is frame b0: the summed
    background difference of frame b1, and the exact and float32 P."""
    m = CoilModel()
    m.init()
    m.set_areas(1, [quad], [0.0])
    m.get_results(b0, w, h, 3, [0])
    area = m.areas[0]
    m.frame.pixels = b1
    m._grey = None
    m._median = {}
    bgp = m.planes[2]
    d = 0
    total = 1
    for y, xs in area.grid_rows(w, h):
        for x in xs:
            g = m._median_grey(x, y)
            d += abs(g - bgp.buf[y * bgp.stride + x])
            total += g
    sc = area.sample_count
    ref = max(total // sc, area.stats[4], 10)
    return d, ref * sc, coil_model.int_to_f32(ref * sc)


def _with_block(rng, frame, w, h, size):
    """The frame with one block of a random grey painted in."""
    stride = stride3(w)
    px = bytearray(frame)
    x0, y0 = rng.randint(0, w - 4), rng.randint(0, h - 4)
    x1, y1 = min(w, x0 + rng.randint(*size)), min(h, y0 + rng.randint(*size))
    g = bytes([rng.randrange(256)] * 3)
    for y in range(y0, y1):
        px[y * stride + 3 * x0:y * stride + 3 * x1] = g * (x1 - x0)
    return bytes(px)


def _thresh_between(d, p_a, p_b):
    """A float32 t near d / p_a with (p_a * t < d) != (p_b * t < d), or None.
    Products are exact in doubles."""
    t0 = f32(d / p_a)
    bits = struct.unpack('<I', struct.pack('<f', t0))[0]
    for k in range(-300, 300):
        t = coil_model.f32_bits(bits + k)
        if (p_a * t < d) != (p_b * t < d):
            return t
    return None


def craft_limit_rounding_scene(rng):
    """Uniform frames and one small change whose summed difference D sits
    within float32 rounding of the presence limit: the exact product of the
    two floats lies just below D (a presence), while the product rounded to
    float32 would reach D (none).  Returns (w, h, quad, frames, thresh)."""
    for _ in range(30):
        w, h = rng.randint(12, 60), rng.randint(8, 40)
        quad = (0, 0, w - 1, 0, w - 1, h - 1, 0, h - 1)
        b0 = _uniform_frame(w, h, rng.randint(40, 200))
        b1 = _with_block(rng, b0, w, h, (3, 8))
        d, _, P = _diff_and_p(w, h, quad, b0, b1)
        if d < 2:
            continue
        t = f32(d / P)
        bits = struct.unpack('<I', struct.pack('<f', t))[0]
        for k in range(1, 64):
            t = coil_model.f32_bits(bits - k)
            exact = P * t
            if exact < d - 1:
                break
            if d - 1 < exact < d and f32(exact) >= d:
                return w, h, quad, [b0, b1, b0, b1], t
    return None


def craft_big_p_scene(rng):
    """A frame big enough that P = reference x sampleCount exceeds 2**24 and
    is not a float32 value, and a threshold for which P rounded to float32
    and P kept exact give different presence decisions."""
    for _ in range(6):
        w, h = rng.randint(1000, 1150), rng.randint(590, 640)
        quad = (0, 0, w - 1, 0, w - 1, h - 1, 0, h - 1)
        b0 = _uniform_frame(w, h, rng.choice([250, 252, 254, 255]))
        b1 = _with_block(rng, b0, w, h, (6, 40))
        d, p_exact, p32 = _diff_and_p(w, h, quad, b0, b1)
        if d < 1 or p32 == p_exact:
            continue
        t = _thresh_between(d, p32, float(p_exact))
        if t is not None:
            return w, h, quad, [b0, b1, b0, b1], t
    return None


CRAFTED_KINDS = ['pop_order', 'area_limit', 'trend_edge', 'row_stop', 'box_edge',
                 'limit_rounding', 'big_p']


def run_crafted_scene(pair, rng, cov, kind=None):
    """Scenes built so that one exact detail decides a flag."""
    kind = kind or rng.choice(['pop_order', 'area_limit', 'trend_edge', 'trend_edge', 'row_stop',
                               'box_edge', 'limit_rounding'])
    if kind in ('limit_rounding', 'big_p'):
        big = kind == 'big_p' or rng.random() < 0.08
        found = craft_big_p_scene(rng) if big else craft_limit_rounding_scene(rng)
        kind = 'big_p' if big else kind
        if found is None:
            cov['crafted_%s_not_found' % kind] += 1
            return
        w, h, quad, frames, t = found
        cov['crafted_%s_scenes' % kind] += 1
        pair.front_light(0)
        pair.set_areas(2, [quad, quad], [t, f32(-t)])
        for f in frames:
            pair.frame(f, w, h, 3, 4)
        return
    if kind in ('row_stop', 'box_edge'):
        if kind == 'row_stop':
            calls = craft_multi_area_scene(rng, 'no_row_stop')
        else:
            calls = craft_box_edge_scene(rng, rng.choice(['box_wider', 'box_taller']))
        if calls is None:
            cov['crafted_%s_not_found' % kind] += 1
            return
        cov['crafted_%s_scenes' % kind] += 1
        for c in calls:
            if c[0] == 'light':
                pair.light(*c[1])
            elif c[0] == 'areas':
                pair.front_light(1)
                pair.set_areas(len(c[1]), c[1], c[2])
            else:
                pair.frame(c[1], c[2], c[3], 3, 4)
        return
    if kind == 'trend_edge':
        found = craft_trend_scene(rng)
        if found is None:
            return
        w, h, quad, (b0, b1) = found
        cov['crafted_trend_edge_scenes'] += 1
        # Every frame counts as still, so the first still frame after the
        # baseline is the one refresh attempt; whether it copied the
        # background shows when the levels toggle afterwards.
        pair.front_light(0)
        pair.frame_count(rng.choice([1, 1, 2, 3]))
        pair.disturb(f32(rng.choice([0.5, 1.0, 2.0])))
        pair.set_areas(2, [quad, quad], [f32(rng.uniform(0.0, 0.02)), -1.0])
        seq = [b0] + [b1] * rng.randint(1, 4)
        for _ in range(rng.randint(2, 6)):
            seq += [rng.choice([b0, b1])] * rng.randint(1, 3)
        for b in seq:
            pair.frame(_uniform_frame(w, h, b), w, h, 3, 4)
        return
    if kind == 'pop_order':
        found = craft_pop_order_scene(rng)
        if found is None:
            return
        w, h, frame, light = found
        cov['crafted_pop_order_scenes'] += 1
        pair.front_light(1)
        pair.light(*light)
        pair.set_areas(1, [(0, 0, w - 1, 0, w - 1, h - 1, 0, h - 1)], [-1.0])
        pair.frame(frame, w, h, 3, 4)
        pair.frame(frame, w, h, 3, 4)
        return
    # A blob whose blobTotal equals the area limit is rejected; one less
    # is accepted.  The limit wraps in 16 bits, so a huge maximum width
    # with a small maximum height gives a small area limit.
    w, h = rng.randint(10, 30), rng.randint(6, 20)
    max_h = rng.choice([4, 8, 16])
    cov['crafted_area_limit_scenes'] += 1
    pair.front_light(1)
    pair.set_areas(1, [(0, 0, w - 1, 0, w - 1, h - 1, 0, h - 1)], [-1.0])
    for t in range(rng.randint(4, 12)):
        k = rng.randint(0, 4)
        pair.light(128, -3, 65536 // max_h + k, 0, max_h)
        pair.frame(_speckle_frame(rng, w, h, rng.uniform(0.2, 0.7)), w, h, 3, 4)


def rand_thresh(rng):
    r = rng.random()
    if r < 0.62:
        return f32(rng.uniform(0.02, 0.4))
    if r < 0.70:
        return 0.0
    if r < 0.75:
        return f32(-rng.uniform(0.0, 1.0))
    if r < 0.79:
        return f32(rng.choice([1e-30, 1e-7, 1.4e-45, -0.0, -1e-30, -1e-7, -1.4e-45]))
    if r < 0.84:
        return f32(rng.uniform(0.4, 3.0))
    if r < 0.88:
        return f32(rng.choice([1e20, 3.4e38, 1e10, 9.2e18 / 1000]))
    if r < 0.92:
        return rng.choice([float('inf'), float('-inf')])
    if r < 0.95:
        return float('nan')
    return f32(rng.choice([0.05, 0.1, 0.15, 0.2, 0.25]))


def rand_disturb(rng):
    r = rng.random()
    if r < 0.45:
        return f32_bits(0x3E19999A)
    if r < 0.72:
        return f32(rng.uniform(0.01, 0.6))
    if r < 0.80:
        return 0.0
    if r < 0.84:
        return f32(-rng.uniform(0, 1))
    if r < 0.88:
        return rng.choice([float('inf'), float('-inf'), float('nan')])
    if r < 0.92:
        return f32(rng.choice([1e-30, 1e30, 2.0]))
    return f32(rng.uniform(1.0, 5.0))


def rand_frame_count(rng):
    r = rng.random()
    if r < 0.55:
        return rng.randint(1, 6)
    if r < 0.65:
        return 0
    if r < 0.72:
        return rng.randint(-5, -1)
    if r < 0.85:
        return 20
    if r < 0.95:
        return rng.randint(7, 30)
    return rng.choice([-2147483648, 2147483647, 1])


def rand_light(rng):
    r = rng.random()
    if r < 0.6:
        # Limits that fit blobs of a few pixels on small frames.
        mw = rng.randint(1, 6)
        mh = rng.randint(1, 6)
        return (rng.choice([150, 180, 200, 220, 240, 254]), mw, mw + rng.randint(4, 50),
                mh, mh + rng.randint(4, 40))
    if r < 0.7:
        return (200, 20, 80, 20, 80)
    if r < 0.78:
        return (rng.choice([0, -5, 255, 300, 65556, -65336]), rng.randint(-3, 4),
                rng.randint(0, 60), rng.randint(-3, 4), rng.randint(0, 60))
    if r < 0.86:
        return (200, 2, 200, 2, 200)  # area limit wraps negative: nothing accepted
    if r < 0.93:
        return (rng.randint(100, 254), 0, 181, 0, 181)  # 32761: just fits
    return tuple(rng.randint(-70000, 70000) for _ in range(5))


def rand_quad(rng, w, h):
    kind = rng.random()
    if kind < 0.35:  # inside
        x0, x1 = sorted(rng.randint(0, w) for _ in range(2))
        y0, y1 = sorted(rng.randint(0, h) for _ in range(2))
        j = lambda: rng.randint(-3, 3)  # noqa: E731
        return (x0 + j(), y0 + j(), x1 + j(), y0 + j(), x1 + j(), y1 + j(), x0 + j(), y1 + j())
    if kind < 0.55:  # partly outside
        return tuple(rng.randint(-30, w + 30) if i % 2 == 0 else rng.randint(-30, h + 30)
                     for i in range(8))
    if kind < 0.62:  # degenerate: a point or a line
        x, y = rng.randint(-2, w + 2), rng.randint(-2, h + 2)
        if rng.random() < 0.5:
            return (x, y) * 4
        x2, y2 = rng.randint(-2, w + 2), rng.randint(-2, h + 2)
        return (x, y, x2, y2, x2, y2, x, y)
    if kind < 0.72:  # self-crossing bow tie
        x0, x1 = sorted(rng.randint(-5, w + 5) for _ in range(2))
        y0, y1 = sorted(rng.randint(-5, h + 5) for _ in range(2))
        return (x0, y0, x1, y1, x1, y0, x0, y1)
    if kind < 0.82:  # thin
        x = rng.randint(0, w)
        y0, y1 = sorted(rng.randint(0, h) for _ in range(2))
        d = rng.randint(0, 4)
        return (x, y0, x + d, y0, x + d + rng.randint(-3, 3), y1, x, y1)
    if kind < 0.97:  # whole frame or most of it
        return (rng.randint(-10, 4), rng.randint(-10, 4), w + rng.randint(-4, 10),
                rng.randint(-10, 4), w + rng.randint(-4, 10), h + rng.randint(-4, 10),
                rng.randint(-10, 4), h + rng.randint(-4, 10))
    if kind < 0.985:  # very tall (more than 32767 rows: the area has no grid)
        return (rng.randint(-50, 50), -32768, rng.randint(-50, w + 50), rng.randint(-100, 100),
                rng.randint(0, w), 32767, rng.randint(-50, 50), rng.randint(0, 100))
    # tall, but within 16 bits of rows: rows clamp to the frame edges
    return (rng.randint(-10, w), rng.randint(-2000, 0), rng.randint(0, w + 10),
            rng.randint(-1000, h), rng.randint(0, w), rng.randint(h, 2500),
            rng.randint(-10, w), rng.randint(0, h))


def rand_area_set(rng, w, h, counters):
    if w * h > 6000:
        # On big frames, quads thousands of rows tall would cost the model
        # minutes (every visited span clamps to an edge row and is sampled
        # again); their rows are kept near the frame there.
        out = _rand_area_set(rng, w, h, counters)
        out['quads'] = [tuple(max(-12, min(h + 12, v)) if i % 2 else v for i, v in enumerate(q))
                        if all(-32768 <= v <= 32767 for v in q) else q
                        for q in out['quads']]
        return out
    return _rand_area_set(rng, w, h, counters)


def _rand_area_set(rng, w, h, counters):
    r = rng.random()
    if r < 0.04:
        counters['area_set_empty'] += 1
        return dict(count=rng.choice([0, -1, -32768]), quads=[], sens=[])
    if r < 0.06:
        counters['area_set_null'] += 1
        n = rng.randint(1, 3)
        return dict(count=n, quads=[rand_quad(rng, w, h) for _ in range(n)],
                    sens=[rand_thresh(rng) for _ in range(n)],
                    null_quads=rng.random() < 0.5, null_sens=True)
    if r < 0.075:
        counters['area_set_bad_vertex'] += 1
        n = rng.randint(1, 3)
        quads = [list(rand_quad(rng, w, h)) for _ in range(n)]
        quads[rng.randrange(n)][rng.randrange(8)] = rng.choice([32768, -32769, 100000, -2**31])
        return dict(count=n, quads=[tuple(q) for q in quads], sens=[0.1] * n)
    if r < 0.08:
        counters['area_set_too_many'] += 1
        n = 32768
        return dict(count=n, quads=[(1, 1, 5, 1, 5, 5, 1, 5)] * n, sens=[0.1] * n)
    n = rng.choice([1, 1, 2, 2, 3, 3, 4, 5, 6, 8])
    if rng.random() < 0.03:
        n = rng.randint(20, 60)
        counters['area_set_many'] += 1
    return dict(count=n, quads=[rand_quad(rng, w, h) for _ in range(n)],
                sens=[rand_thresh(rng) for _ in range(n)])


SIZES_EDGE = [(1, 3), (2, 5), (7, 7), (8, 3), (9, 4), (10, 3), (11, 5), (12, 12), (13, 3),
              (16, 4), (4, 40), (10921, 3)]


def rand_size(rng):
    r = rng.random()
    if r < 0.12:
        return rng.choice(SIZES_EDGE)
    if r < 0.2:
        return (rng.randint(60, 140), rng.randint(40, 100))
    if r < 0.215:
        return rng.choice([(352, 288), (320, 240), (350, 287)])
    return (rng.randint(8, 96), rng.randint(3, 72))


def set_all_settings(pair, rng):
    pair.frame_count(rand_frame_count(rng))
    pair.disturb(rand_disturb(rng))
    r = rng.random()
    pair.front_light(1 if r < 0.4 else (0 if r < 0.8 else rng.choice([2, -1, 257, 65537])))
    pair.light(*rand_light(rng))


def run_scene(pair, rng, index, cov, crafted=None):
    """One scene: a fresh init, settings, areas and a run of frames with
    events sprinkled in."""
    model = pair.m
    if index == 0:
        # Straight from load: calls before init, and the load-time settings.
        cov['calls_before_init'] += 1
        pair.set_areas(1, [(1, 1, 9, 1, 9, 9, 1, 9)], [0.1])
        pair.frame(bytes(stride3(12) * 12), 12, 12, 3, 2)
        pair.init()
        pair.frame(bytes(stride3(12) * 12), 12, 12, 3, 2)
    else:
        pair.release()
        if rng.random() < 0.1:
            pair.release()  # a second release does nothing
        early = rng.random() < 0.3
        if early:
            # Settings given while released must survive the init.
            set_all_settings(pair, rng)
            cov['settings_before_init'] += 1
        pair.init()
        if rng.random() < 0.05:
            pair.init()  # a second init starts afresh
        if not early:
            set_all_settings(pair, rng)

    if crafted or rng.random() < 0.1:
        run_crafted_scene(pair, rng, cov, crafted)
        return
    w, h = rand_size(rng)
    r = rng.random()
    flavour = ('general' if r < 0.4 else 'sensitive' if r < 0.62 else 'night' if r < 0.82
               else 'speckle')
    cov['scenes_' + flavour] += 1
    if flavour == 'night' and w * h > 6000:
        w, h = rng.randint(24, 80), rng.randint(16, 60)
    if flavour == 'general':
        rd = Renderer(rng, w, h)
        rd.noise = rng.choice([0, 0, 1, 2, 3, 5, 8, 20])
        if rng.random() < 0.3:
            rd.drift = rng.choice([-1, 1]) * rng.uniform(0.005, 0.05)
        for _ in range(rng.choice([0, 1, 1, 2, 3, 5])):
            rd.add_object()
        if rng.random() < 0.45:
            # Light blocks of grey 254 that the front-light test can accept.
            for _ in range(rng.randint(1, 3)):
                rd.add_object(colour=b'\xfe\xfe\xfe',
                              size=(rng.randint(2, 14), rng.randint(2, 12)),
                              still=rng.random() < 0.3)
        if rng.random() < 0.25:
            x0, y0 = rng.randrange(w), rng.randrange(h)
            rd.static.append((x0, y0, x0 + rng.randint(1, 30), y0 + rng.randint(1, 20), b'\0\0\0'))
        area_set = rand_area_set(rng, w, h, cov)
    elif flavour == 'sensitive':
        # Exact repeats and sparse small changes against limits of a few
        # grey units: every refresh, still run and plane exchange shows up
        # in the flags.
        rd = Renderer(rng, w, h, bg_kind=rng.choice(['flat', 'texture', 'gradient', 'blocks',
                                                     'dark']))
        rd.noise = rng.choice([0, 0, 0, 1])
        for _ in range(rng.randint(0, 8)):
            t0 = rng.randint(1, 40)
            x0, y0 = rng.randint(-2, w), rng.randint(-2, h)
            rd.blips.append((t0, t0 + rng.choice([1, 1, 2, 3, 6]), x0, y0,
                             x0 + rng.randint(1, 6), y0 + rng.randint(1, 5),
                             bytes(rng.randrange(256) for _ in range(3))))
        for _ in range(rng.randint(0, 3)):
            rd.steps[rng.randint(1, 40)] = rng.uniform(0.6, 1.4)
        if rng.random() < 0.3:
            rd.add_object(size=(rng.randint(1, 4), rng.randint(1, 4)))
        pair.frame_count(rng.choice([0, 1, 1, 2, 2, 3, 4, 6]))
        pair.disturb(f32(rng.choice([0.0, 0.0, rng.uniform(1e-5, 2e-3), rng.uniform(0.002, 0.05),
                                     f32_bits(0x3E19999A)])))
        if rng.random() < 0.5:
            pair.front_light(0)
        n = rng.choice([1, 2, 3, 4, 6])
        area_set = dict(count=n, quads=[rand_quad(rng, w, h) for _ in range(n)],
                        sens=[f32(rng.choice([0.0, 0.0, rng.uniform(1e-5, 2e-3),
                                              rng.uniform(0.002, 0.05), -0.0, -1e-9]))
                              for _ in range(n)])
    elif flavour == 'speckle':
        # A fresh light/dark speckle every frame and an area that is always
        # present: the front-light test runs on every frame, and which blob
        # the fill measures, and how, decides the flag.
        w, h = rng.randint(6, 40), rng.randint(4, 30)
        rd = Speckle(rng, w, h)
        pair.front_light(1)
        mw, mh = rng.randint(-1, 3), rng.randint(-1, 3)
        pair.light(128, mw, mw + rng.randint(0, 5), mh, mh + rng.randint(0, 5))
        n = rng.choice([1, 1, 2, 3])
        area_set = dict(count=n, quads=[rand_quad(rng, w, h) for _ in range(n)],
                        sens=[f32(rng.choice([-1.0, -1.0, -0.0001, 0.0, 0.01]))
                              for _ in range(n)])
    else:
        # Night: dark ground, light shapes of many forms, limits near their
        # sizes, front-light triggering on.
        around = rng.randint(150, 250)
        rd = Renderer(rng, w, h, bg_kind=rng.choice(['dark', 'dark', 'flat', 'near', 'near']),
                      around=around)
        rd.noise = rng.choice([0, 0, 2, 5])
        for _ in range(rng.randint(1, 5)):
            rd.add_object(colour=rng.choice([b'\xfe\xfe\xfe', b'\xff\xff\xff',
                                             bytes((around,) * 3), b'\0\0\0']),
                          size=(rng.randint(2, 16), rng.randint(2, 14)),
                          still=rng.random() < 0.25)
        pair.front_light(1)
        mw, mh = rng.randint(1, 4), rng.randint(1, 4)
        pair.light(rng.choice([around, around - 10, 200, 150, 254, rng.randint(1, 255)]),
                   mw, mw + rng.randint(1, 14), mh, mh + rng.randint(1, 12))
        n = rng.choice([1, 1, 2, 3, 4])
        area_set = dict(count=n, quads=[rand_quad(rng, w, h) for _ in range(n)],
                        sens=[f32(rng.choice([0.0, rng.uniform(1e-4, 0.05), rand_thresh(rng)]))
                              for _ in range(n)])

    if rng.random() < 0.08:
        # A frame after init but before any areas: taken, nothing done.
        pair.frame(rd.render(0), w, h, 3, 2)
    pair.set_areas(**area_set)
    n_res = max(1, min(area_set['count'], 32767)) + 3

    n_frames = rng.randint(12, 45)
    if w * h > 6000:
        n_frames = rng.randint(6, 20)
    cur_w, cur_h = w, h
    for t in range(n_frames):
        ev = rng.random()
        if ev < 0.03:
            set_all_settings(pair, rng) if rng.random() < 0.3 else [
                lambda: pair.frame_count(rand_frame_count(rng)),
                lambda: pair.disturb(rand_disturb(rng)),
                lambda: pair.front_light(rng.choice([0, 1, 1, 2])),
                lambda: pair.light(*rand_light(rng))][rng.randrange(4)]()
            cov['settings_changed_mid_stream'] += 1
        elif ev < 0.05:
            area_set = rand_area_set(rng, cur_w, cur_h, cov)
            pair.set_areas(**area_set)
            n_res = max(n_res, min(max(area_set['count'], 1), 32767) + 3)
            cov['areas_replaced_mid_stream'] += 1
        elif ev < 0.065:
            # Frame size change (the library takes a new baseline).
            cur_w, cur_h = rand_size(rng)
            if cur_w > 1000:
                cur_w = 40
            cov['frame_size_changes'] += 1
        elif ev < 0.07 and cur_w != w:
            cur_w, cur_h = w, h
        elif ev < 0.095:
            # A refused frame of some kind.
            kind = rng.randrange(6)
            cov['refused_frame_attempts'] += 1
            if kind == 0:
                pair.frame(rd.render(t, cur_w, cur_h), cur_w, cur_h, 3, n_res, null_pixels=True)
            elif kind == 1:
                pair.frame(rd.render(t, cur_w, cur_h), cur_w, cur_h, 3, n_res, null_results=True)
            elif kind == 2:
                hh = rng.choice([2, 1, 0, -3])
                pair.frame(rd.render(t, cur_w, 3)[:stride3(cur_w) * max(0, hh)] or b'\0',
                           cur_w, hh, 3, n_res)
            elif kind == 3:
                if rng.random() < 0.3:
                    pair.frame(b'\0' * 64, 0, 0, 3, n_res)
                else:
                    pair.frame(b'\0' * 64, rng.choice([0, -1, -40, 10922, 20000]), cur_h, 3, n_res)
            elif kind == 4:
                # Another size with bytes per pixel other than 3.
                pair.frame(rd.render(t, cur_w + 1, cur_h), cur_w + 1, cur_h,
                           rng.choice([1, 4, 0, -3, 65539]), n_res)
            else:
                # Same size, other bytes per pixel: geometry kept, accepted.
                pair.frame(rd.render(t, cur_w, cur_h), cur_w, cur_h,
                           rng.choice([1, 2, 4, 0, -3, 7, -2147483648]), n_res)
                cov['same_size_other_bpp'] += 1
            continue
        elif ev < 0.1:
            # Sizes beyond 16 bits, also negative 32-bit ones: the low 16
            # bits are the size.
            dw, dh = rng.choice([(65536, 0), (65536, 0), (-65536, 0), (0, 65536), (0, -65536),
                                 (131072, 65536)])
            pair.frame(rd.render(t, cur_w, cur_h), cur_w + dw, cur_h + dh, 3, n_res)
            cov['width_beyond_16_bits'] += 1
            continue
        elif ev < 0.103:
            pair.release()
            pair.frame(rd.render(t, cur_w, cur_h), cur_w, cur_h, 3, n_res)
            pair.set_areas(**area_set)
            pair.init()
            pair.frame(rd.render(t, cur_w, cur_h), cur_w, cur_h, 3, n_res)
            if rng.random() < 0.5:
                pair.frame(rd.render(t, cur_w, cur_h), cur_w, cur_h, 4, n_res)
            pair.set_areas(**area_set)
            cov['release_init_mid_stream'] += 1
        reserved = rng.choice([0, 0, -1, 123456])
        pair.frame(rd.render(t, cur_w, cur_h), cur_w, cur_h, 3, n_res, reserved=reserved)
    del model


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--lib', default='build/libtarvocoil.so')
    ap.add_argument('--scenes', type=int, default=100)
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--first', type=int, default=0, help='index of the first scene to run')
    ap.add_argument('--self-check', action='store_true',
                    help='check the model against known values and worked examples only')
    ap.add_argument('--crafted', choices=CRAFTED_KINDS,
                    help='make every scene after the first a crafted scene of this kind')
    ap.add_argument('--verbose', action='store_true')
    args = ap.parse_args()

    import model_checks
    failed = model_checks.run_all(print)
    if failed:
        print('model-diff: model self-check failed')
        return 1
    if args.self_check:
        print('model self-check: %d passed, 0 failed' % len(model_checks.ALL_CHECKS))
        return 0

    native = Native(args.lib)
    model = CoilModel()
    cov = Counter()
    t0 = time.time()
    passed = 0
    for k in range(args.first, args.first + args.scenes):
        log = []
        pair = Pair(native, model, log)
        rng = random.Random('%d:%d' % (args.seed, k))
        if k > 0 and k == args.first:
            # Bring a fresh process to the state a full run has at this point:
            # areas were installed once, so the handshake flag is up.
            pair.init()
            pair.set_areas(0, [], [])
        try:
            run_scene(pair, rng, k, cov, args.crafted if k > 0 else None)
        except Exception as e:  # a mismatch, or the model itself failing
            what = str(e) if isinstance(e, Mismatch) else 'model raised %r' % (e,)
            print('MISMATCH seed=%d scene=%d call#%d: %s' % (args.seed, k, len(log), what))
            print('  last calls of the scene:')
            for line in log[-12:]:
                print('    ' + line)
            print('  re-run: diff_test.py --lib %s --seed %d --first %d --scenes 1'
                  % (args.lib, args.seed, k))
            print('model-diff: %d passed, 1 failed' % passed)
            return 1
        passed += 1
        cov['frames'] += pair.calls['frames']
        if args.verbose:
            print('scene %d ok (%d calls, %.1fs)' % (k, len(log), time.time() - t0))
    took = time.time() - t0
    print('coverage over %d scenes (%.1fs):' % (passed, took))
    keys = sorted(set(model.counters) | set(cov))
    for key in keys:
        print('  %-34s %d' % (key, model.counters.get(key, 0) + cov.get(key, 0)))
    print('model-diff: %d passed, 0 failed' % passed)
    return 0


if __name__ == '__main__':
    sys.exit(main())
