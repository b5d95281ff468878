#!/usr/bin/python3
"""The web page in a real browser (chromium headless, through Selenium).

The program runs with no window and no display on the built-in test pattern,
with the web page on and a password; the page loads with the password, the
live picture moves, the latest frame changes after a capture, a video plays
and seeks, and Stop stops the run. Usage: webpage_browser.py PROGRAM
(FERROWICK_SCREENSHOTS=DIR keeps a phone-sized and a desktop-sized
screenshot). Exits 77 (skipped) where the browser is not installed.
"""
import base64
import glob
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:
    sys.exit(77)

CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")
if not CHROMIUM or not DRIVER:
    sys.exit(77)

PASSWORD = "garden shed"


def wait_for(what, check, seconds=15):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main(program):
    tmp = tempfile.mkdtemp(prefix="ferrowick-browser-")
    frames = os.path.join(tmp, "captured")
    count = lambda: len(glob.glob(os.path.join(frames, "*.bmp")))
    env = dict(os.environ, HOME=tmp, XDG_CONFIG_HOME=tmp + "/config", XDG_STATE_HOME=tmp + "/state")
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(name, None)
    # In the sanitizer build the program's own report goes to files of its own.
    report = os.path.join(tmp, "sanitizer")
    for name in ("ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"):
        env[name] = ":".join(filter(None, [env.get(name), "log_path=" + report, "print_suppressions=0"]))
    with open(os.path.join(tmp, "password"), "w") as f:
        f.write(PASSWORD + "\n")
    port = free_port()
    run = subprocess.Popen([program, "--no-window", "--source", "Test pattern", "--interval", "1",
                            "--folder", frames, "--web", str(port), "--web-password-file",
                            os.path.join(tmp, "password"), "--start"], env=env)
    browser = None
    try:
        wait_for("three frames", lambda: count() >= 3, 30)
        # A video of them beside the frames folder, as Make video puts it.
        subprocess.run([program, "--make-video", frames, "--output", os.path.join(tmp, "captured.webm"),
                        "--fps", "2"], env=env, check=True, capture_output=True, timeout=120)

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                    "--no-first-run", "--autoplay-policy=no-user-gesture-required",
                    "--user-data-dir=" + os.path.join(tmp, "chromium"), "--window-size=1280,900"):
            options.add_argument(arg)
        browser = webdriver.Chrome(service=Service(DRIVER), options=options)
        browser.execute_cdp_cmd("Network.enable", {})
        token = base64.b64encode(("ferrowick:" + PASSWORD).encode()).decode()
        browser.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {"Authorization": "Basic " + token}})
        browser.get("http://127.0.0.1:%d/" % port)
        js = browser.execute_script
        wait_for("the run's state", lambda: js("return document.getElementById('words').textContent")
                 .startswith("Capturing"))

        # The live picture moves: two looks at it a second apart differ.
        look = """const img = document.getElementById('live');
                  if (!img.naturalWidth) return null;
                  const c = document.createElement('canvas');
                  c.width = img.naturalWidth; c.height = img.naturalHeight;
                  c.getContext('2d').drawImage(img, 0, 0);
                  return c.toDataURL();"""
        first = wait_for("the live picture", lambda: js(look))
        time.sleep(1.2)
        assert wait_for("the live picture to move", lambda: js(look) != first), "the live picture stands still"

        # The latest frame changes after a capture, and shows.
        name = lambda: js("return document.getElementById('latestName').textContent")
        before = wait_for("a latest frame", lambda: name().endswith(".bmp") and name())
        wait_for("a newer latest frame", lambda: name() != before)
        wait_for("the latest frame to show", lambda: js(
            "const i = document.getElementById('latest'); return i.complete && i.naturalWidth === 320"))

        # A video plays and seeks.
        wait_for("the video listed", lambda: js(
            "return [...document.querySelectorAll('#videos button')].some(b => b.textContent.startsWith('captured.webm'))"))
        js("[...document.querySelectorAll('#videos button')].find(b => b.textContent.startsWith('captured.webm')).click()")
        wait_for("the video to play", lambda: js("return document.getElementById('player').currentTime > 0"))
        js("const p = document.getElementById('player'); p.pause(); p.dataset.seeked = '';"
           "p.addEventListener('seeked', () => p.dataset.seeked = 'yes', {once: true}); p.currentTime = 1.0;")
        wait_for("the video to seek", lambda: js(
            "const p = document.getElementById('player');"
            "return p.dataset.seeked === 'yes' && Math.abs(p.currentTime - 1.0) < 0.05 && p.readyState >= 2"))

        shots = os.environ.get("FERROWICK_SCREENSHOTS")
        if shots:
            os.makedirs(shots, exist_ok=True)
            browser.save_screenshot(os.path.join(shots, "page-desktop.png"))
            browser.set_window_size(360, 780)
            time.sleep(0.5)
            browser.save_screenshot(os.path.join(shots, "page-phone.png"))

        # Stop stops the run: the page says so, and no frame comes after.
        browser.find_element("id", "stop").click()
        wait_for("the run to stop", lambda: js("return document.getElementById('words').textContent") == "Stopped")
        stopped = count()
        time.sleep(2.5)
        assert count() == stopped, "frames still come after Stop: %d, then %d" % (stopped, count())
    finally:
        if browser:
            browser.quit()
        run.send_signal(signal.SIGTERM)
        code = run.wait(timeout=20)
    assert code == 0, "the program ended with %d" % code
    reports = glob.glob(report + "*")
    for path in reports:
        print(open(path).read(), file=sys.stderr)
    assert not reports, "the sanitizers reported on the program"
    shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1])
