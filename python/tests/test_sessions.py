"""The Python detector gives the C library's flags, frame for frame, on
random sessions, whatever layout the frames come in."""
import numpy as np
import pytest

import tarvocoil
from scenes import LAYOUTS, random_session, run_python


@pytest.mark.parametrize("seed", range(24))
def test_random_sessions_match_the_library(clib, seed):
    steps = random_session(seed)
    rng = np.random.default_rng(1000 + seed)
    # Every frame in another layout: in place or copied, the same picture.
    layout = lambda pic, i: LAYOUTS[(seed + i) % len(LAYOUTS)](pic, rng)[0]  # noqa: E731
    expected = clib.run(steps)
    assert run_python(steps, layout) == expected
    assert sum(len(f) > 0 for f in expected) > 0


def test_sessions_trigger_often_enough_to_mean_something(clib):
    flags = [f for seed in range(24) for f in clib.run(random_session(seed))]
    assert sum(map(sum, flags)) >= 20


@pytest.mark.parametrize("layout", LAYOUTS, ids=lambda f: f.__name__)
def test_frames_read_in_place_exactly_when_rows_hold_packed_pixels(layout):
    rng = np.random.default_rng(5)
    for w in (1, 7, 64, 359):
        pic = rng.integers(0, 256, (5, w, 3), dtype=np.uint8)
        view, borrowed = layout(pic, rng)
        assert np.array_equal(view, pic)
        assert tarvocoil._tarvocoil._borrows(view) == borrowed


def test_broadcast_and_overlapping_rows_are_copied_not_misread(clib):
    # Rows 0 bytes apart (broadcast) or overlapping: never passed in place.
    row = np.random.default_rng(2).integers(0, 256, (1, 40, 3), dtype=np.uint8)
    same = np.broadcast_to(row, (30, 40, 3))
    assert not tarvocoil._tarvocoil._borrows(same)
    overlap = np.lib.stride_tricks.as_strided(np.arange(200, dtype=np.uint8), (20, 40, 3), (3, 3, 1))
    assert not tarvocoil._tarvocoil._borrows(overlap)
    steps = [("settings", {"frame_count": 3, "disturb_ratio": 0.1, "front_light": False,
                           "light": (200, 20, 80, 20, 80)}),
             ("areas", [[(2, 2), (30, 2), (30, 15), (2, 15)]], [0.05])]
    frames = [same, np.ascontiguousarray(same), overlap]
    got = run_python(steps + [("frame", f) for f in frames])
    assert got == clib.run(steps + [("frame", np.ascontiguousarray(f)) for f in frames])
