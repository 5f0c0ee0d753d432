#!/usr/bin/python3
"""The coil editor driven in a real headless Chromium.

Makes a small clip, starts `tarvocoil edit` on a free loopback port, draws a
coil with the mouse, drags a corner, renames it, sets its threshold, saves,
checks the file, runs Test and checks the triggers against `tarvocoil run`
on the saved file, presses Tune; then the parser's messages and the changed-on-disk notice;
then a pair of coils: its arrow, a rename it follows, Test's counts,
occupancy and speeds, and a delete that takes the pair away.

    edit_browser_test.py --tool build/tools/tarvocoil [--screenshot out.png]

Exits 77 (skipped) when Chromium, chromedriver or Selenium is missing.
Needs Debian's python3-selenium: run it with /usr/bin/python3.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WIDTH, HEIGHT = 320, 240


def make_clip(path):
    """A grey road with lane marks; a dark car crosses twice, left to right."""
    road = (f"color=c=0x707070:s={WIDTH}x{HEIGHT}:r=25:d=5,"
            "drawbox=x=0:y=60:w=iw:h=4:c=white:t=fill,drawbox=x=0:y=176:w=iw:h=4:c=white:t=fill")
    car = "color=c=0x202838:s=48x30:r=25:d=5"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", road, "-f", "lavfi", "-i", car,
                    "-filter_complex", "[0][1]overlay=x='mod(t*160,400)-60':y=104:shortest=1,noise=alls=6:allf=t",
                    "-c:v", "ffv1", path], check=True, timeout=60)


def start_editor(tool, clip, areas, truth):
    proc = subprocess.Popen([tool, "edit", clip, "--areas", areas, "--truth", truth, "--port", "0"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    deadline = time.time() + 20
    while time.time() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        if line.startswith("open http://"):
            return proc, line.split()[1]
    proc.kill()
    raise RuntimeError("the editor did not start: " + proc.stderr.read())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True)
    ap.add_argument("--screenshot", help="also save the page as this PNG")
    args = ap.parse_args()
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import WebDriverWait
    except ImportError:
        print("skipped: python3-selenium is not installed")
        return 77
    for prog in (CHROMIUM, CHROMEDRIVER):
        if not os.access(prog, os.X_OK):
            print("skipped: " + prog + " is not installed")
            return 77
    if not shutil.which("ffmpeg"):
        print("skipped: the ffmpeg program is not installed")
        return 77
    # Whatever happens below, the test ends within its time.
    signal.signal(signal.SIGALRM, lambda *_: sys.exit("timed out"))
    signal.alarm(170)

    work = tempfile.mkdtemp(prefix="tarvocoil-edit-browser-")
    clip, areas = os.path.join(work, "clip.mkv"), os.path.join(work, "areas.json")
    make_clip(clip)
    # The car enters the coil drawn below on frames 24 and 87; the truth
    # has the first, and one more vehicle that never came.
    truth = os.path.join(work, "truth.csv")
    with open(truth, "w") as f:
        f.write("frame,area\n24,lane A\n60,0\n")
    editor, url = start_editor(args.tool, clip, areas, truth)
    driver = None
    try:
        opts = webdriver.ChromeOptions()
        opts.binary_location = CHROMIUM
        for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
                  "--window-size=1200,1000", "--user-data-dir=" + os.path.join(work, "profile")):
            opts.add_argument(a)
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=opts)
        driver.set_page_load_timeout(30)
        wait = WebDriverWait(driver, 30)
        driver.get(url)
        wait.until(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "1")
        text = lambda i: driver.find_element(By.ID, i).text
        assert "does not exist yet" in text("save-message"), text("save-message")

        canvas = driver.find_element(By.ID, "overlay")
        rect = driver.execute_script("const r = arguments[0].getBoundingClientRect();"
                                     "return [r.left, r.top, r.width, r.height];", canvas)
        scale = rect[2] / WIDTH

        def at(x, y):  # picture pixel -> offset from the canvas centre, in CSS pixels
            return round((x + 0.5) * scale - rect[2] / 2), round((y + 0.5) * scale - rect[3] / 2)

        # A coil by four clicks, across the car's path.
        driver.find_element(By.ID, "add-coil").click()
        corners = [(120, 90), (200, 90), (205, 150), (115, 150)]
        for x, y in corners:
            ActionChains(driver).move_to_element_with_offset(canvas, *at(x, y)).click().perform()
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#coils tr.coil")) == 1)
        # Drag its third corner 10 pixels right and 5 down.
        ActionChains(driver).move_to_element_with_offset(canvas, *at(205, 150)).click_and_hold() \
            .move_to_element_with_offset(canvas, *at(215, 155)).release().perform()
        corners[2] = (215, 155)
        name = driver.find_element(By.CSS_SELECTOR, ".coil-name")
        name.clear()
        name.send_keys("lane A")
        threshold = driver.find_element(By.CSS_SELECTOR, ".coil-threshold")
        threshold.clear()
        threshold.send_keys("0.12")
        frame_count = driver.find_element(By.NAME, "frame_count")
        frame_count.send_keys("15")
        # The detector's own rows are drawn: the coil's inside is tinted.
        wait.until(lambda d: d.execute_script("return state.rows.length") == 1)
        alpha = driver.execute_script("const c = arguments[0], k = c.width / %d;"
                                      "return c.getContext('2d').getImageData(160 * k, 120 * k, 1, 1).data[3]"
                                      % WIDTH, canvas)
        assert alpha > 0, alpha

        driver.find_element(By.ID, "save").click()
        wait.until(lambda d: "Saved 1 coil" in text("save-message"))
        with open(areas) as f:
            saved = json.load(f)
        assert len(saved["areas"]) == 1, saved
        coil = saved["areas"][0]
        assert coil["name"] == "lane A" and coil["threshold"] == 0.12, coil
        for got, want in zip(coil["vertices"], corners):
            assert abs(got[0] - want[0]) <= 1 and abs(got[1] - want[1]) <= 1, (coil["vertices"], corners)
        assert saved["settings"] == {"frame_count": 15}, saved

        # Test: the page's triggers are those `run` writes for the saved file.
        driver.find_element(By.ID, "run-test").click()
        wait.until(lambda d: "trigger" in text("test-message"))
        rows = driver.find_elements(By.CSS_SELECTOR, "#events tbody tr")
        page = [(int(r.get_attribute("data-frame")), int(r.get_attribute("data-area"))) for r in rows]
        run = subprocess.run([args.tool, "run", clip, "--areas", areas, "--format", "jsonl"], capture_output=True,
                             text=True, timeout=60, check=True)
        expected = [(e["frame"], e["area"]) for e in map(json.loads, run.stdout.splitlines())]
        assert page == expected, (page, expected)
        assert len(expected) == 2, expected  # the car crosses the coil twice
        marks = driver.find_elements(By.CSS_SELECTOR, ".timeline .mark.trigger")
        assert len(marks) == len(expected)
        # Against the truth: the first trigger a hit, the second false, one vehicle missed.
        assert "lane A: 1 hits, 1 misses, 1 false" in text("test-message"), text("test-message")
        classes = [m.get_attribute("class") for m in driver.find_elements(By.CSS_SELECTOR, ".timeline .mark")]
        assert classes == ["mark trigger hit", "mark trigger false", "mark miss"], classes
        # Clicking a trigger shows its frame.
        marks[1].click()
        frame = expected[1][0]
        wait.until(lambda d: ("frame %d" % frame) in text("time-label"))
        if args.screenshot:
            # The whole page: a window as tall as the page.
            height = driver.execute_script("return document.documentElement.scrollHeight")
            driver.set_window_size(1200, height + 160)
            driver.execute_script("window.scrollTo(0, 0)")
            time.sleep(0.5)
            driver.save_screenshot(args.screenshot)

        # With the real measurements each coil has a margin series.
        assert "no margins" not in text("test-message"), text("test-message")
        # Tune puts tune's recommendation into the list (unsaved).
        driver.find_element(By.ID, "tune").click()
        wait.until(lambda d: "Recommended thresholds applied" in text("test-message") or
                   "error" in (d.find_element(By.ID, "test-message").get_attribute("class") or ""))
        assert "Recommended thresholds applied" in text("test-message"), text("test-message")
        tuned = float(driver.find_element(By.CSS_SELECTOR, ".coil-threshold").get_attribute("value"))
        assert 0.01 <= tuned <= 0.5, tuned

        # The parser's message for a value it refuses, and no write.
        threshold = driver.find_element(By.CSS_SELECTOR, ".coil-threshold")
        threshold.clear()
        threshold.send_keys("-1")
        driver.find_element(By.ID, "save").click()
        wait.until(lambda d: "$.areas[0].threshold: expected a number of 0 or more" in text("save-message"))
        with open(areas) as f:
            assert json.load(f) == saved

        # Another program rewrites the file: the page says so.
        assert not driver.find_element(By.ID, "disk-banner").is_displayed()
        with open(areas, "w") as f:
            f.write('{"areas": [{"vertices": [[0, 0], [9, 0], [9, 9], [0, 9]]}]}\n')
        wait.until(lambda d: d.find_element(By.ID, "disk-banner").is_displayed())

        # A pair of coils 90 pixels apart, 9 m as written: the car's 160
        # pixels a second are 57.6 km/h.
        with open(areas, "w") as f:
            json.dump({"areas": [{"name": "in", "vertices": [[100, 90], [130, 90], [130, 150], [100, 150]]},
                                 {"name": "out", "vertices": [[190, 90], [220, 90], [220, 150], [190, 150]]}],
                       "pairs": [{"name": "lane", "from": "in", "to": "out", "distance": 9}]}, f)
        driver.find_element(By.ID, "reload-banner").click()
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#coils tr.coil")) == 2)
        # The pair's arrow runs between the coils' middles: white between them.
        pixel = lambda d: d.execute_script("const c = arguments[0], k = c.width / %d; return Array.from("
                                           "c.getContext('2d').getImageData(160 * k, 120 * k, 1, 1).data)"
                                           % WIDTH, canvas)
        wait.until(lambda d: d.execute_script("return state.rows.length") == 2)
        assert pixel(driver) == [255, 255, 255, 255], pixel(driver)
        # Renaming a coil renames it in its pair, so the page still saves
        # (and the truth file's rows find their coil by this name).
        name = driver.find_elements(By.CSS_SELECTOR, ".coil-name")[0]
        name.clear()
        name.send_keys("lane A")
        assert driver.execute_script("return state.doc.pairs[0].from") == "lane A"
        driver.find_element(By.ID, "run-test").click()
        wait.until(lambda d: "trigger" in text("test-message") or
                   "error" in (d.find_element(By.ID, "test-message").get_attribute("class") or ""))
        assert "2 vehicles" in text("test-message"), text("test-message")
        coils = [[td.text for td in r.find_elements(By.TAG_NAME, "td")]
                 for r in driver.find_elements(By.CSS_SELECTOR, "#traffic-coils tbody tr")]
        assert [c[0] for c in coils] == ["lane A", "out"] and all(c[1] == "2" for c in coils), coils
        assert all(c[3].endswith(" %") and 0 < float(c[3][:-2]) < 100 for c in coils), coils
        speeds = [float(r.find_elements(By.TAG_NAME, "td")[3].text)
                  for r in driver.find_elements(By.CSS_SELECTOR, "#vehicles tbody tr")]
        assert len(speeds) == 2 and all(abs(v - 57.6) < 57.6 * 0.08 for v in speeds), speeds
        # Deleting a coil takes its pair away, says so, and Save succeeds.
        driver.find_elements(By.CSS_SELECTOR, ".coil-delete")[1].click()
        assert 'pair "lane"' in text("save-message"), text("save-message")
        driver.find_element(By.ID, "save").click()
        wait.until(lambda d: "Saved 1 coil" in text("save-message"))
        with open(areas) as f:
            assert "pairs" not in json.load(f)
        print("ok: coil drawn, saved, %d triggers equal to run; a pair's vehicles measured" % len(expected))
        return 0
    finally:
        if driver:
            driver.quit()
        editor.terminate()
        try:
            editor.wait(timeout=10)
        except subprocess.TimeoutExpired:
            editor.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
