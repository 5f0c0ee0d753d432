"""tarvocoil.Traffic gives the tool's traffic numbers on the same clip: a
textured box crossing a pair of coils three times at known speeds."""
import json
import subprocess

import numpy as np
import pytest

import tarvocoil

W, H, FPS = 200, 80, 25
# (first frame, pixels per frame); 0.1 m per pixel: 5 px/frame is 45 km/h.
PASSES = ((5, 5), (50, 4), (95, 6))
TRUE_KMH = [s * FPS * 0.1 * 3.6 for _, s in PASSES]
COILS = """{"name": "in", "vertices": [[40, 25], [60, 25], [60, 55], [40, 55]], "length": 2.0%s},
 {"name": "out", "vertices": [[100, 25], [120, 25], [120, 55], [100, 55]], "length": 2.0}"""
PAIR = '"pairs": [{"name": "lane", "from": "in", "to": "out", "distance": 6.0}]'
AREAS = '{"areas": [%s], %s}' % (COILS % "", PAIR)


def make_frames():
    rng = np.random.default_rng(3)
    base = rng.integers(60, 150, (H, W, 3)).astype(np.int16)
    texture = rng.integers(0, 256, (20, 30, 3)).astype(np.int16)
    frames = []
    for i in range(150):
        pic = base + rng.integers(-3, 4, base.shape)
        for start, speed in PASSES:
            x = -30 + speed * (i - start)
            if i >= start and -30 < x < W:
                x0, x1 = max(0, x), min(W, x + 30)
                pic[30:50, x0:x1] = texture[:, x0 - x:x1 - x]
        frames.append(np.clip(pic, 0, 255).astype(np.uint8))
    return frames


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    """The frames, and the same frames as a lossless 25 fps file for the tool."""
    frames = make_frames()
    path = tmp_path_factory.mktemp("traffic") / "pair.mkv"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "bgr24", "-s", f"{W}x{H}",
                    "-r", str(FPS), "-i", "-", "-c:v", "ffv1", "-pix_fmt", "bgr0", str(path)],
                   input=b"".join(f.tobytes() for f in frames), check=True)
    areas = path.parent / "areas.json"
    areas.write_text(AREAS)
    return frames, path, areas


def feed(frames, areas, interval=2.0):
    det = tarvocoil.Detector(areas, measuring=True)
    traffic = tarvocoil.Traffic(areas, interval=interval)
    events = []
    for i, frame in enumerate(frames):
        events += traffic.frame(det, det.process(frame), i / FPS)
    events += traffic.finish()
    return traffic, events, traffic.take_rows()


def read_jsonl(path):
    return [json.loads(line) for line in path.read_text().splitlines() if line.strip()]


def test_counts_and_occupancy_are_the_tools_trace(tool, clip, tmp_path):
    frames, video, areas = clip
    trace = tmp_path / "trace.jsonl"
    subprocess.run([tool, "run", str(video), "--areas", str(areas), "--trace", str(trace), "-q"],
                   capture_output=True, check=True)
    traffic, events, rows = feed(frames, tarvocoil.load_areas(areas))
    # Recomputed from the tool's trace: per coil and 2 s interval, the
    # triggers and the share of detection frames on which it was present.
    tally = {}
    for r in read_jsonl(trace):
        if r["kind"] != "detect":
            continue
        t = tally.setdefault((int(r["time"] // 2.0), r["area"]), [0, 0, 0])
        t[0] += 1
        t[1] += r["result"]
        t[2] += r["present"]
    assert [(int(r["start"] // 2.0), r["area"]) for r in rows] == sorted(tally)
    for r in rows:
        frames_in, count, present = tally[(int(r["start"] // 2.0), r["area"])]
        assert (r["frames"], r["count"]) == (frames_in, count)
        assert r["occupancy"] == pytest.approx(present / frames_in, abs=1e-12)
        assert r["health"] == "ok" and r["wall_start"] is None
    triggers = [(e["frame"], e["area"]) for e in events if e["event"] == "trigger"]
    assert triggers == [(r["frame"], r["area"]) for r in read_jsonl(trace) if r.get("result") == 1]
    vehicles = [e for e in events if e["event"] == "vehicle"]
    assert [v["speed_kmh"] for v in vehicles] == pytest.approx(TRUE_KMH, rel=0.08)
    assert all(2.0 < v["length_m"] < 4.0 for v in vehicles)     # the box is 3 m long
    out_rows = [r for r in rows if r["name"] == "out"]
    assert [r["vehicles"] for r in out_rows] == [1, 1, 1]
    assert [r["mean_speed_kmh"] for r in out_rows] == [v["speed_kmh"] for v in vehicles]
    assert all(r["vehicles"] is None and r["mean_speed_kmh"] is None for r in rows if r["name"] == "in")
    assert traffic.pairs[0]["matched"] == 3 and traffic.reported == [3, 3] and traffic.health == ["ok", "ok"]


def test_rows_and_vehicles_are_run_stats(tool, clip, tmp_path):
    frames, video, areas = clip
    stats, events_file = tmp_path / "stats.jsonl", tmp_path / "events.jsonl"
    subprocess.run([tool, "run", str(video), "--areas", str(areas), "-q", "--format", "jsonl", "--events",
                    str(events_file), "--stats", str(stats), "--stats-format", "jsonl", "--stats-interval", "2"],
                   capture_output=True, check=True)
    _, events, rows = feed(frames, tarvocoil.load_areas(areas))
    want_rows = read_jsonl(stats)
    assert len(rows) == len(want_rows)
    for got, want in zip(rows, want_rows):
        for key, value in want.items():
            # The file carries speeds and lengths to 2 decimals, occupancy to 4.
            tolerance = 0.005 if key.endswith(("_kmh", "_m")) else 1e-4
            assert got[key] == (pytest.approx(value, abs=tolerance) if isinstance(value, float) else value), key
    want_vehicles = [e for e in read_jsonl(events_file) if e["event"] == "vehicle"]
    got_vehicles = [e for e in events if e["event"] == "vehicle"]
    assert len(got_vehicles) == len(want_vehicles) == 3
    for got, want in zip(got_vehicles, want_vehicles):
        assert (got["pair"], got["frame"]) == (want["pair"], want["frame"])
        assert got["speed_kmh"] == pytest.approx(want["speed_kmh"], abs=0.005)
        assert got["length_m"] == pytest.approx(want["length_m"], abs=0.005)


def test_holdoff_and_health_reach_the_events_not_process(clip):
    frames, _, _ = clip
    # The second pass enters "in" 1.9 s after the first: inside a 3 s holdoff.
    areas = tarvocoil.parse_areas('{"areas": [%s], %s, "health": {"no_activity": 1}}'
                                  % (COILS % ', "holdoff": 3.0', PAIR))
    det = tarvocoil.Detector(areas, measuring=True)
    traffic = tarvocoil.Traffic(areas, interval=60)
    events, raw = [], 0
    for i, frame in enumerate(frames):
        flags = det.process(frame)
        raw += int(flags[0]) if len(flags) else 0
        events += traffic.frame(det, flags, i / FPS)
    assert raw == 3                                   # process() knows no holdoff
    assert traffic.reported == [2, 3] and traffic.suppressed == [1, 0]
    assert [e["time"] for e in events if e["event"] == "trigger" and e["name"] == "in"] == [0.64, 4.16]
    # The "out" trigger of the suppressed pass finds no "from" to match.
    assert len([e for e in events if e["event"] == "vehicle"]) == 2
    assert traffic.pairs[0]["unmatched_to"] == 1
    # "out" sees nothing for its first second: no-activity until its trigger.
    health = [e for e in events if e["event"] == "health" and e["name"] == "out"]
    assert [(h["previous"], h["state"]) for h in health[:2]] == [("ok", "no-activity"), ("no-activity", "ok")]
    assert health[0]["time"] == pytest.approx(1.0, abs=0.05) and health[1]["time"] == pytest.approx(1.08)
    traffic.finish()
    assert traffic.take_rows()[0]["count"] == 2 and traffic.take_rows() == []


def test_wall_clock_rows_carry_their_utc_start(clip):
    frames, _, areas = clip
    det = tarvocoil.Detector(areas, measuring=True)
    traffic = tarvocoil.Traffic(areas, interval=1, wall_clock=True)
    for i, frame in enumerate(frames[:60]):
        traffic.frame(det, det.process(frame), i / FPS, wall_time=1_800_000_000.5 + i / FPS)
    traffic.finish()
    starts = [r["wall_start"] for r in traffic.take_rows() if r["area"] == 0]
    assert starts[:2] == ["2027-01-15T08:00:00Z", "2027-01-15T08:00:01Z"]


def test_traffic_refuses_input_that_would_give_wrong_numbers(clip):
    frames, _, areas = clip
    traffic = tarvocoil.Traffic(areas)
    quiet = tarvocoil.Detector(areas)                  # not measuring: no presence, no margins
    quiet.process(frames[0])
    with pytest.raises(ValueError, match="measuring=True"):
        traffic.frame(quiet, quiet.process(frames[1]), 0.04)
    other = tarvocoil.Detector([[(0, 0), (9, 0), (9, 9), (0, 9)]], measuring=True)
    other.process(frames[0])
    with pytest.raises(ValueError, match="areas"):
        traffic.frame(other, other.process(frames[1]), 0.04)
    with pytest.raises(ValueError, match="2 areas"):
        traffic.frame(other, [0], 0.04)
    with pytest.raises(ValueError, match="finite"):
        traffic.frame(quiet, [], float("nan"))
    with pytest.raises(ValueError, match="interval"):
        tarvocoil.Traffic(areas, interval=0)
    traffic.finish()
    with pytest.raises(ValueError, match="finish"):
        traffic.frame(quiet, [], 1.0)
    assert traffic.finish() == []
