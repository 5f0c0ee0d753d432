"""Reference model of the TarvoCoil library, written in plain Python.

One CoilModel object is one library instance: the eight calls, the
process-wide state they share and every fixed-width step (16-bit fields,
32-bit counters, 64-bit sums, float32 ratios).  The model is deliberately
slow and literal; it is the yardstick the native library is compared with.

Python integers never overflow, so every place where the library keeps a
narrower value goes through one of the width helpers below.
"""

import struct
from collections import Counter

# ---------------------------------------------------------------------------
# Width helpers


def s16(v):
    v &= 0xFFFF
    return v - 0x10000 if v & 0x8000 else v


def s32(v):
    v &= 0xFFFFFFFF
    return v - 0x100000000 if v & 0x80000000 else v


def u32(v):
    return v & 0xFFFFFFFF


INT64_MAX = (1 << 63) - 1
INT64_MIN = -(1 << 63)


def f32_bits(bits):
    """The float32 with the given bit pattern, as a Python float."""
    return struct.unpack('<f', struct.pack('<I', bits & 0xFFFFFFFF))[0]


def f32(x):
    """Round a Python float to float32 (nearest even); overflow gives inf."""
    if x != x or x in (float('inf'), float('-inf')):
        return x
    try:
        return struct.unpack('<f', struct.pack('<f', x))[0]
    except OverflowError:
        return float('inf') if x > 0 else float('-inf')


def int_to_f32(n):
    """Signed 64-bit integer to the nearest float32, ties to even.

    Done on the integer itself so that no intermediate double rounding can
    creep in for values beyond 2**53."""
    if n == 0:
        return 0.0
    neg = n < 0
    m = -n if neg else n
    shift = m.bit_length() - 24
    if shift > 0:
        q, r = divmod(m, 1 << shift)
        half = 1 << (shift - 1)
        if r > half or (r == half and (q & 1)):
            q += 1
        m = q << shift
    v = float(m)
    return -v if neg else v


def trunc_div(a, b):
    """Integer division truncating toward zero (C semantics)."""
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b >= 0) else -q


def limit_from_product(prod):
    """A float product truncated toward zero to int64.

    NaN yields None (every comparison against it is false); values beyond
    the int64 range saturate to its nearest end."""
    if prod != prod:
        return None
    if prod >= 9223372036854775808.0:
        return INT64_MAX
    if prod < -9223372036854775808.0:
        return INT64_MIN
    return int(prod)


# ---------------------------------------------------------------------------
# Grey table and median

W_RED = f32(0.299)
W_GREEN = f32(0.587)
W_BLUE = f32(0.114)

_LUT = None


def build_grey_lut():
    """The 2**21-entry table, computed with exact rational arithmetic on the
    float32 weights: each weight is an integer over 2**K."""
    K = 40  # every float32 in (0.1, 0.6) is an integer multiple of 2**-27
    a2 = int(W_RED * (1 << K))
    a1 = int(W_GREEN * (1 << K))
    a0 = int(W_BLUE * (1 << K))
    assert a2 / (1 << K) == W_RED and a1 / (1 << K) == W_GREEN and a0 / (1 << K) == W_BLUE
    half = 1 << (K - 1)
    lut = bytearray(1 << 21)
    blue_terms = [2 * i0 * a0 for i0 in range(128)]
    for i2 in range(128):
        for i1 in range(128):
            base = 2 * i2 * a2 + 2 * i1 * a1 + half
            start = (i2 << 14) | (i1 << 7)
            lut[start:start + 128] = bytes((base + t) >> K for t in blue_terms)
    return lut


def grey_lut():
    global _LUT
    if _LUT is None:
        _LUT = build_grey_lut()
    return _LUT


def lookup_grey(lut, p0, p1, p2):
    return lut[((p2 >> 1) << 14) | ((p1 >> 1) << 7) | (p0 >> 1)]


def bubble_median(slots):
    """The sampler's nine-slot bubble sort, step by step; returns slot 4."""
    s = list(slots)
    for i in range(1, 9):
        for j in range(8, i - 1, -1):
            if s[j] < s[j - 1]:
                s[j - 1], s[j] = s[j], s[j - 1]
    return s[4]


# ---------------------------------------------------------------------------
# Rasteriser


def rasterise_quad(q):
    """Spans (y, left, right) of one quad (x0, y0, x1, y1, x2, y2, x3, y3).

    Keeps the per-row minimum and maximum of the outline directly instead
    of the point list; that gives the same spans."""
    pts = [(q[0], q[1]), (q[2], q[3]), (q[4], q[5]), (q[6], q[7])]
    min_y = min(p[1] for p in pts)
    max_y = max(p[1] for p in pts)
    lo = {}
    hi = {}

    def add(x, y):
        if y in lo:
            if x < lo[y]:
                lo[y] = x
            if x > hi[y]:
                hi[y] = x
        else:
            lo[y] = x
            hi[y] = x

    for p in pts:
        add(p[0], p[1])
    for k in range(4):
        a = pts[k]
        b = pts[(k + 1) % 4]
        if a[1] != b[1]:
            s, e = (a, b) if a[1] < b[1] else (b, a)
            n = e[1] - s[1]
            dx = s32(e[0] - s[0])
            prod = 0
            for i in range(1, n):
                prod = s32(prod + dx)  # the running 32-bit product
                add(s32(s[0] + trunc_div(prod, n)), s[1] + i)
        else:
            # Points between two vertices of one row never widen a span.
            pass
    return [(y, lo[y], hi[y]) for y in range(min_y, max_y + 1)]


# ---------------------------------------------------------------------------
# Planes


class Plane:
    __slots__ = ('width', 'height', 'stride', 'buf')

    def __init__(self, width, height):
        self.width = s16(width)
        self.height = s16(height)
        self.stride = s16((self.width * 1 + 3) & ~3)
        # New planes are walls everywhere (byte 255).
        self.buf = bytearray(b'\xff') * max(0, self.stride * self.height)


def plane_from_rows(rows):
    """Test helper: a plane from a list of equal-length rows of bytes."""
    p = Plane(len(rows[0]), len(rows))
    for y, row in enumerate(rows):
        p.buf[y * p.stride:y * p.stride + len(row)] = bytes(row)
    return p


# ---------------------------------------------------------------------------
# Seed fill


def scan_left_zero(pl, x, y, limit):
    if limit < 0 or x < 0 or x >= pl.width or y < 0 or y >= pl.height or limit >= pl.width:
        return s16(limit - 1)
    if x < limit:
        return x
    base = y * pl.stride
    buf = pl.buf
    i = x
    while i >= limit:
        if buf[base + i] != 0:
            return i
        i -= 1
    return s16(limit - 1)


def scan_right_zero(pl, x, y, limit):
    if limit < 0 or x < 0 or x >= pl.width or y < 0 or y >= pl.height or limit >= pl.width:
        return s16(limit + 1)
    if x > limit:
        return x
    base = y * pl.stride
    buf = pl.buf
    i = x
    while i <= limit:
        if buf[base + i] != 0:
            return i
        i += 1
    return s16(limit + 1)


def scan_right_nonzero(pl, x, y, limit):
    if limit < 0 or x < 0 or x >= pl.width or y < 0 or y >= pl.height or limit >= pl.width:
        return s16(limit + 1)
    if x > limit:
        return x
    base = y * pl.stride
    buf = pl.buf
    i = x
    while i <= limit:
        if buf[base + i] == 0:
            return i
        i += 1
    return s16(limit + 1)


def fill_run(pl, lx, rx, y):
    if lx <= rx:
        start = y * pl.stride + lx
        pl.buf[start:start + (rx - lx + 1)] = b'\xff' * (rx - lx + 1)


# Scene crafting in the tests looks for scenes on which the exact rules and
# a near miss of them give different flags.  The near misses: 'top_only'
# (plain top-of-stack popping), 'next_row' (remembering the explored row
# y + d instead of the stored row), 'no_row_stop' (going on along a grid
# row after an accepted blob), 'box_wider' and 'box_taller' (a search box
# one column wider or one row taller).
# Only the crafting code sets it, and always back to None.
CONTRAST = None


def seed_fill(pl, rect, sx, sy, counters=None):
    """Returns (meanRun, blobRect, blobTotal), or (-1, None, None) for a
    seed outside the limits."""
    W = pl.width
    H = pl.height
    rx, ry, rw, rh = rect
    min_x = rx if 0 < rx < W - 1 else 1
    t = s16(rx + rw)
    max_x = t if 0 < t < W - 1 else W - 1
    min_y = ry if 0 < ry < H - 1 else 1
    t = s16(ry + rh)
    max_y = t if 0 < t < H - 1 else H - 1
    if sx < min_x or sx > max_x or sy < min_y or sy > max_y:
        return -1, None, None

    box_l = box_r = sx
    box_t = box_b = sy
    runs = 0
    total = 0
    last_row = -1
    stack = []  # bottom first, top last; entries (x1, x2, y, d)

    L = s16(scan_left_zero(pl, sx, sy, min_x) + 1)
    R = s16(scan_right_zero(pl, sx, sy, max_x) - 1)
    stack.append((L, R, sy, 1))
    stack.append((L, R, s16(sy + 1), -1))

    while stack:
        # Pop: from the second entry downward, the first with row lastRow;
        # else the top.
        idx = len(stack) - 1
        for k in range(len(stack) - 2, -1, -1):
            if stack[k][2] == last_row and CONTRAST != 'top_only':
                idx = k
                break
        if counters is not None and idx != len(stack) - 1:
            counters['fill_pop_below_top'] += 1
        x1, x2, y, d = stack.pop(idx)
        last_row = y if CONTRAST != 'next_row' else s16(y + d)

        r = s16(y + d)
        if r < min_y or r > max_y:
            continue
        if x1 < box_l:
            box_l = x1
        elif x2 > box_r:
            box_r = x2
        if r < box_t:
            box_t = r
        elif r > box_b:
            box_b = r

        if x1 > max_x:
            # A span that starts past the right limit finds nothing open.
            if counters is not None:
                counters['fill_span_past_right_limit'] += 1
            at = x1
        else:
            lo = s16(scan_left_zero(pl, x1, r, min_x) + 1)
            if lo <= x1:
                hi = s16(scan_right_zero(pl, s16(x1 + 1), r, max_x) - 1)
                fill_run(pl, lo, hi, r)
                runs = u32(runs + 1)
                total = s32(total + (hi - lo))
                if lo < x1 - 1 or hi > x2 + 1:
                    if lo == x1:
                        stack.append((s16(x2 + 2), hi, r, -d))
                    elif hi == x2:
                        stack.append((lo, s16(x1 - 2), r, -d))
                    else:
                        stack.append((lo, hi, r, -d))
                stack.append((lo, hi, r, d))
                at = s16(hi + 1)
            if lo > x1:
                at = x1
        while at < x2:
            lo = scan_right_nonzero(pl, s16(at + 1), r, x2)
            if lo > x2:
                break
            hi = s16(scan_right_zero(pl, s16(lo + 1), r, max_x) - 1)
            fill_run(pl, lo, hi, r)
            runs = u32(runs + 1)
            total = s32(total + (hi - lo))
            if hi > x2 + 1:
                stack.append((lo, hi, r, -d))
            stack.append((lo, hi, r, d))
            at = s16(hi + 1)

    height = s16(box_b - box_t + 1)
    if height > 1:
        height -= 1
    blob_rect = (box_l, box_t, s16(box_r - box_l + 1), height)
    mean_run = (u32(total) // runs) if runs > 0 else 0
    return mean_run, blob_rect, total


# ---------------------------------------------------------------------------
# Areas


class Area:
    __slots__ = ('spans', 'thresh', 'present', 'was_present', 'stats',
                 'sample_count', 'still_count', 'grid_cache')

    def __init__(self, quad, thresh):
        self.spans = rasterise_quad(quad)
        self.thresh = thresh
        self.present = 0
        self.was_present = 0
        self.stats = [None] * 5  # not set until the baseline
        self.sample_count = 1
        self.still_count = 0
        self.grid_cache = {}

    def grid_rows(self, w, h):
        """[(y, [x, ...]), ...]: the sampling grid row by row."""
        key = (w, h)
        rows = self.grid_cache.get(key)
        if rows is not None:
            return rows
        rows = []
        n = s16(len(self.spans))
        k = 0
        while k < n:
            sy, left, right = self.spans[k]
            y = sy
            if y <= 1:
                y = 1
            if y >= h - 2:
                y = h - 2
            l = max(left, 1)
            r = min(right, w - 2)
            a = 3 * (l // 3)
            if a == 0:
                a = 3
            b = 3 * trunc_div(r, 3)
            rows.append((y, list(range(a, b, 3)) if a < b else []))
            k += 3
        self.grid_cache[key] = rows
        return rows


QUAD_MIN = -32768
QUAD_MAX = 32767


# ---------------------------------------------------------------------------
# The library instance


class InputFrame:
    __slots__ = ('bpp', 'stride', 'width', 'height', 'pixels')

    def __init__(self):
        self.bpp = 0
        self.stride = 0
        self.width = 0
        self.height = 0
        self.pixels = None


class CoilModel:
    def __init__(self):
        self.counters = Counter()
        # Handshake and store flags: all 0 when the library is loaded.
        self.store_ready = 0
        self.areas_set = 0
        self.baseline_ready = 0
        self.initialised = False
        # After an init, frames do nothing until areas are installed again.
        self.awaiting_areas = False
        self.frame = None
        self.lut = None
        self.planes = [None, None, None]
        self.areas = []
        # Settings, with their load-time values.
        self.frame_count_thresh = 20
        self.two_frames_disturb_thresh = f32_bits(0x3E19999A)
        self.use_front_light = 0
        self.light_thresh = 200
        self.light_min_width = 20
        self.light_max_width = 80
        self.light_min_height = 20
        self.light_max_height = 80
        self.light_max_area = 5000
        # Per-frame caches.
        self._grey = None
        self._median = None

    # -- setters ----------------------------------------------------------

    def set_frame_count_thresh(self, v):
        self.frame_count_thresh = s32(v)

    def set_two_frames_disturb_thresh(self, v):
        self.two_frames_disturb_thresh = v  # already a float32 value

    def use_front_light_trigger(self, v):
        self.use_front_light = s32(v)

    def set_light_param(self, thresh, min_w, max_w, min_h, max_h):
        self.light_thresh = s16(thresh)
        self.light_min_width = s16(min_w)
        self.light_max_width = s16(max_w)
        self.light_min_height = s16(min_h)
        self.light_max_height = s16(max_h)
        self.light_max_area = s16(s32(s32(max_w) * s32(max_h)))

    # -- init / release ---------------------------------------------------

    def init(self):
        if self.initialised:
            self.release()
        self.frame = InputFrame()
        self.lut = grey_lut()
        self.areas = []
        self.initialised = True
        self.awaiting_areas = True
        return 1

    def release(self):
        if not self.initialised:
            return
        self.frame = None
        self.lut = None
        self.planes = [None, None, None]
        self.areas = []
        self.initialised = False

    # -- areas --------------------------------------------------------------

    def set_areas(self, count, quads, sens):
        """quads: list of 8-tuples or None; sens: list of float32 values or
        None."""
        if not self.initialised:
            return 0
        count = s32(count)
        self.store_ready = 0
        self.areas = []
        refused = False
        if count > 0:
            if count > 32767 or quads is None or sens is None:
                refused = True
            else:
                for i in range(count):
                    if any(v < QUAD_MIN or v > QUAD_MAX for v in quads[i]):
                        refused = True
                        break
        if refused:
            self.counters['areas_refused'] += 1
        if count > 0 and not refused:
            for i in range(count):
                self.areas.append(Area(quads[i], sens[i]))
            self.areas_set = 1
            self.baseline_ready = 0
            r = 1
        else:
            self.areas_set = 0
            self.baseline_ready = 0
            r = 0
        self.awaiting_areas = False
        self.store_ready = 1
        return r

    # -- frames ---------------------------------------------------------------

    def get_results(self, pixels, width, height, bpp, results):
        """pixels: bytes laid out as the library will read them, or None;
        results: a list the model writes into, or None.  Returns 0 or 1."""
        if not self.initialised:
            return 0
        if self.store_ready == 0:
            return 0
        if self.awaiting_areas:
            # A fresh init is the state "initialised, no areas yet": the
            # frame is not even looked at until areas are installed again.
            self.counters['frames_before_areas_after_init'] += 1
            return 0
        fr = self.frame
        width = s32(width)
        height = s32(height)
        bpp = s32(bpp)
        # Refusals look only at the geometry the frame takes: a frame of the
        # stored size keeps the stored layout whatever it declares.
        if fr.width != width or fr.height != height:
            nw = s16(width)
            nh = s16(height)
            nstride = s16((nw * s32(bpp) + 3) & ~3)
            nbpp = s16(bpp)
            changed = True
        else:
            nw, nh, nstride, nbpp = fr.width, fr.height, fr.stride, fr.bpp
            changed = False
        if (pixels is None or results is None or nh < 3 or nw < 1
                or nw > 10921 or nbpp != 3):
            self.counters['frames_refused'] += 1
            return 0
        if changed:
            fr.width, fr.height, fr.stride, fr.bpp = nw, nh, nstride, nbpp
        fr.pixels = pixels

        if self.areas_set == 0:
            self.counters['frames_without_areas'] += 1
            return 0
        self._grey = None
        self._median = {}
        p0 = self.planes[0]
        if self.baseline_ready == 0:
            self.counters['baselines'] += 1
            self._baseline()
        elif p0.width != fr.width or p0.height != fr.height:
            self.counters['baselines_for_new_size'] += 1
            self._baseline()
        else:
            self.counters['detection_frames'] += 1
            self._detect(results)
        self._grey = None
        self._median = None
        return 1

    # -- sampling -----------------------------------------------------------

    def _greys(self):
        """Grey of every frame pixel through the table (row-major list)."""
        if self._grey is None:
            fr = self.frame
            lut = self.lut
            px = fr.pixels
            w = fr.width
            g = []
            for y in range(fr.height):
                base = y * fr.stride
                row = px[base:base + 3 * w]
                g.extend(lut[((row[3 * x + 2] >> 1) << 14) | ((row[3 * x + 1] >> 1) << 7)
                             | (row[3 * x] >> 1)] for x in range(w))
            self._grey = g
        return self._grey

    def _median_grey(self, x, y):
        key = (x, y)
        v = self._median.get(key)
        if v is None:
            g = self._greys()
            w = self.frame.width
            c = y * w + x
            vals = sorted((g[c], g[c - w], g[c - w - 1], g[c - 1], g[c + w - 1],
                           g[c + w], g[c + w + 1], g[c + 1], g[c - w + 1]))
            v = vals[4]
            self._median[key] = v
        return v

    # -- baseline -------------------------------------------------------------

    def _baseline(self):
        fr = self.frame
        self.planes = [Plane(fr.width, fr.height) for _ in range(3)]
        stride = self.planes[0].stride
        for area in self.areas:
            grey_sum = 1
            n = 1
            for y, xs in area.grid_rows(fr.width, fr.height):
                for x in xs:
                    g = self._median_grey(x, y)
                    off = y * stride + x
                    self.planes[0].buf[off] = g
                    self.planes[1].buf[off] = g
                    self.planes[2].buf[off] = g
                    grey_sum += g
                    n += 1
            mean = grey_sum // n
            if mean <= 10:
                mean = 10
            area.present = 0
            area.was_present = 0
            area.stats = [s32(mean)] * 5
            area.sample_count = s32(n)
            area.still_count = 0
        self.baseline_ready = 1

    # -- detection ------------------------------------------------------------

    def _detect(self, results):
        fr = self.frame
        unstable = 0
        c = self.counters
        for i, area in enumerate(self.areas):
            sc = area.sample_count
            s4 = area.stats[4]
            grey_sum = 1
            bg_diff = 0
            prev_diff = 0
            rows = area.grid_rows(fr.width, fr.height)
            cur = self.planes[0]
            prev = self.planes[1]
            bgp = self.planes[2]
            stride = cur.stride
            for y, xs in rows:
                for x in xs:
                    g = self._median_grey(x, y)
                    off = y * stride + x
                    cur.buf[off] = g
                    grey_sum += g
                    bg_diff += abs(g - bgp.buf[off])
                    prev_diff += abs(g - prev.buf[off])
            mean = trunc_div(grey_sum, sc)
            ref = mean if mean > s4 else s4
            if ref < 10:
                ref = 10
            P = int_to_f32(ref * sc)
            still_limit = limit_from_product(P * self.two_frames_disturb_thresh)
            presence_limit = limit_from_product(P * area.thresh)
            if presence_limit is None:
                c['presence_limit_nan'] += 1
            elif presence_limit in (INT64_MAX, INT64_MIN):
                c['presence_limit_saturated'] += 1
            if still_limit is None:
                c['still_limit_nan'] += 1
            elif still_limit in (INT64_MAX, INT64_MIN):
                c['still_limit_saturated'] += 1
            if presence_limit is not None and bg_diff == presence_limit:
                c['presence_sum_at_limit' + ('' if bg_diff else '_zero')] += 1
            if still_limit is not None and prev_diff == still_limit:
                c['still_sum_at_limit' + ('' if prev_diff else '_zero')] += 1

            area.present = 1 if (presence_limit is not None and bg_diff > presence_limit) else 0
            if area.present == 0:
                results[i] = 0
            elif self.use_front_light == 1:
                c['front_light_tests'] += 1
                self._front_light_test(area, i, results)
                if area.present:
                    c['front_light_accepted'] += 1
            else:
                results[i] = 1 if area.was_present == 0 else 0
            if area.present:
                c['present_area_frames'] += 1
            if results[i] == 1:
                c['triggers'] += 1
            area.was_present = area.present

            if still_limit is not None and prev_diff <= still_limit:
                area.still_count = s32(area.still_count + 1)
            else:
                area.still_count = 0

            if area.still_count == self.frame_count_thresh:
                st = area.stats
                st[4] = st[3]
                st[3] = st[2]
                st[2] = st[1]
                st[1] = st[0]
                st[0] = s32(mean)
                for k in range(4):
                    a10 = s32(10 * st[k])
                    if not (a10 < s32(11 * st[k + 1]) and a10 > s32(9 * st[k + 1])):
                        unstable = 1
                        break
                if unstable == 1:
                    c['refresh_unstable'] += 1
                    self.planes[0], self.planes[1] = self.planes[1], self.planes[0]
                else:
                    c['refresh_steady'] += 1
                    cur = self.planes[0]
                    bgp = self.planes[2]
                    for y, xs in rows:
                        for x in xs:
                            off = y * stride + x
                            bgp.buf[off] = cur.buf[off]
        self.planes[0], self.planes[1] = self.planes[1], self.planes[0]

    # -- front light ------------------------------------------------------------

    def _front_light_test(self, area, index, results):
        fr = self.frame
        area.present = 0
        results[index] = 0
        W = fr.width
        H = fr.height
        left = s16(W - 1)
        top = s16(H - 1)
        right = 0
        bottom = 0
        prev = self.planes[1]
        pstride = prev.stride
        g = self._greys()
        light = self.light_thresh
        n = s16(len(area.spans))
        for k in range(n):
            sy, lx, rx = area.spans[k]
            y = sy
            if y <= 1:
                y = 1
            if y >= H - 2:
                y = H - 2
            l = max(lx, 1)
            r = min(rx, W - 2)
            if y <= top:
                top = y
            if y >= bottom:
                bottom = y
            if l <= left:
                left = l
            if r >= right:
                right = r
            base = y * pstride
            gbase = y * W
            for x in range(l, r):
                prev.buf[base + x] = 0 if g[gbase + x] >= light else 255
        if n <= 0:
            self.counters['front_light_no_span'] += 1
            return
        box = (left, top, s16(right - left + (CONTRAST == 'box_wider')),
               s16(bottom - top + (CONTRAST == 'box_taller')))
        for y, xs in area.grid_rows(W, H):
            for x in xs:
                mean_run, rect, total = seed_fill(prev, box, x, y, self.counters)
                if mean_run == -1:
                    continue
                c = self.counters
                c['fills'] += 1
                width_ok = self.light_min_width <= rect[2] <= self.light_max_width
                run_ok = s16(mean_run) >= self.light_min_width
                height_ok = self.light_min_height <= rect[3] <= self.light_max_height
                if width_ok and run_ok and height_ok:
                    if rect[2] in (self.light_min_width, self.light_max_width):
                        c['blob_width_at_limit'] += 1
                    if s32(total) == self.light_max_area:
                        c['blob_total_at_area_limit'] += 1
                if (width_ok and run_ok and height_ok
                        and s32(total) < self.light_max_area):
                    area.present = 1
                    if CONTRAST != 'no_row_stop':
                        break
            if area.present == 1 and area.was_present == 0:
                results[index] = 1
