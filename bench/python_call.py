#!/usr/bin/env python3
"""Times tarvocoil.Detector.process() from Python against the C++ call it
wraps, on 720x576 frames with the three coils of examples/three-lanes.json,
and reports the ratio. Run it with the installed package:

    build-python/venv/bin/python bench/python_call.py [--night] [--reps 7]

Both paths process the same pool of frames (about 60 MB, so that frames
come from memory as camera frames do) through detectors of their own: the
Python path calls process(frame) in a Python loop and gets its flag array
back; the C++ path runs tarvocoil::Detector::process over the same frames
in one call. Repetitions alternate between the two; medians are reported.
--threads also runs two detectors in two Python threads, which overlap
only because process() releases the GIL.
"""
import argparse
import statistics
import threading
import time
from pathlib import Path

import numpy as np

import tarvocoil
from tarvocoil import _tarvocoil

AREAS = Path(__file__).resolve().parents[1] / "examples" / "three-lanes.json"


def make_pool(count, night):
    rng = np.random.default_rng(11)
    h, w = 576, 720
    road = rng.integers(5, 40, (h, w, 3)) if night else rng.integers(80, 140, (h, w, 3))
    pool = np.empty((count, h, w, 3), np.uint8)
    for i in range(count):
        pic = road + rng.integers(-3, 4, road.shape)
        for lane, x0 in enumerate((180, 310, 440)):
            y = (i * (6 + 2 * lane) + 120 * lane) % (h + 80) - 80
            pic[max(0, y):max(0, y + 70), x0:x0 + 90] = 60 + 60 * lane
            if night:
                pic[max(0, y + 60):max(0, y + 70), x0 + 5:x0 + 35] = 255
                pic[max(0, y + 60):max(0, y + 70), x0 + 55:x0 + 85] = 255
        pool[i] = np.clip(pic, 0, 255)
    return pool


def python_pass(det, pool, passes):
    start = time.perf_counter()
    for _ in range(passes):
        for frame in pool:
            det.process(frame)
    return (time.perf_counter() - start) / (passes * len(pool))


def native_pass(det, pool, passes):
    start = time.perf_counter()
    for _ in range(passes):
        _tarvocoil._process_frames_native(det, pool)
    return (time.perf_counter() - start) / (passes * len(pool))


def threaded(pool, night, passes, threads):
    dets = [tarvocoil.Detector(str(AREAS), front_light=night) for _ in range(threads)]
    workers = [threading.Thread(target=python_pass, args=(d, pool, passes)) for d in dets]
    start = time.perf_counter()
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    return (time.perf_counter() - start) / (passes * len(pool) * threads)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--night", action="store_true", help="front-light triggering on, headlights in the frames")
    ap.add_argument("--reps", type=int, default=7)
    ap.add_argument("--frames", type=int, default=48, help="frames in the pool")
    ap.add_argument("--passes", type=int, default=10, help="passes over the pool per repetition")
    ap.add_argument("--threads", action="store_true", help="also time two detectors in two threads")
    args = ap.parse_args()

    pool = make_pool(args.frames, args.night)
    py_det = tarvocoil.Detector(str(AREAS), front_light=args.night)
    cpp_det = tarvocoil.Detector(str(AREAS), front_light=args.night)
    python_pass(py_det, pool, 1)    # baselines and warm-up
    native_pass(cpp_det, pool, 1)
    py_times, cpp_times = [], []
    for _ in range(args.reps):
        py_times.append(python_pass(py_det, pool, args.passes))
        cpp_times.append(native_pass(cpp_det, pool, args.passes))
    py_us, cpp_us = statistics.median(py_times) * 1e6, statistics.median(cpp_times) * 1e6
    print(f"720x576, 3 coils, front light {'on' if args.night else 'off'}, "
          f"{args.frames} frames x {args.passes} passes x {args.reps} repetitions")
    print(f"C++ call     {cpp_us:8.1f} us/frame")
    print(f"Python call  {py_us:8.1f} us/frame")
    print(f"ratio Python/C++ {py_us / cpp_us:.3f} (overhead {py_us - cpp_us:+.1f} us/frame)")
    if args.threads:
        one = threaded(pool, args.night, args.passes, 1)
        two = threaded(pool, args.night, args.passes, 2)
        print(f"two detectors in two threads: {one / two:.2f}x the frames per second of one")


if __name__ == "__main__":
    main()
