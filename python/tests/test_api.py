"""Arguments, errors, settings, baselines and areas files of the package."""
import math
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import tarvocoil

QUAD = [(10, 10), (50, 10), (50, 40), (10, 40)]


def grey(h=60, w=80, value=100):
    return np.full((h, w, 3), value, np.uint8)


@pytest.mark.parametrize("frame, error, text", [
    (np.zeros((60, 80, 3), np.float32), TypeError, "got dtype float32"),
    (np.zeros((60, 80, 3), np.int8), TypeError, "got dtype int8"),
    ("not a frame", TypeError, "got dtype <U11"),
    (np.zeros((60, 80), np.uint8), ValueError, "got shape (60, 80)"),
    (np.zeros((60, 80, 4), np.uint8), ValueError, "got shape (60, 80, 4)"),
    (np.zeros((1, 60, 80, 3), np.uint8), ValueError, "got shape (1, 60, 80, 3)"),
    (np.zeros(9, np.uint8), ValueError, "got shape (9,)"),
    (np.zeros((2, 80, 3), np.uint8), ValueError, "height H 2 is outside 3..32767"),
    (np.zeros((60, 0, 3), np.uint8), ValueError, "width W 0 is outside 1..10921"),
    (np.zeros((3, 10922, 3), np.uint8), ValueError, "width W 10922 is outside 1..10921"),
])
def test_wrong_frames_raise_naming_the_expected_shape(frame, error, text):
    det = tarvocoil.Detector([QUAD])
    with pytest.raises(error) as e:
        det.process(frame)
    assert "(H, W, 3)" in str(e.value) and text in str(e.value)
    # A refused frame changes nothing: the next good frame is the baseline.
    assert len(det.process(grey())) == 0


def test_baselines_give_no_flags_then_one_flag_per_area():
    det = tarvocoil.Detector([QUAD, [(60, 10), (75, 10), (75, 50), (60, 50)]])
    assert det.process(grey()).shape == (0,)
    assert det.triggered(grey()) == []
    assert det.process(grey()).tolist() == [0, 0]
    moving = grey()
    moving[15:35, 15:45] = 250
    assert det.triggered(moving) == [0]
    assert len(det.process(grey(70, 80))) == 0       # a new size: a new baseline
    assert det.process(grey(70, 80)).tolist() == [0, 0]
    det.replace_areas([QUAD], [0.2])                # new areas: a new baseline
    assert len(det.process(grey(70, 80))) == 0
    assert det.process(grey(70, 80)).tolist() == [0]


def test_other_array_likes_are_checked_as_arrays():
    det = tarvocoil.Detector([[(0, 0), (4, 0), (4, 4), (0, 4)]])
    with pytest.raises(TypeError, match="got dtype int64"):
        det.process(np.zeros((5, 5, 3), np.uint8).tolist())
    buffer = memoryview(np.zeros((5, 5, 3), np.uint8))
    assert len(det.process(buffer)) == 0
    assert det.process(buffer).tolist() == [0]


@pytest.mark.parametrize("areas, thresholds, error, text", [
    ([], None, ValueError, "areas: expected at least one area, got none"),
    (42, None, TypeError, "areas: expected a list of areas, each four (x, y) vertices or an areas file, got int"),
    ([QUAD[:3]], None, ValueError, "areas[0]: expected four (x, y) vertices, got 3 vertices"),
    ([QUAD, [(0, 0), (1, 0), (1, 1), (0, 1, 2)]], None, ValueError, "areas[1][3]: expected a vertex (x, y)"),
    ([[(0, 0), (1, 0), (1, 1), "ab"]], None, TypeError, "areas[0][3]: expected a vertex"),
    ([[(0, 0), (40000, 0), (1, 1), (0, 1)]], None, ValueError, "areas[0][1] x: 40000 is outside -32768..32767"),
    ([[(0, 0), (1, 0), (1, -32769), (0, 1)]], None, ValueError, "areas[0][2] y: -32769 is outside"),
    ([[(0, 0), (1.5, 0), (1, 1), (0, 1)]], None, ValueError, "areas[0][1] x: expected an integer, got 1.5"),
    ([[(0, 0), (None, 0), (1, 1), (0, 1)]], None, TypeError, "areas[0][1] x: expected an integer, got NoneType"),
    ([QUAD], [0.1, 0.2], ValueError, "thresholds: expected one number per area (1), got 2 values"),
    ([QUAD], ["x"], TypeError, "thresholds[0]: expected a number, got str"),
])
def test_wrong_areas_raise_naming_the_place(areas, thresholds, error, text):
    with pytest.raises(error, match=None) as e:
        tarvocoil.Detector(areas, thresholds)
    assert text in str(e.value)


def test_failed_replacement_keeps_the_old_areas():
    det = tarvocoil.Detector([QUAD], 0.3)
    det.process(grey())
    with pytest.raises(ValueError):
        det.replace_areas([QUAD, QUAD[:2]])
    assert det.area_count == 1 and det.thresholds == [pytest.approx(0.3)]
    assert det.process(grey()).tolist() == [0]     # no new baseline either


def test_areas_in_every_form_install_the_same_rows(tmp_path):
    path = tmp_path / "a.json"
    path.write_text('{"areas": [{"name": "gate", "vertices": [[10, 10], [50, 10], [50, 40], [10, 40]]}]}')
    forms = [[QUAD], np.array([QUAD], np.int32), [[list(v) for v in QUAD]], [[(10.0, 10), (50, 10.0), (50, 40),
             (10, 40)]], str(path), path, tarvocoil.load_areas(path)]
    rows = [tarvocoil.Detector(f).areas_rows(0) for f in forms]
    for r in rows[1:]:
        assert np.array_equal(r, rows[0])
    assert rows[0].dtype == np.int32 and rows[0].shape == (31, 3)
    assert rows[0][0].tolist() == [10, 10, 50] and rows[0][-1].tolist() == [40, 10, 50]
    assert tarvocoil.Detector(path).names == ["gate"]
    assert tarvocoil.Detector([QUAD, QUAD]).names == ["area 0", "area 1"]


def test_area_queries():
    det = tarvocoil.Detector([QUAD, [(-100, -100), (-50, -100), (-50, -50), (-100, -50)]])
    n = det.grid_sample_count(0, 80, 60)
    assert 0 < n < 41 * 31 and det.grid_sample_count(0, 30, 30) < n    # the frame clips the grid
    assert det.grid_sample_count(1, 80, 60) == 0          # wholly outside the frame
    for bad in (-1, 2):
        with pytest.raises(IndexError, match=r"area index .* is outside 0\.\.1"):
            det.areas_rows(bad)
        with pytest.raises(IndexError):
            det.grid_sample_count(bad, 80, 60)


def test_settings_as_properties_keep_the_stored_values():
    det = tarvocoil.Detector([QUAD])
    assert det.settings == {"frame_count": 20, "disturb_ratio": pytest.approx(0.15), "front_light": False,
                            "light": (200, 20, 80, 20, 80), "light_max_area": 5000}
    det.frame_count = -7
    det.disturb_ratio = 0.1
    det.front_light = True
    det.light = (180, 10, 200, 10, 200)
    assert det.frame_count == -7
    assert det.disturb_ratio == float(np.float32(0.1)) != 0.1     # stored as float32
    assert det.front_light is True
    assert det.light == (180, 10, 200, 10, 200)
    assert det.light_max_area == -25536                        # 200 * 200 in 16 bits
    det.light = (70000, 1, 2, 3, 4)
    assert det.light[0] == 70000 - 65536                       # the low 16 bits
    det.disturb_ratio = 1e300
    assert det.disturb_ratio == math.inf
    det.disturb_ratio = float("nan")
    assert math.isnan(det.disturb_ratio)
    with pytest.raises(ValueError, match="frame_count: 2147483648 is outside the 32-bit range"):
        det.frame_count = 2 ** 31
    with pytest.raises(TypeError, match="frame_count: expected an integer"):
        det.frame_count = "3"
    with pytest.raises(ValueError, match=r"light: expected \(threshold, .*got 3 values"):
        det.light = (1, 2, 3)
    with pytest.raises(AttributeError):
        det.light_max_area = 3


def test_keyword_settings_override_the_file(tmp_path):
    path = tmp_path / "a.json"
    path.write_text('{"areas": [{"vertices": [[10, 10], [50, 10], [50, 40], [10, 40]], "threshold": 0.25}],'
                    ' "settings": {"frame_count": 5, "front_light": true, "light": {"threshold": 150}}}')
    det = tarvocoil.Detector(path, frame_count=9, measuring=False)
    assert det.frame_count == 9 and det.front_light and det.light[0] == 150
    assert det.thresholds == [pytest.approx(0.25)]
    assert tarvocoil.Detector(path, 0.5).thresholds == [0.5]
    with pytest.raises(TypeError, match="unexpected keyword argument 'framecount'"):
        tarvocoil.Detector(path, framecount=3)
    det.replace_areas([QUAD])                 # settings stay, thresholds default
    assert det.frame_count == 9 and det.thresholds == [pytest.approx(0.1)]


@pytest.mark.parametrize("settings, text", [
    ({"front_light": "yes"}, "front_light: expected True or False, got str"),
    ({"measuring": [1]}, "measuring: expected True or False, got list"),
])
def test_keyword_settings_of_a_wrong_type_raise_type_error(settings, text):
    with pytest.raises(TypeError) as e:
        tarvocoil.Detector([QUAD], **settings)
    assert text in str(e.value)


def test_a_detector_is_made_once():
    det = tarvocoil.Detector([QUAD], 0.3, frame_count=5)
    with pytest.raises(TypeError, match="called again on a detector already made"):
        det.__init__([QUAD, QUAD], frame_count=9)
    assert det.area_count == 1 and det.frame_count == 5 and det.thresholds == [pytest.approx(0.3)]
    # Made in two steps, or by a subclass: the one __init__ runs.
    fresh = tarvocoil.Detector.__new__(tarvocoil.Detector)
    fresh.__init__([QUAD, QUAD])
    assert fresh.area_count == 2

    class Named(tarvocoil.Detector):
        def __init__(self, name):
            super().__init__([QUAD])
            self.name = name

    assert Named("gate").area_count == 1
    with pytest.raises(TypeError, match="needs a Detector"):
        tarvocoil.Detector.__init__(object(), [QUAD])


def test_areas_files_are_read_without_the_gil(tmp_path):
    # Long enough to read that a thread held up meanwhile shows (a long
    # comment: quick to parse even under the sanitizers).
    path = tmp_path / "long.json"
    path.write_text('{"_comment": "' + "x" * 20_000_000 + '", "areas": [{"vertices": [[0, 0], [9, 0], [9, 9], [0, 9]]}]}')
    for read in (tarvocoil.load_areas, tarvocoil.Detector):
        ticks, stop = [], threading.Event()

        def tick():
            while not stop.is_set():
                ticks.append(time.perf_counter())
                time.sleep(0.001)

        ticker = threading.Thread(target=tick)
        ticker.start()
        time.sleep(0.02)
        start = time.perf_counter()
        read(path)
        end = time.perf_counter()
        stop.set()
        ticker.join()
        during = [start] + [t for t in ticks if start < t < end] + [end]
        # Holding the GIL, the reader would leave one gap as long as the read.
        assert max(b - a for a, b in zip(during, during[1:])) < (end - start) / 2, read


def test_a_fifo_is_refused_not_waited_on(tmp_path):
    fifo = tmp_path / "areas.json"
    os.mkfifo(fifo)
    code = ("import sys, tarvocoil\n"
            "for read in (tarvocoil.load_areas, tarvocoil.Detector):\n"
            "    try:\n"
            "        read(sys.argv[1])\n"
            "    except tarvocoil.AreasFileError as e:\n"
            "        print(e)\n")
    # In a process of its own: a reader blocked on the FIFO holds the GIL.
    r = subprocess.run([sys.executable, "-c", code, str(fifo)], capture_output=True, text=True, timeout=60)
    refusal = f"cannot read areas file '{fifo}': it is a FIFO (named pipe), not a regular file"
    assert r.stdout.splitlines() == [refusal, refusal], r.stderr


def test_areas_file_contents_and_warnings(tmp_path):
    text = ('{"areas": [{"name": "a, b", "vertices": [[1, 2], [3, 4], [5, 6], [7, 8]]}],'
            ' "settings": {"disturb_ratio": 0.2, "light": {"max_width": 200, "max_height": 200}}}')
    with pytest.warns(UserWarning, match=r"mine: \$\.settings\.light: max_width x max_height = 40000"):
        areas = tarvocoil.parse_areas(text, "mine")
    assert len(areas) == 1 and areas.names == ["a, b"]
    assert areas.vertices == [((1, 2), (3, 4), (5, 6), (7, 8))]
    assert areas.thresholds == [pytest.approx(0.1)]
    assert areas.settings == {"disturb_ratio": pytest.approx(0.2), "light": (200, 20, 200, 20, 200)}
    assert len(areas.warnings) == 1


@pytest.mark.parametrize("text, message", [
    ('{"areas": [', "f.json:1:12: JSON syntax error:"),
    ('{"areas": [{"vertices": [[0, 0], [1, 0], [1, 1]]}]}',
     "f.json: $.areas[0].vertices: expected an array of 4 vertices [x, y], got 3 vertices"),
    ('{"areas": [], "colour": 1}', 'f.json: $: unknown key "colour" (expected areas, settings, pairs, health)'),
    ('[{"vertices": [[0, 0], [1, 0], [1, 1], [0, 99999]]}]',
     "f.json: $[0].vertices[3][1]: expected an integer within -32768..32767, got 99999"),
])
def test_areas_file_errors_are_the_tools(text, message):
    with pytest.raises(tarvocoil.AreasFileError) as e:
        tarvocoil.parse_areas(text, "f.json")
    assert str(e.value).startswith(message)
    assert isinstance(e.value, ValueError)


def test_measurements_follow_the_flags():
    det = tarvocoil.Detector([QUAD, [(60, 10), (75, 10), (75, 50), (60, 50)]], measuring=True)
    if not det.measuring:
        pytest.skip("this build of the library records no measurements yet")
    assert det.measurements() == []
    det.process(grey())
    base = det.measurements()
    assert [m["kind"] for m in base] == ["baseline", "baseline"]
    assert base[0]["sample_count"] == 1 + det.grid_sample_count(0, 80, 60)
    moving = grey()
    moving[15:35, 15:45] = 250
    flags = det.process(moving)
    records = det.measurements()
    assert [m["result"] for m in records] == flags.tolist() == [1, 0]
    assert records[0]["present"] and records[0]["bg_diff_sum"] > records[0]["presence_limit"]
    assert records[0]["presence_limit_state"] == "value" and records[1]["refresh"] in ("none", "copy", "exchange")
    det.measuring = False
    det.process(moving)
    assert not det.measuring
