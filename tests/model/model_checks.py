"""Checks of the reference model itself against known values.

Run through `diff_test.py --self-check`.  Each check returns a list of
failure strings; an empty list means it passed."""

from coil_model import (CoilModel, Plane, plane_from_rows, seed_fill, rasterise_quad,
                        grey_lut, lookup_grey, bubble_median, int_to_f32, f32, s16,
                        limit_from_product, INT64_MAX, INT64_MIN, Area)


def _expect(fails, what, got, want):
    if got != want:
        fails.append('%s: got %r, want %r' % (what, got, want))


def check_grey_table():
    fails = []
    lut = grey_lut()
    for (p0, p1, p2), want in [((0, 0, 0), 0), ((255, 255, 255), 254), ((0, 0, 255), 76),
                               ((0, 255, 0), 149), ((255, 0, 0), 29), ((200, 200, 200), 200),
                               ((128, 128, 128), 128), ((201, 201, 201), 200),
                               ((8, 0, 12), 4), ((10, 2, 14), 6), ((12, 4, 16), 8)]:
        _expect(fails, 'grey%r' % ((p0, p1, p2),), lookup_grey(lut, p0, p1, p2), want)
    # Independent second computation in doubles, as the table is defined.
    w2, w1, w0 = f32(0.299), f32(0.587), f32(0.114)
    _expect(fails, 'weights', (w2, w1, w0),
            (0.29899999499320984, 0.5870000123977661, 0.11400000005960464))
    bad = 0
    decimal_diff = 0
    lo, hi = 255, 0
    for i2 in range(128):
        for i1 in range(128):
            for i0 in range(0, 128, 1 if (i2 + i1) % 9 == 0 else 17):
                v = int(2 * i2 * w2 + 2 * i1 * w1 + 2 * i0 * w0 + 0.5)
                if lut[(i2 << 14) | (i1 << 7) | i0] != v:
                    bad += 1
    for i2 in range(128):
        for i1 in range(128):
            base = 2 * i2 * 299 + 2 * i1 * 587 + 500
            for i0 in range(128):
                e = lut[(i2 << 14) | (i1 << 7) | i0]
                if e != (base + 2 * i0 * 114) // 1000:
                    decimal_diff += 1
                if e < lo:
                    lo = e
                if e > hi:
                    hi = e
    _expect(fails, 'entries differing from the double computation', bad, 0)
    _expect(fails, 'entries differing from exact decimal weights', decimal_diff, 844)
    _expect(fails, 'entry range', (lo, hi), (0, 254))
    return fails


def check_median():
    fails = []
    _expect(fails, 'nine equal', bubble_median([7] * 9), 7)
    _expect(fails, 'eight 10 one 250', bubble_median([10] * 4 + [250] + [10] * 4), 10)
    import random
    rng = random.Random(5)
    for _ in range(200):
        v = list(range(1, 10))
        rng.shuffle(v)
        _expect(fails, 'one to nine %r' % v, bubble_median(v), 5)
        w = [rng.randrange(256) for _ in range(9)]
        _expect(fails, 'random %r' % w, bubble_median(w), sorted(w)[4])
    return fails


def check_rasteriser():
    fails = []
    cases = [
        ((4, 7, 4, 7, 4, 7, 4, 7), [(7, 4, 4)]),
        ((9, 3, 2, 3, 5, 3, 1, 3), [(3, 1, 9)]),
        ((2, 2, 8, 2, 8, 6, 2, 6), [(y, 2, 8) for y in range(2, 7)]),
        ((0, 0, -5, 10, -5, 10, 0, 10),
         [(0, 0, 0)] + [(y, l, 0) for y, l in zip(range(1, 10), (0, -1, -1, -2, -2, -3, -3, -4, -4))]
         + [(10, -5, 0)]),
        ((0, 0, 10, 10, 10, 0, 0, 10), [(y, 0, 10) for y in range(11)]),
        ((0, 0, 9, 3, 0, 6, 3, 3), [(0, 0, 0), (1, 1, 3), (2, 2, 6), (3, 3, 9), (4, 2, 6),
                                    (5, 1, 3), (6, 0, 0)]),
        ((0, 0, 6, 1, 0, 2, -6, 1), [(0, 0, 0), (1, -6, 6), (2, 0, 0)]),
        ((0, 0, 4, 8, 4, 8, 0, 0), [(0, 0, 0), (1, 0, 0), (2, 1, 1), (3, 1, 1), (4, 2, 2),
                                    (5, 2, 2), (6, 3, 3), (7, 3, 3), (8, 4, 4)]),
    ]
    for q, want in cases:
        _expect(fails, 'quad %r' % (q,), rasterise_quad(q), want)
    # The edge (0,0)-(5,10) touches rows 1..9 at 0,1,1,2,2,3,3,4,4.
    sp = rasterise_quad((0, 0, 5, 10, 5, 10, 5, 10))
    _expect(fails, 'lean right', [s[1] for s in sp[1:10]], [0, 1, 1, 2, 2, 3, 3, 4, 4])
    # Vertex order and starting vertex do not matter.
    import random
    rng = random.Random(9)
    for _ in range(300):
        q = [rng.randint(-40, 40) for _ in range(8)]
        pts = [q[0:2], q[2:4], q[4:6], q[6:8]]
        rev = pts[::-1]
        rot = pts[1:] + pts[:1]
        a = rasterise_quad(q)
        _expect(fails, 'reverse %r' % q, rasterise_quad(sum(rev, [])), a)
        _expect(fails, 'rotate %r' % q, rasterise_quad(sum(rot, [])), a)
    return fails


def _block_plane(w, h, zeros):
    p = Plane(w, h)
    for (x0, x1, y0, y1) in zeros:
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                p.buf[y * p.stride + x] = 0
    return p


def _filled(before, after):
    return sum(1 for a, b in zip(before.buf, after.buf) if a != b)


def check_seed_fill():
    fails = []

    def run(what, plane, rect, seed, want_ret, want_rect, want_total, want_filled):
        before = bytes(plane.buf)
        ret, r, t = seed_fill(plane, rect, seed[0], seed[1])
        nfill = sum(1 for a, b in zip(before, plane.buf) if a != b)
        _expect(fails, what + ' result', ret, want_ret)
        _expect(fails, what + ' rect', r, want_rect)
        _expect(fails, what + ' total', t, want_total)
        _expect(fails, what + ' filled', nfill, want_filled)
        return plane

    blk = (10, 39, 10, 29)
    run('block seed(10,10)', _block_plane(64, 48, [blk]), (1, 1, 62, 46), (10, 10), 29,
        (10, 9, 30, 21), 580, 600)
    run('block seed(25,20)', _block_plane(64, 48, [blk]), (1, 1, 62, 46), (25, 20), 29,
        (10, 9, 30, 21), 580, 600)
    run('block wall seed(9,15)', _block_plane(64, 48, [blk]), (1, 1, 62, 46), (9, 15), 29,
        (9, 9, 31, 21), 580, 600)
    run('block wall seed(50,40)', _block_plane(64, 48, [blk]), (1, 1, 62, 46), (50, 40), 0,
        (50, 40, 1, 1), 0, 0)
    run('outside limits', _block_plane(64, 48, [blk]), (20, 20, 10, 5), (10, 10), -1,
        None, None, 0)
    run('limited', _block_plane(64, 48, [blk]), (20, 15, 10, 5), (25, 17), 10,
        (20, 15, 11, 5), 60, 66)
    run('single byte', _block_plane(16, 16, [(5, 5, 5, 5)]), (0, 0, 0, 0), (5, 5), 0,
        (5, 4, 1, 2), 0, 1)
    p = Plane(20, 10)
    p.buf[:] = bytes(len(p.buf))
    run('all zero', p, (0, 0, 0, 0), (5, 5), 18, (1, 1, 19, 8), 162, 171)
    if p.buf[0] != 0 or any(p.buf[y * p.stride] != 0 for y in range(10)):
        fails.append('all zero: row 0 / column 0 touched')
    tri = [(30 - (y - 5), 30 + (y - 5), y, y) for y in range(5, 25)]
    run('triangle apex', _block_plane(64, 48, tri), (1, 1, 62, 46), (30, 5), 19,
        (11, 4, 20, 21), 380, 400)
    run('triangle base', _block_plane(64, 48, tri), (1, 1, 62, 46), (30, 24), 19,
        (11, 4, 39, 21), 380, 400)
    sq = [(11, 15, 11, 14)]
    run('diag wall seed', _block_plane(32, 32, sq), (0, 0, 0, 0), (10, 10), 4,
        (10, 10, 6, 5), 16, 20)
    run('above wall seed', _block_plane(32, 32, sq), (0, 0, 0, 0), (12, 10), 4,
        (11, 10, 5, 5), 16, 20)
    run('dead wall seed', _block_plane(32, 32, sq), (0, 0, 0, 0), (10, 15), 0,
        (10, 15, 1, 1), 0, 0)
    # A wall seed on the right limit hands on a span starting past it; the
    # column beyond the limit must stay untouched.
    p = _block_plane(40, 20, [(1, 38, 1, 18)])
    p.buf[5 * p.stride + 20] = 255
    before = bytes(p.buf)
    ret, r, t = seed_fill(p, (5, 2, 15, 10), 20, 5)
    changed = [i for i, (a, b) in enumerate(zip(before, p.buf)) if a != b]
    if any((i % p.stride) > 20 or (i % p.stride) < 5 for i in changed):
        fails.append('wall seed on the right limit wrote outside the limits')
    return fails


def _light_scene(block, rows=None, was_present=0, light=None):
    """The 200 x 120 front-light scene: black frame, one grey-254 block,
    one area with a span on every row 5..109 from column 5 to 190."""
    W, H = 200, 120
    x0, x1, y0, y1 = block
    stride = (3 * W + 3) & ~3
    px = bytearray(stride * H)
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            px[y * stride + 3 * x:y * stride + 3 * x + 3] = b'\xfe\xfe\xfe'
    m = CoilModel()
    if light:
        m.set_light_param(*light)
    m.use_front_light_trigger(1)
    m.init()
    m.set_areas(1, [(5, 5, 190, 5, 190, 109, 5, 109)], [0.0])
    area = m.areas[0]
    m.frame.width, m.frame.height, m.frame.stride, m.frame.bpp = W, H, stride, 3
    m.frame.pixels = bytes(px)
    m.planes = [Plane(W, H) for _ in range(3)]
    m._grey = None
    m._median = {}
    area.present = 1
    area.was_present = was_present
    res = [7]
    fills = []
    import coil_model
    real = coil_model.seed_fill

    def spy(pl, rect, sx, sy, counters=None):
        out = real(pl, rect, sx, sy, counters)
        if out[0] != -1 and out[2] > 0:
            fills.append(((sx, sy), out))
        return out

    coil_model.seed_fill = spy
    try:
        m._front_light_test(area, 0, res)
    finally:
        coil_model.seed_fill = real
    return area.present, res[0], fills


def check_front_light():
    fails = []
    pres, res, fills = _light_scene((40, 69, 30, 49))
    _expect(fails, '30x20 block', (pres, res), (1, 1))
    _expect(fails, '30x20 first fill', fills[0] if fills else None,
            ((39, 29), (29, (39, 29, 31, 21), 580)))
    pres, res, fills = _light_scene((40, 69, 30, 48))
    _expect(fails, '19 rows', (pres, res, fills[0][1][1][3]), (1, 1, 20))
    pres, res, fills = _light_scene((40, 69, 30, 47))
    _expect(fails, '18 rows', (pres, res, fills[0][1][1][3]), (0, 0, 19))
    pres, res, fills = _light_scene((40, 59, 30, 49))
    _expect(fails, '20x20', (pres, res, fills[0][1][0], fills[0][1][1][2]), (0, 0, 19, 21))
    pres, res, fills = _light_scene((40, 60, 30, 49))
    _expect(fails, '21x20', (pres, res, fills[0][1][0]), (1, 1, 20))
    pres, res, fills = _light_scene((40, 119, 30, 93))
    _expect(fails, '80x64', (pres, res, fills[0][1][2], fills[0][1][1][2]), (0, 0, 5056, 81))
    pres, res, fills = _light_scene((41, 70, 30, 49))
    _expect(fails, 'block at 41', (pres, res, fills[0][0], fills[0][1][1]),
            (1, 1, (42, 29), (41, 29, 30, 21)))
    pres, res, fills = _light_scene((40, 69, 30, 49), was_present=1)
    _expect(fails, 'wasPresent 1', (pres, res), (1, 0))
    pres, res, fills = _light_scene((40, 69, 30, 49), light=(255, 20, 80, 20, 80))
    _expect(fails, 'lightThresh 255', (pres, res, fills), (0, 0, []))
    pres, res, fills = _light_scene((40, 69, 30, 49), light=(0, 20, 80, 20, 80))
    _expect(fails, 'lightThresh 0', (pres, res), (0, 0))
    pres, res, fills = _light_scene((40, 69, 30, 49), light=(200, 20, 80, 20, 80))
    _expect(fails, 'default params set explicitly', (pres, res), (1, 1))
    return fails


def check_settings_and_limits():
    fails = []
    m = CoilModel()
    _expect(fails, 'default area', m.light_max_area, 5000)
    m.set_light_param(200, 20, 80, 20, 80)
    _expect(fails, 'area after defaults', m.light_max_area, 6400)
    m.set_light_param(200, 20, 200, 20, 200)
    _expect(fails, 'area 200x200', m.light_max_area, -25536)
    m.set_light_param(65556, 20, 80, 20, 80)
    _expect(fails, 'thresh 65556', m.light_thresh, 20)
    _expect(fails, 'int->f32 tie', int_to_f32((1 << 24) + 1), float(1 << 24))
    _expect(fails, 'int->f32 tie up', int_to_f32((1 << 24) + 3), float((1 << 24) + 4))
    _expect(fails, 'int->f32 big', int_to_f32(INT64_MAX), float(1 << 63))
    _expect(fails, 'nan limit', limit_from_product(float('nan')), None)
    _expect(fails, 'inf limit', limit_from_product(float('inf')), INT64_MAX)
    _expect(fails, '-inf limit', limit_from_product(float('-inf')), INT64_MIN)
    _expect(fails, 'trunc', limit_from_product(-2.75), -2)
    _expect(fails, 'stride 5x3', s16((5 * 3 + 3) & ~3), 16)
    _expect(fails, 'stride plane 350', Plane(350, 288).stride, 352)
    return fails


def _uniform_frame(w, h, v):
    stride = (3 * w + 3) & ~3
    px = bytearray(stride * h)
    for y in range(h):
        px[y * stride:y * stride + 3 * w] = bytes([v]) * (3 * w)
    return bytes(px)


def check_baseline_and_refresh():
    fails = []
    # Uniform grey 200: baseline 199 for N >= 198, 100 for N = 1.
    for quad, n_expected, want in [((6, 2, 9, 2, 9, 2, 6, 2), 1, 100),
                                   ((1, 1, 700, 1, 700, 1, 1, 1), None, None)]:
        m = CoilModel()
        m.init()
        m.set_areas(1, [quad], [0.1])
        w = 720 if quad[2] == 700 else 20
        m.get_results(_uniform_frame(w, 5, 200), w, 5, 3, [0])
        a = m.areas[0]
        if n_expected is not None:
            _expect(fails, 'N=1 sample count', a.sample_count, 2)
            _expect(fails, 'N=1 baseline', a.stats, [100] * 5)
        else:
            _expect(fails, 'N>=198 baseline', (a.sample_count - 1 >= 198, a.stats[0]), (True, 199))
    # An area without grid positions: mean 1, baseline 10, count 1.
    m = CoilModel()
    m.init()
    m.set_areas(1, [(4, 2, 5, 2, 5, 2, 4, 2)], [0.1])
    m.get_results(_uniform_frame(20, 6, 90), 20, 6, 3, [0])
    _expect(fails, 'no grid', (m.areas[0].sample_count, m.areas[0].stats[0]), (1, 10))
    # All black: refresh attempt is unstable and swaps the planes.
    m = CoilModel()
    m.set_frame_count_thresh(1)
    m.init()
    m.set_areas(1, [(3, 3, 30, 3, 30, 20, 3, 20)], [0.1])
    blk = _uniform_frame(40, 24, 0)
    m.get_results(blk, 40, 24, 3, [5])
    res = [5]
    m.get_results(blk, 40, 24, 3, res)
    _expect(fails, 'black refresh', (res, m.counters['refresh_unstable'],
                                      m.counters['refresh_steady']), ([0], 1, 0))
    # Trend band: 110 after 100 and 90 after 100 are trends, 109/91 steady.
    for newer, steady in [(110, False), (90, False), (109, True), (91, True)]:
        ok = (10 * newer < 11 * 100) and (10 * newer > 9 * 100)
        _expect(fails, 'band %d' % newer, ok, steady)
    # Rising edge over absent, present, present, absent, present.
    m = CoilModel()
    m.init()
    m.set_areas(1, [(3, 3, 30, 3, 30, 20, 3, 20)], [0.2])
    dark = _uniform_frame(40, 24, 40)
    light = _uniform_frame(40, 24, 160)
    m.get_results(dark, 40, 24, 3, [9])
    seq = []
    for f in (dark, light, light, dark, light):
        r = [9]
        m.get_results(f, 40, 24, 3, r)
        seq.append(r[0])
    _expect(fails, 'rising edge', seq, [0, 1, 0, 0, 1])
    return fails


ALL_CHECKS = [
    ('grey table', check_grey_table),
    ('median', check_median),
    ('rasteriser', check_rasteriser),
    ('seed fill', check_seed_fill),
    ('front light', check_front_light),
    ('settings and limits', check_settings_and_limits),
    ('baseline and refresh', check_baseline_and_refresh),
]


def run_all(out):
    failed = 0
    for name, fn in ALL_CHECKS:
        fails = fn()
        if fails:
            failed += 1
            out('self-check %s: FAILED' % name)
            for f in fails[:20]:
                out('  ' + f)
        else:
            out('self-check %s: ok' % name)
    return failed
