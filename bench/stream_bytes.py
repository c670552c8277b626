#!/usr/bin/python3
"""Bytes per minute of one open page's event stream: `tessaro --headless`
polling 16 simulated Modbus devices that nothing happens to, the stream read
for SECONDS (60) after its first event. Prints the figure; asserts nothing.

    bench/stream_bytes.py [BUILD_DIR] [SECONDS]
"""

import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
work = tempfile.mkdtemp(prefix="tessaro_stream_bytes_")
procs = []
try:
    data = os.path.join(work, "data")
    os.makedirs(os.path.join(data, "Record"))
    tty = os.path.join(work, "tty")
    with open(os.path.join(data, "UserParaIni.ini"), "w") as f:
        f.write("[CommPort]\nComName=%s\nProtocol=2\nReadIntervalTimeout=50\n[CommMast]\nFastPoll=1\n"
                "[DataLog]\nRecInterval=0\n[Web]\nListen=127.0.0.1:0\n" % tty)
    with open(os.path.join(data, "Record", "TreeNode.dat"), "wb") as f:
        for a in range(1, 17):
            f.write(struct.pack("<BB", 0, a) + ("UPS %d" % a).encode().ljust(40, b"\r"))
    sim = subprocess.Popen([build + "/tessaro-sim", "--link", tty, "--devices", "1-16"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    procs.append(sim)
    sim.stdout.readline()
    log = os.path.join(work, "monitor.err")
    with open(log, "w") as err:
        procs.append(subprocess.Popen([build + "/tessaro", "--headless", "--data-dir", data],
                                      stdout=subprocess.DEVNULL, stderr=err))
    port = None
    for _ in range(300):
        m = re.search(r"listening on http://127\.0\.0\.1:(\d+)/", open(log).read())
        if m:
            port = int(m.group(1))
            break
        time.sleep(0.1)
    if port is None:
        sys.exit("the monitor did not start its listener")
    time.sleep(10)  # let every device be polled first: the idle bus is what is measured
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET /api/v1/stream HTTP/1.1\r\nHost: x\r\nAccept-Encoding: gzip\r\n\r\n")
    s.settimeout(1)
    got, start, events = 0, None, 0
    while start is None or time.monotonic() - start < seconds:
        try:
            chunk = s.recv(65536)
        except socket.timeout:
            continue
        if not chunk:
            break
        if start is None:
            start = time.monotonic()  # the first event, the whole bus, is not counted
            continue
        got += len(chunk)
        events += chunk.count(b"event: ")
    s.close()
    minute = got * 60.0 / seconds
    print("stream: %.1f KB per minute, %d events in %.0f s (goal: 10 KB per minute)" % (minute / 1024, events, seconds))
finally:
    for p in reversed(procs):
        p.terminate()
        p.wait(10)
    shutil.rmtree(work, ignore_errors=True)
