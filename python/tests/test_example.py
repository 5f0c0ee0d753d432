"""examples/python/run_video.py prints what `tarvocoil run` prints, event
for event, and the package reports areas file errors as the tool does."""
import subprocess
import sys

import numpy as np
import pytest

import tarvocoil
from conftest import REPO

AREAS = """{"areas": [
  {"name": "left, \\"fast\\" lane", "vertices": [[10, 40], [60, 40], [55, 80], [5, 80]], "threshold": 0.08},
  {"name": "right", "vertices": [[90, 40], [140, 40], [150, 80], [95, 80]]}
], "settings": {"frame_count": 6}}"""


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    """A lossless 160x120 clip at 25 fps: blocks crossing both areas, stops, noise."""
    rng = np.random.default_rng(7)
    base = rng.integers(60, 150, (120, 160, 3)).astype(np.int16)
    frames = []
    for i in range(120):
        pic = base + rng.integers(-3, 4, base.shape)
        for start, x0, speed, grey in ((5, -20, 3, 230), (30, 170, -4, 20), (70, -20, 5, 200)):
            x = x0 + speed * max(0, i - start)
            pic[45:70, max(0, x):max(0, x + 18)] = grey
        frames.append(np.clip(pic, 0, 255).astype(np.uint8))
    path = tmp_path_factory.mktemp("clip") / "clip.mkv"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "bgr24", "-s", "160x120",
                    "-r", "25", "-i", "-", "-c:v", "ffv1", "-pix_fmt", "bgr0", str(path)],
                   input=b"".join(f.tobytes() for f in frames), check=True)
    areas = path.parent / "areas.json"
    areas.write_text(AREAS)
    return path, areas


def test_example_prints_the_tools_events(tool, clip):
    video, areas = clip
    expected = subprocess.run([tool, "run", str(video), "--areas", str(areas)], capture_output=True, text=True,
                              check=True).stdout
    got = subprocess.run([sys.executable, str(REPO / "examples/python/run_video.py"), str(video), str(areas)],
                         capture_output=True, text=True, check=True).stdout
    assert got == expected
    lines = expected.splitlines()
    assert lines[0] == "frame,time,area,name" and len(lines) >= 4
    assert {line.split(",")[2] for line in lines[1:]} == {"0", "1"}
    assert '"left, ""fast"" lane"' in expected


@pytest.mark.parametrize("text", [
    '{"areas": [',
    '{"areas": [{"vertices": [[0, 0], [1, 0], [1, 1]]}]}',
    '{"areas": [{"vertices": [[0, 0], [1, 0], [1, 1], [0, 1]], "threshold": -1}]}',
    '{"areas": [], "settings": {}}',
    '{"areas": [{"vertices": [[0, 0], [1, 0], [1, 1], [0, 1]]}], "settings": {"front_light": 1}}',
])
def test_areas_file_errors_read_as_the_tools(tool, clip, tmp_path, text):
    video, _ = clip
    bad = tmp_path / "bad.json"
    bad.write_text(text)
    run = subprocess.run([tool, "run", str(video), "--areas", str(bad)], capture_output=True, text=True)
    assert run.returncode != 0
    with pytest.raises(tarvocoil.AreasFileError) as e:
        tarvocoil.load_areas(bad)
    assert run.stderr.strip() == f"tarvocoil: {e.value}"
    with pytest.raises(tarvocoil.AreasFileError):
        tarvocoil.load_areas(tmp_path / "missing.json")
