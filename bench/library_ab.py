#!/usr/bin/env python3
"""Times two builds of chartseal-library side by side on one library.

The library of bench/library_run.py (1,000 songs sized like real charts) is
copied once per round for each build, synced and left to settle; then the
rounds alternate the two builds, each on a copy of its own, so that whatever
the machine does meanwhile falls on both alike.

Usage: bench/library_ab.py --before BINARY --after BINARY [--rounds N] [--songs N] [--settle S] [--dir DIR]
"""
import argparse
import importlib.util
import os
import shutil
import statistics
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--before", required=True, help="chartseal-library of one build")
    parser.add_argument("--after", required=True, help="chartseal-library of the other")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--songs", type=int, default=1000)
    parser.add_argument("--settle", type=float, default=65)
    parser.add_argument("--dir", default=None, help="scratch folder (default: a new one in TMPDIR)")
    args = parser.parse_args()
    loader = importlib.util.spec_from_file_location("library_run", os.path.join(HERE, "library_run.py"))
    library_run = importlib.util.module_from_spec(loader)
    loader.loader.exec_module(library_run)

    builds = {"before": args.before, "after": args.after}
    work = tempfile.mkdtemp(dir=args.dir)
    try:
        library_run.make_library(os.path.join(work, "library"), args.songs)
        copies = []
        for r in range(args.rounds):
            for name in builds:
                copy = os.path.join(work, "%s-%d" % (name, r))
                shutil.copytree(os.path.join(work, "library"), copy)
                copies.append((name, copy))
        subprocess.run(["sync"], check=True)
        time.sleep(args.settle)
        times = {name: [] for name in builds}
        for name, copy in copies:
            start = time.monotonic()
            subprocess.run([builds[name], copy], stdout=subprocess.DEVNULL, check=True)
            times[name].append(time.monotonic() - start)
        for name, taken in times.items():
            print("%-6s median %.3f s (%.3f-%.3f): %s" % (name, statistics.median(taken), min(taken), max(taken),
                                                          " ".join("%.3f" % t for t in taken)))
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
