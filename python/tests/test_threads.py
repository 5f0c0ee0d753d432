"""Detectors in threads: one per camera in parallel, and area replacements
from another thread while frames run."""
import threading

import numpy as np

import tarvocoil
from scenes import Scene, random_session, run_python


def test_detectors_in_threads_give_their_serial_flags():
    sessions = [random_session(seed, frames=80) for seed in range(200, 206)]
    expected = [run_python(s) for s in sessions]
    results = [None] * len(sessions)

    def camera(i):
        results[i] = run_python(sessions[i])

    threads = [threading.Thread(target=camera, args=(i,)) for i in range(len(sessions))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected


def test_areas_replaced_from_another_thread_never_meet_a_running_frame():
    rng = np.random.default_rng(3)
    scene = Scene(rng, 120, 90, night=False)
    frames = [scene.frame() for _ in range(40)]
    quad = [(5, 5), (100, 5), (110, 80), (0, 80)]
    sets = [[quad] * n for n in (1, 4, 2, 7)]
    det = tarvocoil.Detector(sets[0])
    seen = []
    errors = []

    def frames_loop():
        try:
            for i in range(1500):
                flags = det.process(frames[i % len(frames)])
                seen.append((len(flags), set(flags.tolist()) <= {0, 1}))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def replace_loop():
        for i in range(300):
            det.replace_areas(sets[i % len(sets)], float(rng.uniform(0.01, 0.2)))
            det.frame_count = 1 + i % 5

    threads = [threading.Thread(target=frames_loop), threading.Thread(target=replace_loop)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert {n for n, _ in seen} <= {0, 1, 4, 2, 7} and all(ok for _, ok in seen)
    first, second = det.process(frames[0]), det.process(frames[1])
    assert len(first) in (0, 7) and len(second) == det.area_count == len(det.names) == 7
