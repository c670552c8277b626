#!/usr/bin/python3
"""The web pages in a real browser: Debian's headless Chromium, driven by
chromedriver through python3-selenium, against `tessaro --headless` polling
the simulator on a pseudo-terminal.

- the overview shows the simulator's mains failure as on battery within 2 s
  of the monitor decoding it, without a reload, updating its cells in place
  (a focused link stays focused);
- at a phone's 390 px and at 1400 px every device's state, charge and
  runtime show without horizontal scrolling; the dark theme follows the
  system's preference; each state has an icon and a word of its own;
- the device page draws its charts from the data log;
- the events page pages and filters;
- the CSV download equals `tessaro --export-events` byte for byte;
- no request of the browser leaves 127.0.0.1.

Usage: web_browser.py BUILD_DIR [--screenshots DIR]
"""

import datetime
import json
import math
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common import utils as selenium_utils
from selenium.webdriver.common.by import By


class LoopbackService(Service):
    """chromedriver reached by address: a bare system may have no /etc/hosts
    and so no "localhost"."""

    @property
    def service_url(self):
        return f"http://127.0.0.1:{self.port}"

    def is_connectable(self):
        return selenium_utils.is_connectable(self.port, "127.0.0.1")


def localhost_resolves():
    try:
        socket.getaddrinfo("localhost", None)
        return True
    except OSError:
        return False


BUILD = sys.argv[1]
SHOTS = sys.argv[sys.argv.index("--screenshots") + 1] if "--screenshots" in sys.argv else None
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def wait_for(fn, bound, step=0.1):
    """fn() until it returns something true, at most `bound` seconds."""
    end = time.monotonic() + bound
    while True:
        try:
            value = fn()
        except Exception:  # the page is still being built
            value = None
        if value or time.monotonic() >= end:
            return value
        time.sleep(step)  # polling a condition, not synchronising


def ole_local(t):
    """A Unix time as the logs store it: local days since 1899-12-30."""
    lt = time.localtime(t)
    d = datetime.datetime(lt.tm_year, lt.tm_mon, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec)
    return (d - datetime.datetime(1899, 12, 30)).total_seconds() / 86400.0


class Child:
    """A program with its stdout and stderr collected by threads, with the
    time each stdout line arrived."""

    def __init__(self, argv):
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.out, self.err, self.lines = [], [], []
        threading.Thread(target=self._read, args=(self.proc.stdout, self.out, True), daemon=True).start()
        threading.Thread(target=self._read, args=(self.proc.stderr, self.err, False), daemon=True).start()

    def _read(self, stream, into, stamp):
        for line in stream:
            into.append(line)
            if stamp:
                self.lines.append((time.monotonic(), line))

    def text(self):
        return "".join(self.err)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def main():
    work = tempfile.mkdtemp(prefix="tessaro_web_browser_")
    data = os.path.join(work, "data")
    record = os.path.join(data, "Record")
    os.makedirs(record)
    tty = os.path.join(work, "tty")
    with open(os.path.join(data, "UserParaIni.ini"), "w") as f:
        f.write("[CommPort]\nComName=%s\nProtocol=2\nReadIntervalTimeout=50\n[CommMast]\nFastPoll=1\n"
                "[DataLog]\nRecInterval=50\n[Web]\nListen=127.0.0.1:0\n" % tty)
    with open(os.path.join(record, "TreeNode.dat"), "wb") as f:
        for a, name in ((1, "UPS 1 Server room"), (2, "UPS 2 Mains fails")):
            f.write(struct.pack("<BB", 0, a) + name.encode("ascii").ljust(40, b"\r"))
    now = time.time()
    # A day of data log records of device 1 (every 5 minutes), for its charts.
    by_month = {}
    for i in range(288):
        t = now - 86400 + i * 300
        lt = time.localtime(t)
        w = math.sin(i / 24.0)
        # A five-minute mains outage on phase A at record 100.
        rec = struct.pack("<dB7x11diH2x2d", ole_local(t), 1, 0.0 if i == 100 else 220 + 4 * w, 221 + 3 * w, 219 + 2 * w,
                          230, 230.5, 229.5,
                          45 + 10 * w, 40 + 8 * w, 50 + 5 * w, 50.0, 432.0 + w, 100, 30, 1.0, 0.0)
        by_month.setdefault((lt.tm_year, lt.tm_mon), []).append(rec)
    for (y, m), recs in by_month.items():
        with open(os.path.join(record, "DataLog%04d_%02d.dat" % (y, m)), "ab") as f:
            f.write(b"".join(recs))
    # 130 alarm events over the last 130 hours, alternating devices.
    with open(os.path.join(record, "EventLog.dat"), "wb") as f:
        for i in range(130):
            t = now - (130 - i) * 3600
            f.write(struct.pack("<dBBxxiBx26s4x", ole_local(t), 1 + i % 2, 2, 25, i % 2, b""))

    sim = Child([BUILD + "/tessaro-sim", "--link", tty, "--devices", "1-2", "--seed", "5",
                 "--alarm-device", "2", "--alarm-at", "14", "--battery-at", "15", "--clear-at", "200"])
    monitor = driver = None
    try:
        check(wait_for(lambda: any("ready" in l for l in sim.out), 10), "the simulator starts")
        monitor = Child([BUILD + "/tessaro", "--headless", "--data-dir", data, "--duration", "170"])
        m = wait_for(lambda: re.search(r"web server listening on http://127\.0\.0\.1:(\d+)/", monitor.text()), 10)
        check(m is not None, "the monitor serves the web pages: " + monitor.text()[-300:])
        if not m:
            return
        base = "http://127.0.0.1:%s" % m.group(1)

        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--disable-dev-shm-usage", "--window-size=1280," + ("1500" if SHOTS else "900"),
                  "--user-data-dir=" + os.path.join(work, "chromium"),
                  # Any name but the monitor's own address resolves to nothing.
                  "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"):
            options.add_argument(a)
        options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
        try:
            driver = webdriver.Chrome(service=LoopbackService("/usr/bin/chromedriver"), options=options)
        except Exception as e:
            if localhost_resolves():
                raise
            # chromedriver itself reaches the browser by that name.
            print(f"SKIP: this machine does not resolve \"localhost\" (no /etc/hosts?), which chromedriver needs: {e}")
            sys.exit(77)
        driver.set_page_load_timeout(30)
        requests = []

        def take_requests():
            for entry in driver.get_log("performance"):
                msg = json.loads(entry["message"])["message"]
                if msg.get("method") == "Network.requestWillBeSent":
                    requests.append(msg["params"]["request"]["url"])

        # ---- overview: the mains failure shows without a reload
        driver.get(base + "/")
        driver.execute_script("window.__sameLoad = 'yes';")
        state2 = lambda: driver.find_element(By.CSS_SELECTOR, 'tr[data-address="2"] td.state').text
        check(wait_for(lambda: re.fullmatch(r"✓\s*Fine\s+Online", state2()), 40),
              "device 2 shows Online before the failure: " + repr(state2()))
        shown = wait_for(lambda: "On battery" in state2() and time.monotonic(), 60, 0.05)
        # The event line comes from the monitor's printer thread and may reach us after the
        # page shows the state: wait for it too, then compare the times each was seen.
        decoded = wait_for(lambda: next((t for t, line in monitor.lines
                                         if re.search(r"\s2\s+Battery Status", line)), None), 30)
        check(bool(shown) and decoded is not None, "the page and the event log both show battery")
        if shown and decoded is not None:
            check(shown - decoded <= 2.0, "on battery on the page %.2f s after the monitor decoded it" % (shown - decoded))
            print("figure: page update %.2f s after the state was decoded" % (shown - decoded))
        check(driver.execute_script("return window.__sameLoad") == "yes", "the overview was not reloaded")
        check(driver.execute_script("return document.getElementById('offline').hidden"),
              "no 'connection lost' banner while the monitor answers")
        row = driver.find_element(By.CSS_SELECTOR, 'tr[data-address="2"]').text
        check("Mains volt. abnormal" in row, "the alarm is on the overview: " + row)
        check("UPS 1 Server room" in driver.find_element(By.ID, "devices").text, "device names shown")
        heads = [th.text for th in driver.find_elements(By.CSS_SELECTOR, "thead th")]
        check(heads == ["Name", "Address", "State", "Input voltage (V)", "Output voltage (V)", "Load (%)",
                        "Battery capacity (%)", "Backup time (min)", "Alarms"], "the overview's columns: %s" % heads)
        cells = [td.text for td in driver.find_elements(By.CSS_SELECTOR, 'tr[data-address="1"] td.num')]
        check(len(cells) == 6 and re.fullmatch(r"\d+\.\d / \d+\.\d / \d+\.\d", cells[1])
              and re.fullmatch(r"\d+ / \d+ / \d+", cells[3]) and re.fullmatch(r"\d+", cells[5]),
              "phases with their decimals, the runtime in minutes: %s" % cells)
        check("Battery Status" in state2() and "⚡" in state2(), "on battery with its icon and state: " + state2())
        check(driver.title.startswith("⚡ On battery"), "the tab's title says the worst state: " + driver.title)
        check(" is open" in driver.find_element(By.ID, "port").text, "the port status shown")
        looks = driver.execute_script("return Object.values(Looks).map(l => [l.icon, l.text])")
        check(len(looks) == 6 and len({i for i, _ in looks}) == 6 and len({t for _, t in looks}) == 6
              and all(i and t for i, t in looks), "six states, each with an icon and a word of its own: %s" % looks)

        # Focus stays on a link while the overview updates for 5 updates.
        driver.execute_script("document.querySelector('tr[data-address=\"1\"] td.name a').focus();"
                              "window.__link = document.activeElement;")
        sent = lambda: driver.execute_script("return document.querySelectorAll('#bus b')[1].textContent")
        start = sent()
        updates = set()
        check(wait_for(lambda: updates.add(sent()) or len(updates - {start}) >= 5, 30, 0.2),
              "five updates of the overview")
        check(driver.execute_script("return document.activeElement === window.__link && "
                                    "document.activeElement.isConnected"), "the focused link kept its focus")

        # Both widths and both themes: no horizontal scrolling, state, charge and runtime in view.
        for width, height in ((390, 844), (1400, 900)):
            driver.set_window_size(width, height)
            wide = driver.execute_script("return [document.documentElement.scrollWidth, window.innerWidth]")
            check(wide[0] <= wide[1], "at %d px the page is %d px wide in a %d px window" % (width, wide[0], wide[1]))
            hidden = driver.execute_script(
                "const w = window.innerWidth, out = [];"
                "for (const r of document.querySelectorAll('#devices tr'))"
                "  for (const c of ['td.state', 'td.c-charge', 'td.c-runtime']) {"
                "    const b = r.querySelector(c).getBoundingClientRect();"
                "    if (!r.querySelector(c).textContent.trim() || b.width === 0 || b.right > w || b.left < 0)"
                "      out.push(r.dataset.address + ' ' + c); }"
                "return out;")
            check(hidden == [], "at %d px every device's state, charge and runtime in view: %s" % (width, hidden))
            if SHOTS:
                driver.save_screenshot(os.path.join(SHOTS, "web-overview-%d-light.png" % width))
        background = lambda: driver.execute_script("return getComputedStyle(document.body).backgroundColor")
        check(background() == "rgb(255, 255, 255)", "light by default: " + background())
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                               {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
        check(wait_for(lambda: background() == "rgb(18, 22, 25)", 5), "dark with the system's preference: " + background())
        if SHOTS:
            for width, height in ((390, 844), (1400, 900)):
                driver.set_window_size(width, height)
                driver.save_screenshot(os.path.join(SHOTS, "web-overview-%d-dark.png" % width))
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})
        driver.set_window_size(1280, 1500 if SHOTS else 900)
        take_requests()

        # ---- device page: values and charts from the data log
        driver.get(base + "/device/1")
        check(wait_for(lambda: driver.execute_script("return document.body.dataset.charts"), 20) == "4",
              "the device page draws its four charts")
        painted = driver.execute_script(
            "const c = document.querySelector('canvas'); const d = c.getContext('2d')"
            ".getImageData(0, 0, c.width, c.height).data; let n = 0;"
            "for (let i = 3; i < d.length; i += 4) if (d[i]) n++; return n;")
        check(painted > 1000, "the first chart has lines on it (%d pixels)" % painted)
        check(wait_for(lambda: "Online" in driver.find_element(By.ID, "device-state").text, 10),
              "the device's state on its page")
        values = driver.find_element(By.ID, "values").text
        check("Input A Phase V" in values and " V" in values, "the main window's values: " + values[:80])
        # Read in one go: the page redraws its boxes as values arrive.
        boxes = [t.strip().replace("\n", " | ") for t in driver.execute_script(
            "return [...document.querySelectorAll('#values .box')].map(b => b.innerText);")]
        check(len(boxes) == 13 and re.fullmatch(r"Load percent A phase \| \d+ %", boxes[6])
              and re.fullmatch(r"Battery runtime \| \d+ Minute", boxes[11])
              and re.fullmatch(r"Battery charge \| \d+ %", boxes[12]),
              "every value box with its caption, decimals and unit: %s" % boxes)
        check("Last answer: 20" in driver.find_element(By.ID, "info").text, "the time of the last answer")
        lowest = lambda: driver.execute_script(
            "const c = Chart.getChart(document.querySelector('canvas[data-chart=\"input.L1-N.voltage\"]'));"
            "const d = c.data.datasets, a = d.find(s => s.label === 'A'), m = d.find(s => s.label === 'A min');"
            "const low = s => Math.min(...s.data.filter(p => p.y !== null).map(p => p.y));"
            "return [low(a), m ? low(m) : null, c.options.scales.pct ? 1 : 0, Object.keys(c.options.scales).length];")
        check(lowest()[0] == 0, "the outage is on the day's chart at 0 V: %s" % lowest())
        check(driver.execute_script("return document.querySelectorAll('#charts table.sr-only tr').length") > 8,
              "each chart has a table for screen readers")
        battery = driver.execute_script(
            "const c = Chart.getChart(document.querySelector('canvas[data-chart=\"battery.charge\"]'));"
            "return Object.entries(c.options.scales).filter(([k, a]) => k !== 'x').map(([k, a]) => a.title.text);")
        check(sorted(battery) == ["%", "V"], "%% and V on axes of their own, with titles: %s" % battery)
        driver.find_element(By.CSS_SELECTOR, 'button[data-range="7d"]').click()
        check(wait_for(lambda: driver.execute_script("return document.body.dataset.charts"), 10) == "4",
              "the week's charts")
        week = wait_for(lambda: lowest()[1] is not None and lowest(), 10)
        check(week and week[1] == 0 and week[0] > 50,
              "averaged over the week the outage stays visible as the band's 0 V: %s" % week)
        driver.find_element(By.CSS_SELECTOR, 'button[data-range="1h"]').click()
        check(wait_for(lambda: driver.execute_script("return document.body.dataset.charts"), 10) == "4",
              "the hour's charts")
        if SHOTS:
            driver.find_element(By.CSS_SELECTOR, 'button[data-range="24h"]').click()
            time.sleep(1)  # let the chart settle for the picture
            driver.save_screenshot(os.path.join(SHOTS, "web-device-en.png"))
        take_requests()

        # ---- events page: paging and filters
        driver.get(base + "/events")
        select_mode = lambda v: driver.execute_script(
            "const m = document.getElementById('mode'); m.value = arguments[0];"
            "m.dispatchEvent(new Event('change'));", v)
        rows = lambda: driver.find_elements(By.CSS_SELECTOR, "#events tr")
        select_mode("all")
        driver.find_element(By.ID, "search").click()
        check(wait_for(lambda: len(rows()) == 50 and "/ 3" in driver.find_element(By.ID, "page-info").text, 10),
              "the first page of 50 of about 135 events")
        first_index = rows()[0].find_elements(By.TAG_NAME, "td")[0].text
        check(first_index == "1", "newest first")
        driver.find_element(By.ID, "next").click()
        check(wait_for(lambda: rows()[0].find_elements(By.TAG_NAME, "td")[0].text == "51", 10), "page 2 starts at 51")
        driver.find_element(By.ID, "use-address").click()
        driver.execute_script("document.getElementById('address').value = '2';")
        driver.find_element(By.ID, "search").click()
        check(wait_for(lambda: rows() and all(r.find_elements(By.TAG_NAME, "td")[2].text == "2" for r in rows()), 10),
              "the address filter")
        take_requests()

        # ---- the CSV download is the command-line export
        year = time.localtime(now).tm_year
        for encoding in ("gbk", "utf-8"):
            query = {"year": year, "address": 2, "encoding": encoding}
            with urllib.request.urlopen(base + "/api/v1/events.csv?" + urllib.parse.urlencode(query)) as r:
                download = r.read()
            target = os.path.join(work, "export-%s.csv" % encoding)
            subprocess.run([BUILD + "/tessaro", "--data-dir", data, "--export-events", target, "--year", str(year),
                            "--address", "2", "--encoding", encoding], check=True, capture_output=True)
            with open(target, "rb") as f:
                exported = f.read()
            check(download == exported and len(download) > 100,
                  "the %s download equals the command-line export (%d bytes)" % (encoding, len(download)))

        # ---- nothing left this machine
        # The browser's own pages (chrome://) never reach a network; every
        # network request must go to the monitor.
        network = [u for u in requests if urllib.parse.urlsplit(u).scheme in ("http", "https", "ws", "wss", "ftp")]
        outside = [u for u in network if not u.startswith(base + "/")]
        check(len(network) > 10 and not outside, "%d network requests, none beyond %s: %s" % (len(network), base, outside))
    finally:
        if driver:
            driver.quit()
        if monitor:
            monitor.stop()
        sim.stop()
        if not failures:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("kept " + work)
            if monitor:
                print(monitor.text()[-2000:])
    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
