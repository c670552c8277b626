#!/usr/bin/python3
"""The command-line data export as the user times it: `tessaro --export-data`
over the benchmark month (1,048,576 records, 128 MiB) against the plain
fprintf loop of tessaro-export-reference, both as whole processes (start-up,
read, conversion, write, and the export's sync), in turn A B C A B C ... so
that a machine whose speed drifts slows both alike. C is the same loop with
an fsync at the end: the sync's share of the export.

    bench/export_whole.py BUILD_DIR [RUNS]     (default 7 runs after a warm-up)

TESSARO=/path/to/tessaro times another build of the program (before/after).
Prints the median of each figure and the median of the ratios run by run.
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time


def run(cmd):
    """Wall, user and system seconds of one whole process."""
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"{cmd[0]} failed ({proc.returncode}): {err}")
    return {"wall": wall, "user": usage.ru_utime, "sys": usage.ru_stime, "cpu": usage.ru_utime + usage.ru_stime}


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    program = os.environ.get("TESSARO", os.path.join(build, "tessaro"))
    reference = os.path.join(build, "tessaro-export-reference")
    with tempfile.TemporaryDirectory(prefix="tessaro-export-") as tmp:
        os.makedirs(os.path.join(tmp, "Record"))
        month = os.path.join(tmp, "Record", "DataLog2024_03.dat")
        subprocess.run([reference, "--write-month", month], check=True)
        commands = {
            "export": [program, "--data-dir", tmp, "--export-data", "2024-03", os.path.join(tmp, "export.csv")],
            "fprintf": [reference, month, os.path.join(tmp, "reference.csv")],
            "fprintf+fsync": [reference, month, os.path.join(tmp, "synced.csv"), "--sync"],
        }
        for cmd in commands.values():  # warm-up: the month and the programs in the page cache
            run(cmd)
        results = {name: [] for name in commands}
        for _ in range(runs):
            for name, cmd in commands.items():
                results[name].append(run(cmd))
        with open(os.path.join(tmp, "export.csv"), "rb") as f:
            lines = sum(1 for _ in f)

    print(f"{program}: {lines} lines; medians of {runs} runs each, whole processes")
    print(f"{'':16}{'wall s':>9}{'user s':>9}{'sys s':>9}{'cpu s':>9}")
    for name, rows in results.items():
        med = {k: statistics.median(r[k] for r in rows) for k in ("wall", "user", "sys", "cpu")}
        print(f"{name:16}{med['wall']:9.3f}{med['user']:9.3f}{med['sys']:9.3f}{med['cpu']:9.3f}")
    for base in ("fprintf", "fprintf+fsync"):
        for k in ("wall", "cpu"):
            ratios = [a[k] / b[k] for a, b in zip(results["export"], results[base])]
            print(f"export / {base:14} {k:5} median {statistics.median(ratios):.3f}"
                  f"  (min {min(ratios):.3f}, max {max(ratios):.3f})")


if __name__ == "__main__":
    main()
