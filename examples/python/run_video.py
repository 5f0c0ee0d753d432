#!/usr/bin/env python3
"""Runs a video through a tarvocoil.Detector and prints one CSV event per
trigger, as `tarvocoil run VIDEO --areas AREAS.json` does:

    frame,time,area,name
    37,1.480000,0,lane 1

frame counts decoded frames from 0, time is the frame's presentation time
in seconds (6 decimals), area the area's index and name its name (quoted
where CSV needs it). Frames come from OpenCV (Debian's python3-opencv).

usage: run_video.py VIDEO AREAS.json
"""
import argparse
import sys

import cv2

import tarvocoil


def csv_field(text):
    if not any(c in text for c in ',"\r\n'):
        return text
    return '"' + text.replace('"', '""') + '"'


def main():
    parser = argparse.ArgumentParser(description="Print the trigger events of a video as CSV.")
    parser.add_argument("video", help="any video file OpenCV reads")
    parser.add_argument("areas", help="an areas file (the format of tarvocoil run --areas)")
    args = parser.parse_args()
    try:
        areas = tarvocoil.load_areas(args.areas)
    except tarvocoil.AreasFileError as e:
        sys.exit(f"run_video.py: {e}")
    capture = cv2.VideoCapture(args.video)
    if not capture.isOpened():
        sys.exit(f"run_video.py: cannot open video '{args.video}'")
    detector = tarvocoil.Detector(areas)
    names = detector.names

    header = False
    index = 0
    while True:
        ok, frame = capture.read()
        if not ok:
            break
        seconds = capture.get(cv2.CAP_PROP_POS_MSEC) / 1000.0
        for area in detector.triggered(frame):
            if not header:
                print("frame,time,area,name")
                header = True
            print(f"{index},{seconds:.6f},{area},{csv_field(names[area])}")
        index += 1
    if index == 0:
        sys.exit(f"run_video.py: cannot decode any frame of '{args.video}'")
    if not header:
        print("frame,time,area,name")


if __name__ == "__main__":
    main()
