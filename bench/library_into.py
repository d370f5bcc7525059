#!/usr/bin/env python3
"""Times sealing a song library into a separate tree, side by side in one run.

The library of bench/library_run.py (generated songs sized like real charts,
in album folders). Each round, interleaved, with everything in the page
cache:

  copy prepared   cp -r of an already prepared tree (each song's six output
                  files), then sync: a durable copy of the same output files
  copy charts     cp -r of the charts (one file per song), then sync
  first           chartseal-library --into a new, empty folder
  read once       every chart and every output read once (cat > /dev/null)
  rerun           chartseal-library --into the same folder, nothing changed
  one edit        one chart changed, then chartseal-library --into it again

Usage: bench/library_into.py [--build DIR] [--songs N] [--rounds N] [--settle S] [--dir DIR]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import library_run  # noqa: E402


def timed(argv, **kwargs):
    start = time.perf_counter()
    proc = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kwargs)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit("%s failed with status %d: %s" % (argv[0], proc.returncode, proc.stderr.decode()[-500:]))
    return elapsed


def files_under(*roots):
    found = []
    for root in roots:
        for folder, _, names in os.walk(root):
            found.extend(os.path.join(folder, name) for name in names)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build", "release"))
    parser.add_argument("--songs", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--settle", type=float, default=20, help="seconds to wait after making the library")
    parser.add_argument("--dir", default=None, help="scratch folder (default: a new one in TMPDIR)")
    args = parser.parse_args()
    tool = os.path.join(os.path.abspath(args.build), "chartseal-library")
    work = tempfile.mkdtemp(prefix="chartseal-into-bench.", dir=args.dir)
    try:
        source = os.path.join(work, "songs")
        total = library_run.make_library(source, args.songs)
        prepared = os.path.join(work, "prepared")
        subprocess.run([tool, "-q", "--into", prepared, source], check=True)
        outputs = sum(os.path.getsize(f) for f in files_under(prepared))
        print("machine: %s, %d cores; %d songs, %.1f MB of charts, %.1f MB of outputs in %d files; on %s" % (
            os.uname().machine, os.cpu_count(), args.songs, total / 1e6, outputs / 1e6, len(files_under(prepared)),
            subprocess.run(["df", "--output=fstype", work], capture_output=True, text=True).stdout.split()[-1]))
        subprocess.run(["sync"], check=True)
        time.sleep(args.settle)
        charts = sorted(files_under(source))
        times = {name: [] for name in ("copy prepared", "copy charts", "first", "read once", "rerun", "one edit")}
        for i in range(args.rounds):
            out = os.path.join(work, "out-%d" % i)
            subprocess.run(["sync"], check=True)
            times["copy prepared"].append(timed(["cp", "-r", prepared, os.path.join(work, "cp-prepared-%d" % i)]) +
                                          timed(["sync"]))
            times["copy charts"].append(timed(["cp", "-r", source, os.path.join(work, "cp-charts-%d" % i)]) +
                                        timed(["sync"]))
            times["first"].append(timed([tool, "-q", "--into", out, source]))
            everything = files_under(source, out)
            times["read once"].append(timed(["xargs", "-0", "cat"], input=b"\0".join(f.encode() for f in everything)))
            times["rerun"].append(timed([tool, "-q", "--into", out, source]))
            # One chart changed: a line added at its end, in its last chart.
            with open(charts[(i * 397) % len(charts)], "a") as chart:
                chart.write("0000\n")
            times["one edit"].append(timed([tool, "-q", "--into", out, source]))
        print("%-14s %26s" % ("", "seconds (median, range)"))
        for name, samples in times.items():
            print("%-14s %10.3f (%.3f-%.3f)" % (name, statistics.median(samples), min(samples), max(samples)))
        median = {name: statistics.median(samples) for name, samples in times.items()}
        print("first / copy prepared: %.2fx; first / copy charts: %.2fx" % (
            median["first"] / median["copy prepared"], median["first"] / median["copy charts"]))
        print("rerun / read once: %.2fx; one edit / read once: %.2fx" % (
            median["rerun"] / median["read once"], median["one edit"] / median["read once"]))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
