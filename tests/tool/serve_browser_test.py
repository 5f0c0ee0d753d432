#!/usr/bin/python3
"""The service's page in a real headless Chromium.

Serves three small live streams with the ffmpeg program on 127.0.0.1,
starts `tarvocoil serve` on them, and checks the page: three tiles, each
running with a picture and triggers; a stream killed turns its tile to lost
while the others stay running, and back when the stream returns; a tile's
Edit link opens the editor on a clip of that camera's running stream.

    serve_browser_test.py --tool build/tools/tarvocoil [--screenshot out.png]

Exits 77 (skipped) when Chromium, chromedriver, Selenium or ffmpeg is missing.
Needs Debian's python3-selenium: run it with /usr/bin/python3.
"""
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from browser_harness import chromium, end_within, missing, start_server

CAMERAS = ["north", "east", "south"]
AREAS = {"areas": [{"name": "lane A", "vertices": [[120, 90], [200, 90], [200, 150], [120, 150]]}]}


def make_clip(path):
    """A grey road; a dark car crosses it left to right every 2.5 s."""
    road = "color=c=0x707070:s=320x240:r=25:d=5"
    car = "color=c=0x202838:s=48x30:r=25:d=5"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", road, "-f", "lavfi", "-i", car,
                    "-filter_complex", "[0][1]overlay=x='mod(t*160,400)-60':y=104:shortest=1,noise=alls=6:allf=t",
                    "-c:v", "ffv1", path], check=True, timeout=60)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """Whether something listens on the port, found without connecting (a
    connection would be the one client ffmpeg serves), or has just accepted
    its client (a camera reconnecting quickly)."""
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            local, state = line.split()[1], line.split()[3]
            if state in ("0A", "01") and int(local.split(":")[1], 16) == port:
                return True
    return False


class Stream:
    """ffmpeg serving the clip in a loop, one client, on a port of its own."""

    def __init__(self, clip):
        self.clip, self.port, self.proc = clip, free_port(), None

    def url(self):
        return f"http://127.0.0.1:{self.port}/live.ts"

    def start(self):
        self.proc = subprocess.Popen(["ffmpeg", "-loglevel", "error", "-nostdin", "-re", "-stream_loop", "-1",
                                      "-i", self.clip, "-c:v", "mpeg2video", "-q:v", "2", "-g", "5", "-f", "mpegts",
                                      "-listen", "1", self.url()], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline and not listening(self.port):
            time.sleep(0.05)

    def kill(self):
        if self.proc:
            self.proc.kill()
            self.proc.wait()
            self.proc = None


def start_serve(tool, site):
    return start_server([tool, "serve", site], "serve")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True)
    ap.add_argument("--screenshot", help="also save the page as this PNG")
    args = ap.parse_args()
    why = missing()
    if why:
        print("skipped: " + why)
        return 77
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    end_within(170)

    work = tempfile.mkdtemp(prefix="tarvocoil-serve-browser-")
    clip = os.path.join(work, "clip.mkv")
    make_clip(clip)
    # A stream serves one client: the one that ends first is the one killed.
    streams = {name: Stream(clip) for name in CAMERAS}
    cams = []
    for name, stream in streams.items():
        stream.start()
        with open(os.path.join(work, name + ".areas.json"), "w") as f:
            json.dump(AREAS, f)
        cams.append({"name": name, "source": stream.url(), "areas": name + ".areas.json", "stall": 2,
                     "retry_max_delay": 1})
    site = os.path.join(work, "site.json")
    with open(site, "w") as f:
        json.dump({"listen": "127.0.0.1:0", "cameras": cams, "events": {"dir": "events"}}, f)
    serve, url = start_serve(args.tool, site)
    driver = None
    try:
        driver = chromium(work, "1200,900")
        wait = WebDriverWait(driver, 40)
        driver.get(url)

        def tile(name):
            return driver.find_element(By.CSS_SELECTOR, f'section.tile[data-camera="{name}"]')

        def state(name):
            return tile(name).find_element(By.CSS_SELECTOR, ".state").get_attribute("class").split()[-1]

        def triggers(name):
            return int(tile(name).find_element(By.CSS_SELECTOR, "td.num").text or 0)

        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "section.tile")) == 3)
        wait.until(lambda d: all(state(n) == "running" and triggers(n) >= 1 for n in CAMERAS))
        # Pictures arrive while the page watches.
        wait.until(lambda d: all(d.execute_script("return arguments[0].naturalWidth",
                                                  tile(n).find_element(By.CSS_SELECTOR, "img")) == 320
                                 for n in CAMERAS))
        if args.screenshot:
            driver.save_screenshot(args.screenshot)

        streams["east"].kill()
        wait.until(lambda d: state("east") in ("lost", "reconnecting"))
        north = triggers("north")
        wait.until(lambda d: triggers("north") > north)  # the others keep counting
        assert state("north") == "running" and state("south") == "running"
        streams["east"].start()
        wait.until(lambda d: state("east") == "running")

        # A tile's Edit link opens the editor on a clip of that camera's
        # running stream (its page and API relative to the camera's prefix).
        edit = tile("north").find_element(By.CSS_SELECTOR, "a.edit").get_attribute("href")
        assert edit.endswith("/cameras/north/edit/"), edit
        driver.get(edit + "?seconds=2")
        wait.until(lambda d: "north.mkv" in d.find_element(By.ID, "video-name").text)
        wait.until(lambda d: d.execute_script("return document.getElementById('frame').naturalWidth") == 320)
        print("ok: three tiles; east lost and back while north and south ran; north's editor opened")
        return 0
    finally:
        if driver:
            driver.quit()
        serve.terminate()
        try:
            serve.wait(timeout=30)
        except subprocess.TimeoutExpired:
            serve.kill()
        for s in streams.values():
            s.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
