#!/usr/bin/env python3
"""Times sealing a whole song library three ways, side by side in one run.

A library of generated songs, each in a folder of its album, sized like real
charts (a log-normal spread: median 24 KB, the largest capped at 770 KB, about
73 MB for 1,000 songs; a third of them with most bytes in the plain part).
Each round, interleaved, on copies of the same library made, synced and left
to settle before the first round:

  floor      cp -r of the library, then sync: a durable copy of the same bytes
  library    chartseal-library on it
  recipe     examples/seal-library.sh, one chartseal process per song, 4 at a time

Usage: bench/library_run.py [--build DIR] [--songs N] [--runs N] [--jobs N] [--settle S] [--no-recipe] [--dir DIR]
"""
import argparse
import math
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_chart  # noqa: E402


def make_library(root, songs, seed=7):
    rng = random.Random(seed)
    total = 0
    for i in range(songs):
        size = min(int(24 * 1024 * math.exp(rng.gauss(0, 1.49))), 770 * 1024)
        size = max(size, 2 * 1024)
        folder = os.path.join(root, "album %02d" % (i % 50))
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "song %04d.sm" % i)
        gen_chart.write_chart(path, size, seed=i, shape="plain" if i % 3 == 0 else "sealed")
        total += os.path.getsize(path)
    return total


def timed(argv, cwd=None, env=None):
    start = time.perf_counter()
    proc = subprocess.run(argv, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit("%s failed with status %d: %s" % (argv[0], proc.returncode, proc.stderr.decode()[-500:]))
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build", "release"))
    parser.add_argument("--songs", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--jobs", type=int, default=0, help="chartseal-library --jobs (default: its own)")
    parser.add_argument("--no-recipe", action="store_true", help="leave out the one-process-per-song recipe")
    parser.add_argument("--settle", type=float, default=65, help="seconds to wait after making the copies")
    parser.add_argument("--dir", default=None, help="scratch folder (default: a new one in TMPDIR)")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    library_tool = os.path.join(build, "chartseal-library")
    recipe = os.path.join(HERE, "..", "examples", "seal-library.sh")
    env = dict(os.environ, PATH=build + os.pathsep + os.environ.get("PATH", ""))
    work = tempfile.mkdtemp(prefix="chartseal-library-bench.", dir=args.dir)
    try:
        template = os.path.join(work, "template")
        total = make_library(template, args.songs)
        print("machine: %s, %d cores; %d songs, %.1f MB; scratch folder on %s" % (
            os.uname().machine, os.cpu_count(), args.songs, total / 1e6,
            subprocess.run(["df", "--output=fstype", work], capture_output=True, text=True).stdout.split()[-1]))
        # Every copy is made first, synced, and left to settle: deleting many
        # files makes the next ones slow to create on ext4 for a minute
        # (its search for a free inode passes over the recently deleted),
        # which would tax whoever ran after a clean-up. Nothing is deleted
        # while the rounds run.
        copies = {name: [] for name in ("library", "recipe")}
        for name in copies:
            for i in range(args.runs if name == "library" or not args.no_recipe else 0):
                copy = os.path.join(work, "%s-%d" % (name, i))
                subprocess.run(["cp", "-r", template, copy], check=True)
                copies[name].append(copy)
        rss_copy = os.path.join(work, "rss-copy")
        subprocess.run(["cp", "-r", template, rss_copy], check=True)
        subprocess.run(["sync"], check=True)
        time.sleep(args.settle)
        times = {"floor": [], "library": [], "recipe": []}
        for i in range(args.runs):
            subprocess.run(["sync"], check=True)
            times["floor"].append(timed(["cp", "-r", template, os.path.join(work, "floor-%d" % i)]) + timed(["sync"]))
            argv = [library_tool] + (["--jobs", str(args.jobs)] if args.jobs else []) + [copies["library"][i]]
            times["library"].append(timed(argv))
            if copies["recipe"]:
                times["recipe"].append(timed([recipe, copies["recipe"][i], "4"], cwd=work, env=env))
        rss_file = os.path.join(work, "rss")
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file, library_tool, rss_copy], check=True,
                       stdout=subprocess.DEVNULL)
        with open(rss_file) as f:
            rss = int(f.read().split()[-1]) / 1024
        floor = statistics.median(times["floor"])
        print("%-10s %24s %10s %8s" % ("", "seconds (median, range)", "vs floor", "MB/s"))
        for name, samples in times.items():
            if not samples:
                continue
            median = statistics.median(samples)
            print("%-10s %10.3f (%.3f-%.3f) %9.2fx %8.0f" % (
                name, median, min(samples), max(samples), median / floor, total / median / 1e6))
        print("chartseal-library peak RSS: %.1f MiB" % rss)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
