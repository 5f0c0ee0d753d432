"""Random sessions for the tests: areas, settings changes and frames of
moving blocks over a textured, noisy background, plus a reference that runs
the same session through the C library (libtarvocoil.so) with padded
frames, and the frame layouts a Python host may hand over."""
import ctypes

import numpy as np

import tarvocoil


def random_quad(rng, w, h):
    x, y = int(rng.integers(-w // 4, w)), int(rng.integers(-h // 4, h))
    qw, qh = int(rng.integers(6, max(7, w // 2))), int(rng.integers(6, max(7, h // 2)))
    lean = int(rng.integers(-qw // 3, qw // 3 + 1))
    return [(x + lean, y), (x + lean + qw, y), (x + qw, y + qh), (x, y + qh)]


def random_areas(rng, w, h):
    n = int(rng.integers(1, 5))
    quads = [random_quad(rng, w, h) for _ in range(n)]
    choices = [0.02, 0.05, 0.1, 0.3, float("nan"), float("-inf")]
    thresholds = [float(rng.choice(choices)) if rng.random() < 0.2 else float(rng.uniform(0.01, 0.2))
                  for _ in range(n)]
    return quads, thresholds


def random_settings(rng):
    s = {"frame_count": int(rng.integers(1, 8)), "disturb_ratio": float(rng.uniform(0.02, 0.3)),
         "front_light": bool(rng.random() < 0.4)}
    s["light"] = (int(rng.integers(150, 230)), 2, int(rng.integers(8, 30)), 2, int(rng.integers(8, 30)))
    return s


class Scene:
    """A background texture with blocks moving across it; some are bright
    (headlight-like), some stop for a while so that areas go still."""

    def __init__(self, rng, w, h, night):
        self.rng, self.w, self.h = rng, w, h
        lo, hi = (5, 40) if night else (60, 170)
        self.base = rng.integers(lo, hi, (h, w, 3)).astype(np.int16)
        self.blocks = []
        for _ in range(int(rng.integers(1, 4))):
            self.blocks.append([float(rng.uniform(-w / 2, w)), float(rng.uniform(0, h)),
                                float(rng.uniform(-3, 3)), float(rng.uniform(-2, 2)),
                                int(rng.integers(3, 25)), int(rng.integers(3, 20)),
                                int(rng.choice([0, 255, int(rng.integers(0, 256))])), 0])

    def frame(self):
        rng = self.rng
        pic = self.base + rng.integers(-3, 4, self.base.shape)
        for b in self.blocks:
            x, y, vx, vy, bw, bh, grey, pause = b
            x0, y0 = int(x), int(y)
            pic[max(0, y0):max(0, y0 + bh), max(0, x0):max(0, x0 + bw)] = grey
            if pause > 0:
                b[7] -= 1
            else:
                b[0], b[1] = (x + vx) % (self.w + 20) - 10, (y + vy) % (self.h + 10) - 5
                if rng.random() < 0.05:
                    b[7] = int(rng.integers(5, 30))
        return np.clip(pic, 0, 255).astype(np.uint8)


def random_session(seed, frames=60):
    """A list of steps: ("areas", quads, thresholds), ("settings", dict),
    ("frame", picture as a packed (H, W, 3) array)."""
    rng = np.random.default_rng(seed)
    w, h = int(rng.integers(12, 160)), int(rng.integers(6, 120))
    scene = Scene(rng, w, h, night=rng.random() < 0.4)
    steps = [("settings", random_settings(rng)), ("areas",) + random_areas(rng, w, h)]
    for _ in range(frames):
        r = rng.random()
        if r < 0.02:
            steps.append(("areas",) + random_areas(rng, w, h))
        elif r < 0.04:
            steps.append(("settings", random_settings(rng)))
        elif r < 0.05:
            w, h = int(rng.integers(12, 160)), int(rng.integers(6, 120))
            scene = Scene(rng, w, h, night=rng.random() < 0.4)
        steps.append(("frame", scene.frame()))
    return steps


def run_python(steps, layout=None):
    """Flags per frame through tarvocoil.Detector (lists; [] for no flags)."""
    det = None
    pending = {}
    out = []
    for step in steps:
        if step[0] == "settings":
            if det is None:
                pending = step[1]
            else:
                for k, v in step[1].items():
                    setattr(det, k, v)
        elif step[0] == "areas":
            if det is None:
                det = tarvocoil.Detector(step[1], step[2], **pending)
            else:
                det.replace_areas(step[1], step[2])
        else:
            frame = step[1] if layout is None else layout(step[1], len(out))
            flags = det.process(frame)
            assert flags.dtype == np.int32 and flags.ndim == 1
            out.append(flags.tolist())
    return out


class CReference:
    """The process-wide detector of the eight C functions, fed padded frames."""

    def __init__(self, path):
        lib = ctypes.CDLL(path)
        lib.TRVGetSurvResults.restype = ctypes.c_int16
        lib.TRVGetSurvResults.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32,
                                          ctypes.c_int32, ctypes.c_void_p]
        lib.TRVSetSurvAreas.argtypes = [ctypes.c_int32, ctypes.c_void_p, ctypes.c_void_p]
        lib.TRVSetTwoFramesDisturbThresh.argtypes = [ctypes.c_float]
        self.lib = lib

    def run(self, steps):
        lib = self.lib
        lib.TRVCoilRelease()
        lib.TRVCoilInit()
        n = 0
        out = []
        for step in steps:
            if step[0] == "settings":
                s = step[1]
                lib.TRVSetFrameCountThresh(s["frame_count"])
                lib.TRVSetTwoFramesDisturbThresh(s["disturb_ratio"])
                lib.TRVUseFrontLightTrigger(1 if s["front_light"] else 0)
                lib.TRVSetLightParam(*s["light"])
            elif step[0] == "areas":
                quads = np.asarray(step[1], np.int32).reshape(-1, 8)
                thresholds = np.asarray(step[2], np.float32)
                n = len(quads)
                assert lib.TRVSetSurvAreas(n, quads.ctypes.data, thresholds.ctypes.data) == 1
            else:
                pic = step[1]
                h, w, _ = pic.shape
                stride = (3 * w + 3) & ~3
                padded = np.zeros((h, stride), np.uint8)
                padded[:, :3 * w] = pic.reshape(h, 3 * w)
                res = np.full(n, -1, np.int32)
                used = lib.TRVGetSurvResults(padded.ctypes.data, w, h, 0, 3, res.ctypes.data)
                out.append([] if used == 0 or res[0] == -1 else res.tolist())
        lib.TRVCoilRelease()
        return out


# Layouts: each returns an array showing exactly `pic`, and whether
# process() should read it in place.
def packed(pic, rng):
    return np.ascontiguousarray(pic), True


def window_of_larger(pic, rng):
    h, w, _ = pic.shape
    big = rng.integers(0, 256, (h + 5, w + 7, 3), dtype=np.uint8)
    big[2:2 + h, 3:3 + w] = pic
    return big[2:2 + h, 3:3 + w], True


def padded_rows(pic, rng):
    h, w, _ = pic.shape
    stride = 3 * w + int(rng.integers(1, 9))
    buf = np.full((h, stride), 77, np.uint8)
    buf[:, :3 * w] = pic.reshape(h, 3 * w)
    return np.lib.stride_tricks.as_strided(buf, (h, w, 3), (stride, 3, 1)), True


def read_only(pic, rng):
    a = pic.copy()
    a.flags.writeable = False
    return a, True


def every_other_column(pic, rng):
    h, w, _ = pic.shape
    big = np.zeros((h, 2 * w, 3), np.uint8)
    big[:, ::2] = pic
    return big[:, ::2], False


def reversed_rows(pic, rng):
    return pic[::-1].copy()[::-1], False


def fortran_order(pic, rng):
    return np.asfortranarray(pic), False


def planar(pic, rng):
    return np.ascontiguousarray(pic.transpose(2, 0, 1)).transpose(1, 2, 0), False


def reversed_channels(pic, rng):
    return pic[:, :, ::-1].copy()[:, :, ::-1], False


LAYOUTS = [packed, window_of_larger, padded_rows, read_only, every_other_column, reversed_rows,
           fortran_order, planar, reversed_channels]
