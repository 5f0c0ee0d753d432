"""What the browser tests share: whether they can run, the tool's server
started on a free loopback port, and a headless Chromium driven by Selenium.

Imported by the test scripts beside it; needs Debian's python3-selenium only
when a browser is started (run the tests with /usr/bin/python3).
"""
import os
import shutil
import signal
import subprocess
import sys
import time

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


def missing(need_ffmpeg=True):
    """Why the test cannot run here (it then exits 77, skipped), or None."""
    try:
        import selenium.webdriver  # noqa: F401  (only whether it is there)
    except ImportError:
        return "python3-selenium is not installed"
    for prog in (CHROMIUM, CHROMEDRIVER):
        if not os.access(prog, os.X_OK):
            return prog + " is not installed"
    if need_ffmpeg and not shutil.which("ffmpeg"):
        return "the ffmpeg program is not installed"
    return None


def end_within(seconds):
    """Whatever happens afterwards, the test ends within its time."""
    signal.signal(signal.SIGALRM, lambda *_: sys.exit("timed out"))
    signal.alarm(seconds)


def start_server(args, what):
    """Starts the tool (`args`), which prints "open URL" once it listens;
    returns the process and the URL."""
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.time() + 20
    while time.time() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        if line.startswith("open http://"):
            return proc, line.split()[1]
    proc.kill()
    raise RuntimeError(what + " did not start: " + proc.stderr.read())


def chromium(work, window):
    """A headless Chromium with its profile under `work`, `window` "W,H"."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
              "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
              "--window-size=" + window, "--user-data-dir=" + os.path.join(work, "profile")):
        opts.add_argument(a)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=opts)
    driver.set_page_load_timeout(30)
    return driver
