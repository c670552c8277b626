#!/usr/bin/python3
"""A Prometheus server from Debian scrapes `tessaro --headless` polling a
simulated bus of 16 devices, one of which falls silent: every scrape
succeeds, the silent device reports tessaro_device_up 0 and no readings,
the others their voltages. The monitor runs eight hours east of UTC and its
time stamps are still true Unix seconds; every query of the Grafana
dashboard in docs/ returns series.

Usage: prometheus_scrape.py BUILD_DIR
"""

import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

BUILD = sys.argv[1]
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def wait_for(fn, bound, step=0.5):
    end = time.monotonic() + bound
    while True:
        try:
            value = fn()
        except Exception:  # not up yet
            value = None
        if value or time.monotonic() >= end:
            return value
        time.sleep(step)  # polling a condition, not synchronising


def said(path, pattern, bound):
    """The first match of `pattern` in the file a process writes its log to, once it is there."""
    def look():
        with open(path, errors="replace") as f:
            return re.search(pattern, f.read())
    return wait_for(look, bound, 0.1)


def main():
    work = tempfile.mkdtemp(prefix="tessaro_prometheus_")
    data = os.path.join(work, "data")
    os.makedirs(os.path.join(data, "Record"))
    tty = os.path.join(work, "tty")
    with open(os.path.join(data, "UserParaIni.ini"), "w") as f:
        f.write("[CommPort]\nComName=%s\nProtocol=2\nReadIntervalTimeout=50\n[CommMast]\nFastPoll=1\n"
                "[DataLog]\nRecInterval=0\n[Web]\nListen=127.0.0.1:0\n" % tty)
    with open(os.path.join(data, "Record", "TreeNode.dat"), "wb") as f:
        for a in range(1, 17):
            f.write(struct.pack("<BB", 0, a) + ("UPS %d" % a).encode().ljust(40, b"\r"))
    procs = []
    try:
        sim = subprocess.Popen([BUILD + "/tessaro-sim", "--link", tty, "--devices", "1-16", "--drop-device", "16",
                                "--drop-after", "0"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        procs.append(sim)
        check("ready" in sim.stdout.readline(), "the simulator starts")
        # Logs go to files, read with a bound; the listeners take ports of their own choosing.
        monitor_log = os.path.join(work, "monitor.err")
        with open(monitor_log, "w") as err:
            procs.append(subprocess.Popen([BUILD + "/tessaro", "--headless", "--data-dir", data, "--duration", "120"],
                                          stdout=subprocess.DEVNULL, stderr=err,
                                          env=dict(os.environ, TZ="Asia/Shanghai")))
        m = said(monitor_log, r"web server listening on http://(127\.0\.0\.1:\d+)/", 30)
        check(m is not None, "the monitor serves the metrics")
        if not m:
            return
        target = m.group(1)
        with open(os.path.join(work, "prometheus.yml"), "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n"
                    "  - job_name: tessaro\n    static_configs:\n      - targets: ['%s']\n" % target)
        prom_log = os.path.join(work, "prometheus.err")
        with open(prom_log, "w") as err:
            procs.append(subprocess.Popen(["/usr/bin/prometheus", "--config.file=" + os.path.join(work, "prometheus.yml"),
                                           "--storage.tsdb.path=" + os.path.join(work, "tsdb"),
                                           "--web.listen-address=127.0.0.1:0"],
                                          stdout=subprocess.DEVNULL, stderr=err))
        m = said(prom_log, r'msg="Listening on" address=127\.0\.0\.1:(\d+)', 30)
        check(m is not None, "prometheus listens")
        if not m:
            return
        port = int(m.group(1))

        def query(q):
            url = "http://127.0.0.1:%d/api/v1/query?%s" % (port, urllib.parse.urlencode({"query": q}))
            with urllib.request.urlopen(url, timeout=5) as r:
                return json.load(r)["data"]["result"]

        value = lambda q: float(query(q)[0]["value"][1]) if query(q) else None
        check(wait_for(lambda: value("count(tessaro_device_up == 1)") == 15, 60),
              "15 devices up: %s" % value("count(tessaro_device_up == 1)"))
        check(value('tessaro_device_up{address="16"}') == 0, "the silent device is down")
        check(value('up{job="tessaro"}') == 1, "the scrape succeeds with a device down")
        check(not query('tessaro_input_voltage_volts{address="16"}'), "no readings of the silent device")
        check(len(query('tessaro_input_voltage_volts{phase="L1"}')) == 15, "input voltages of the 15")
        samples = value('scrape_samples_scraped{job="tessaro"}')
        check(samples and samples > 1000, "samples per scrape: %s" % samples)
        late = lambda: value("abs(time() - max(tessaro_device_last_answer_timestamp_seconds))")
        check(wait_for(lambda: late() is not None and late() < 5, 20),
              "the last answer, made in UTC+8, is within 5 s of now: %s s off" % late())
        check(value('count(tessaro_device_status{flag="OL"} == 1)') == 15, "15 devices on line")
        check(value('count(tessaro_device_info{protocol="2"})') == 16, "an info series for each configured device")
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                               "grafana-dashboard.json")) as f:
            dashboard = json.load(f)
        exprs = [t["expr"] for p in dashboard["panels"] for t in p["targets"]]
        check(len(exprs) > 10, "the dashboard has its queries")
        for expr in exprs:
            q = expr.replace("$__rate_interval", "1m").replace("$device", ".*")
            check(wait_for(lambda: query(q), 10), "the dashboard's query returns series: " + expr)
        # Every scrape so far has worked.
        check(wait_for(lambda: value('min_over_time(up{job="tessaro"}[30s])') == 1, 10),
              "no failed scrape in the last 30 s")
    finally:
        for p in reversed(procs):
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        if not failures:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("kept " + work)
    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
