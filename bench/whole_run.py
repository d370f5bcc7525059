#!/usr/bin/env python3
"""Times whole chartseal runs against two floors measured on the same file in
the same run, and reports peak resident memory.

  I/O floor:     cp CHART COPY; cat COPY > /dev/null
  durable floor: cp CHART COPY; sync COPY; cat COPY > /dev/null

A tool that never loses a chart must sync what it writes before it replaces
the chart, so the durable floor is its fair comparison.

Each size is run in each chart shape (gen_chart.py --shape): "sealed", most
bytes sealed, and "plain", most bytes kept in the chart. The runs of the tool
and of the floors are interleaved, each on a fresh copy synced before it, with
a warm page cache.

Usage: whole_run.py [--build DIR] [--runs N] [--sizes 1M,10M,100M] [--shapes sealed,plain] [--dir DIR]
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


def timed(argv, stdin=None, cwd=None):
    """Wall seconds of one process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=cwd)
    _, status, _ = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("%s failed with status %d" % (argv[0], os.waitstatus_to_exitcode(status)))
    return elapsed


def run_tool(tool, chart, work, measure_rss=False):
    """Seconds of one chartseal run on a fresh copy of the chart, or, with
    measure_rss, its peak resident bytes as /usr/bin/time reports them (a
    process forked from Python would count Python's memory too)."""
    song = os.path.join(work, "run")
    os.mkdir(song)
    shutil.copyfile(chart, os.path.join(song, "song.sm"))
    subprocess.run(["sync", os.path.join(song, "song.sm")], check=True)
    with open(os.path.join(work, "input"), "w") as f:
        f.write("song\n")
    report = os.path.join(work, "rss")
    argv = ["/usr/bin/time", "-f", "%M", "-o", report, tool] if measure_rss else [tool]
    with open(os.path.join(work, "input")) as stdin:
        result = timed(argv, stdin=stdin, cwd=song)
    shutil.rmtree(song)
    if measure_rss:
        with open(report) as f:
            return int(f.read().split()[-1]) * 1024
    return result


def summary(samples):
    return statistics.median(samples), min(samples), max(samples)


def main():
    parser = argparse.ArgumentParser(description="whole-run benchmark")
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build", "release"))
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--sizes", default="1M,10M,100M")
    parser.add_argument("--shapes", default="sealed,plain")
    parser.add_argument("--dir", default=None, help="scratch folder (default: a new one in TMPDIR)")
    args = parser.parse_args()
    tool = os.path.abspath(os.path.join(args.build, "chartseal"))
    work = tempfile.mkdtemp(prefix="chartseal-bench.", dir=args.dir)
    try:
        print("machine: %s, %d cores; scratch folder on %s" % (
            os.uname().machine, os.cpu_count(),
            subprocess.run(["df", "--output=fstype", work], capture_output=True, text=True).stdout.split()[-1]))
        print("%-6s %-6s %22s %22s %22s %8s %8s %8s %10s" % (
            "size", "shape", "chartseal s", "I/O floor s", "durable floor s", "vs I/O", "vs dur.", "MB/s",
            "peak RSS"))
        for size in args.sizes.split(","):
            for shape in args.shapes.split(","):
                chart = os.path.join(work, "chart.sm")
                subprocess.run([sys.executable, os.path.join(HERE, "gen_chart.py"), size, chart, "--shape", shape],
                               check=True)
                nbytes = os.path.getsize(chart)
                tool_t, io_t, durable_t = [], [], []
                for run in range(args.runs):
                    copy = os.path.join(work, "copy.sm")
                    io_t.append(timed(["cp", chart, copy]) + timed(["cat", copy]))
                    os.unlink(copy)
                    durable_t.append(timed(["cp", chart, copy]) + timed(["sync", copy]) + timed(["cat", copy]))
                    os.unlink(copy)
                    tool_t.append(run_tool(tool, chart, work))
                rss = [run_tool(tool, chart, work, measure_rss=True)]
                tm, io, du = summary(tool_t), summary(io_t), summary(durable_t)
                fmt = lambda s: "%7.3f (%.3f-%.3f)" % s
                print("%-6s %-6s %22s %22s %22s %7.2fx %7.2fx %8.0f %6.1f MiB" % (
                    size, shape, fmt(tm), fmt(io), fmt(du),
                    tm[0] / io[0], tm[0] / du[0], nbytes / tm[0] / 1e6, max(rss) / 2**20), flush=True)
                os.unlink(chart)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
