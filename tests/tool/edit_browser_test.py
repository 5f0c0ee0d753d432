#!/usr/bin/python3
"""The coil editor driven in a real headless Chromium.

Makes a small clip, starts `tarvocoil edit` on a free loopback port, draws a
coil with the mouse, drags a corner, renames it, sets its threshold, saves,
checks the file, runs Test and checks the triggers against `tarvocoil run`
on the saved file, presses Tune; labels the car's passages by keyboard (and
one by Ctrl+click, moved, then deleted), saves them as the truth file and
checks that Test with them scores as `tarvocoil tune` does with that file;
shows the light view; then the parser's messages and the changed-on-disk notice;
then a pair of coils: its arrow, a rename it follows, Test's counts,
occupancy and speeds, and a delete that takes the pair away.

    edit_browser_test.py --tool build/tools/tarvocoil [--screenshot out.png] [--shots DIR]

--shots writes editor-labels.png and editor-light.png into DIR.

Exits 77 (skipped) when Chromium, chromedriver or Selenium is missing.
Needs Debian's python3-selenium: run it with /usr/bin/python3.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from browser_harness import chromium, end_within, missing, start_server

WIDTH, HEIGHT = 320, 240


def make_clip(path):
    """A grey road with lane marks; a dark car with two headlights crosses twice, left to right."""
    road = (f"color=c=0x707070:s={WIDTH}x{HEIGHT}:r=25:d=5,"
            "drawbox=x=0:y=60:w=iw:h=4:c=white:t=fill,drawbox=x=0:y=176:w=iw:h=4:c=white:t=fill")
    car = ("color=c=0x202838:s=48x30:r=25:d=5,"
           "drawbox=x=40:y=3:w=8:h=6:c=white:t=fill,drawbox=x=40:y=21:w=8:h=6:c=white:t=fill")
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", road, "-f", "lavfi", "-i", car,
                    "-filter_complex", "[0][1]overlay=x='mod(t*160,400)-60':y=104:shortest=1,noise=alls=6:allf=t",
                    "-c:v", "ffv1", path], check=True, timeout=60)


def start_editor(tool, clip, areas, truth):
    return start_server([tool, "edit", clip, "--areas", areas, "--truth", truth, "--port", "0"], "the editor")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True)
    ap.add_argument("--screenshot", help="also save the page as this PNG")
    ap.add_argument("--shots", help="also save the labelling and light view pictures into this folder")
    args = ap.parse_args()
    why = missing()
    if why:
        print("skipped: " + why)
        return 77
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    end_within(170)

    work = tempfile.mkdtemp(prefix="tarvocoil-edit-browser-")
    clip, areas = os.path.join(work, "clip.mkv"), os.path.join(work, "areas.json")
    make_clip(clip)
    # The car enters the coil drawn below on frames 25 and 88; the truth
    # has the first, and one more vehicle that never came.
    truth = os.path.join(work, "truth.csv")
    with open(truth, "w") as f:
        f.write("frame,area\n24,lane A\n60,0\n")
    editor, url = start_editor(args.tool, clip, areas, truth)
    driver = None
    try:
        driver = chromium(work, "1200,1000")
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
            small_png(args.screenshot)

        # With the real measurements each coil has a margin series.
        assert "no margins" not in text("test-message"), text("test-message")
        # Tune puts tune's recommendation into the list (unsaved).
        driver.find_element(By.ID, "tune").click()
        wait.until(lambda d: "Recommended thresholds applied" in text("test-message") or
                   "error" in (d.find_element(By.ID, "test-message").get_attribute("class") or ""))
        assert "Recommended thresholds applied" in text("test-message"), text("test-message")
        tuned = float(driver.find_element(By.CSS_SELECTOR, ".coil-threshold").get_attribute("value"))
        assert 0.01 <= tuned <= 0.5, tuned

        saved = label_passages(driver, wait, args, clip, areas, truth, expected)
        light_view(driver, wait, args)

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
        # The rows of the new coils are answered late on purpose (as on a
        # busy machine): their answer must not wipe the save's message.
        driver.execute_script("""
            const plain = window.fetch;
            window.rowsAnswered = 0;
            window.fetch = (url, opts) => String(url).endsWith("api/rows")
                ? new Promise((r) => setTimeout(r, 500)).then(() => plain(url, opts))
                    .then((res) => { window.rowsAnswered++; return res; })
                : plain(url, opts);""")
        driver.find_elements(By.CSS_SELECTOR, ".coil-delete")[1].click()
        assert 'pair "lane"' in text("save-message"), text("save-message")
        driver.find_element(By.ID, "save").click()
        wait.until(lambda d: "Saved 1 coil" in text("save-message"))
        wait.until(lambda d: d.execute_script("return window.rowsAnswered") >= 1)
        driver.execute_script("return new Promise((r) => setTimeout(r, 300))")  # its handler has run
        assert "Saved 1 coil" in text("save-message"), text("save-message")
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


def small_png(path):
    """The screenshot in 256 colours: a fraction of the bytes, for the docs."""
    tmp = path + ".tmp.png"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-i", path, "-vf",
                    "split[a][b];[a]palettegen=stats_mode=single[p];[b][p]paletteuse=dither=none", tmp],
                   check=True, timeout=60)
    os.replace(tmp, path)


def marks_listed(driver, By):
    return [int(r.get_attribute("data-frame")) for r in driver.find_elements(By.CSS_SELECTOR, "#marks tr.passage")]


def label_passages(driver, wait, args, clip, areas, truth, triggers):
    """Marks the car's passages by keyboard, saves them, and checks Test against tune on the file."""
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    text = lambda i: driver.find_element(By.ID, i).text
    # The truth file's two rows are the page's marks; delete them.
    assert marks_listed(driver, By) == [24, 60], marks_listed(driver, By)
    for _ in range(2):
        driver.find_elements(By.CSS_SELECTOR, ".mark-delete")[0].click()
    assert marks_listed(driver, By) == []
    keys = lambda *k: ActionChains(driver).send_keys(*k).perform()
    # At each trigger (shown by clicking it), key 1 marks coil 1.
    frames = [f for f, _ in triggers]
    for k, frame in enumerate(frames):
        driver.find_elements(By.CSS_SELECTOR, ".timeline .mark.trigger")[k].click()
        wait.until(lambda d: ("frame %d" % frame) in text("time-label"))
        keys("1")
    assert marks_listed(driver, By) == frames, marks_listed(driver, By)
    # Two frames on, a Ctrl+click on the coil marks it too; moved, then deleted.
    keys(Keys.ARROW_RIGHT, Keys.ARROW_RIGHT)
    wait.until(lambda d: ("frame %d" % (frames[-1] + 2)) in text("time-label"))
    canvas = driver.find_element(By.ID, "overlay")
    scale = canvas.size["width"] / WIDTH
    ActionChains(driver).key_down(Keys.CONTROL).move_to_element_with_offset(
        canvas, round((160 - WIDTH / 2) * scale), round((120 - HEIGHT / 2) * scale)).click().key_up(Keys.CONTROL).perform()
    assert marks_listed(driver, By) == frames + [frames[-1] + 2], marks_listed(driver, By)
    assert len(driver.find_elements(By.CSS_SELECTOR, ".lane .mark.passage")) == 3
    moved = driver.find_elements(By.CSS_SELECTOR, ".mark-frame")[2]
    moved.clear()
    moved.send_keys(str(frames[-1] + 5), Keys.ENTER)
    wait.until(lambda d: marks_listed(d, By) == frames + [frames[-1] + 5])
    if args.shots:
        time.sleep(0.5)
        driver.find_element(By.TAG_NAME, "main").screenshot(os.path.join(args.shots, "editor-labels.png"))
        small_png(os.path.join(args.shots, "editor-labels.png"))
    driver.find_elements(By.CSS_SELECTOR, ".mark-delete")[2].click()
    assert marks_listed(driver, By) == frames
    # A mark beyond the clip's end is refused with a message, nothing written.
    beyond = driver.find_elements(By.CSS_SELECTOR, ".mark-frame")[1]
    beyond.clear()
    beyond.send_keys("100000", Keys.ENTER)
    driver.find_element(By.ID, "save-marks").click()
    wait.until(lambda d: "beyond the clip's end" in text("marks-message"))
    assert not os.path.exists(truth + ".bak")
    beyond = driver.find_elements(By.CSS_SELECTOR, ".mark-frame")[1]
    beyond.clear()
    beyond.send_keys(str(frames[1]), Keys.ENTER)

    # Saved by coil name, atomically, the old file kept.
    driver.execute_script("document.getElementById('save-message').textContent = ''")
    driver.find_element(By.ID, "save").click()
    wait.until(lambda d: "Saved 1 coil" in text("save-message"))
    driver.find_element(By.ID, "save-marks").click()
    wait.until(lambda d: "Saved 2 marks" in text("marks-message"))
    with open(truth) as f:
        written = f.read()
    assert written == "frame,area\n%d,lane A\n%d,lane A\n" % tuple(frames), written
    with open(truth + ".bak") as f:
        assert f.read() == "frame,area\n24,lane A\n60,0\n"
    # Test scores the marks as tune scores the file (tune's row with the
    # coils' own thresholds: triggers, hits, misses, false).
    driver.find_element(By.ID, "run-test").click()
    wait.until(lambda d: "lane A: " in text("test-message") and "running" not in text("test-message"))
    page = text("test-message").split("lane A: ")[1].split("\n")[0]
    tune = subprocess.run([args.tool, "tune", clip, "--areas", areas, "--truth", truth], capture_output=True,
                          text=True, timeout=60, check=True)
    row = next(line.split() for line in tune.stdout.splitlines() if line.startswith("all "))
    assert page == "%s hits, %s misses, %s false" % (row[2], row[3], row[4]), (page, tune.stdout)
    assert row[2] == "2", tune.stdout
    driver.find_element(By.ID, "tune").click()
    wait.until(lambda d: "Recommended thresholds applied" in text("test-message"))
    with open(areas) as f:
        return json.load(f)


def light_view(driver, wait, args):
    """Front light on with limits the headlights fit: the light view of a trigger's frame."""
    from selenium.webdriver.common.by import By
    text = lambda i: driver.find_element(By.ID, i).text
    driver.find_element(By.NAME, "front_light").click()
    for name, value in (("light.min_width", "4"), ("light.min_height", "4"), ("light.max_width", "30"),
                        ("light.max_height", "30")):
        driver.find_element(By.NAME, name).send_keys(value)
    driver.find_element(By.ID, "run-test").click()
    wait.until(lambda d: "trigger" in text("test-message") and "running" not in text("test-message"))
    triggers = driver.find_elements(By.CSS_SELECTOR, ".timeline .mark.trigger")
    assert triggers, text("test-message")
    triggers[0].click()
    driver.find_element(By.ID, "light-view").click()
    wait.until(lambda d: "(light test ran)" in text("time-label"))
    # The headlights are painted: the picture holds light-pixel yellow.
    yellow = driver.execute_script(
        "const img = document.getElementById('frame'), c = document.createElement('canvas');"
        "c.width = img.naturalWidth; c.height = img.naturalHeight; const g = c.getContext('2d');"
        "g.drawImage(img, 0, 0); const d = g.getImageData(0, 0, c.width, c.height).data; let n = 0;"
        "for (let i = 0; i < d.length; i += 4) if (d[i] > 200 && d[i + 1] > 200 && d[i + 2] < 120) ++n; return n;")
    assert yellow > 20, yellow
    if args.shots:
        time.sleep(0.3)
        driver.find_element(By.ID, "stage").screenshot(os.path.join(args.shots, "editor-light.png"))
        small_png(os.path.join(args.shots, "editor-light.png"))
    driver.find_element(By.ID, "light-view").click()


if __name__ == "__main__":
    sys.exit(main())
