#!/usr/bin/env python3
"""Runs the built chartseal as operators and scripts do, with the faults they
meet: runs that overlap, stop signals and kills at random moments, a chart
that changes under the run, a terminal, and standard streams that fail.

Every scenario checks the folder afterwards: the chart holds its old bytes or
its final bytes, a run that exits 0 has left exactly the final result, and a
run that was stopped leaves nothing behind and can simply be run again.

Usage: stress_test.py [--build DIR] [--rounds N] [--size SIZE] [--only NAME,...]
"""
import argparse
import errno
import hashlib
import os
import pty
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
OUTPUTS = ["song_%d.dat" % n for n in range(1, 7)]


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Folder:
    """A scratch folder holding a copy of one chart."""

    def __init__(self, work, chart, name):
        self.path = os.path.join(work, name)
        os.mkdir(self.path)
        shutil.copyfile(chart, self.chart)

    @property
    def chart(self):
        return os.path.join(self.path, "song.sm")

    def names(self):
        return sorted(os.listdir(self.path))

    def state(self):
        """Each name with the digest of its bytes."""
        return {n: digest(os.path.join(self.path, n)) for n in self.names()}


class Reference:
    """The chart's original bytes and what a complete run leaves."""

    def __init__(self, tool, chart, work):
        self.tool = tool
        self.original = digest(chart)
        folder = Folder(work, chart, "reference")
        start = time.perf_counter()
        run = subprocess.run([tool], input=b"song\n", cwd=folder.path, capture_output=True)
        self.seconds = time.perf_counter() - start
        if run.returncode != 0:
            sys.exit("the reference run failed: %s" % run.stderr.decode())
        self.final = folder.state()
        shutil.rmtree(folder.path)

    def problem(self, folder, finished):
        """What is wrong with the folder, or None. finished: a run exited 0."""
        state = folder.state()
        if state == self.final:
            return None
        if finished:
            return "a run exited 0 but the folder does not hold the final result"
        chart = state.get("song.sm")
        if chart == self.final["song.sm"]:
            return "the chart was replaced but the sealed files are not the final ones"
        if chart != self.original:
            return "the chart holds neither its old nor its new bytes"
        if set(state) != {"song.sm"}:
            return "leftovers beside the untouched chart: %s" % ", ".join(n for n in state if n != "song.sm")
        return None


class HeldRun:
    """A chartseal process held at its second pause."""

    def __init__(self, tool, cwd, name="song"):
        self.proc = subprocess.Popen([tool], cwd=cwd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.proc.stdin.write(name.encode() + b"\n\n")  # the name, and the answer to the first pause
        self.proc.stdin.flush()
        self.lines = [self.proc.stdout.readline(), self.proc.stdout.readline()]

    def release(self):
        self.proc.stdin.write(b"\n")
        self.proc.stdin.close()
        self.proc.stdin = None

    def finish(self):
        """The exit status and the messages, without the pauses' prompts."""
        out, err = self.proc.communicate()
        lines = err.decode(errors="replace").replace("Press any key to continue . . .", "").splitlines()
        return self.proc.returncode, "".join(line + "\n" for line in lines if line)


class Results:
    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.figures = []

    def check(self, what, problem):
        if problem:
            self.failed += 1
            print("FAIL %s: %s" % (what, problem), file=sys.stderr)
        else:
            self.passed += 1


def overlapping(ref, work, results, runs, rounds):
    """Runs held at their second pause, then released together."""
    statuses = {}
    for i in range(rounds):
        folder = Folder(work, ref.chart_path, "overlap%d-%d" % (runs, i))
        held = [HeldRun(ref.tool, folder.path) for _ in range(runs)]
        for h in held:
            h.release()
        ended = [h.finish() for h in held]
        codes = sorted(code for code, _ in ended)
        statuses[tuple(codes)] = statuses.get(tuple(codes), 0) + 1
        problem = ref.problem(folder, 0 in codes)
        if not problem and codes.count(0) != 1:
            problem = "%d runs exited 0" % codes.count(0)
        for code, err in ended:
            if not problem and code not in (0, 1):
                problem = "a run exited %d: %s" % (code, err)
            if not problem and code == 1 and "another chartseal run is sealing it" not in err and \
                    "changed after its survey" not in err:
                problem = "a refused run said: %s" % err
        results.check("%d overlapping runs, round %d" % (runs, i), problem)
        shutil.rmtree(folder.path)
    results.figures.append("%d runs at once, %d rounds: statuses %s" % (
        runs, rounds, ", ".join("%s x%d" % ("/".join(map(str, k)), v) for k, v in sorted(statuses.items()))))


def with_library(ref, work, results, rounds):
    """A chartseal run held at its second pause and chartseal-library on the
    same song, released together: exactly one of them seals it, the other
    refuses or finds it sealed, and the folder holds the final result."""
    library = os.path.join(os.path.dirname(ref.tool), "chartseal-library")
    for i in range(rounds):
        folder = Folder(work, ref.chart_path, "library-%d" % i)
        held = HeldRun(ref.tool, folder.path)
        lib = subprocess.Popen([library, folder.path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        held.release()
        code, err = held.finish()
        out, lerr = lib.communicate()
        summary = out.decode()
        by_library = summary.startswith("1 song in 1 folder: 1 sealed")
        problem = ref.problem(folder, code == 0 or by_library)
        if not problem and (code == 0) == by_library:
            problem = "sealed %s: chartseal exited %d (%s), the library said %r %s" % (
                "twice" if by_library else "by neither", code, err.strip(), summary, lerr.decode().strip())
        if not problem and code not in (0, 1):
            problem = "chartseal exited %d: %s" % (code, err)
        if not problem and lib.returncode not in (0, 1):
            problem = "chartseal-library exited %d: %s" % (lib.returncode, lerr.decode())
        results.check("chartseal and chartseal-library at once, round %d" % i, problem)
        shutil.rmtree(folder.path)


def rerun_completes(ref, folder):
    """A rerun ends with the final result: it seals, or, where the stopped run
    had already replaced the chart, it refuses to seal a sealed chart."""
    replaced = folder.state() == ref.final
    run = subprocess.run([ref.tool], input=b"song\n", cwd=folder.path, capture_output=True)
    err = run.stderr.decode(errors="replace").replace("Press any key to continue . . .", "").strip()
    if run.returncode != 0 and not (replaced and run.returncode == 1 and "already holds sealed charts" in err):
        return "the rerun exited %d: %s" % (run.returncode, err)
    return ref.problem(folder, True)


def stopped(ref, work, results, sigs, rounds, label):
    """A signal at a random moment after the second pause, then a rerun."""
    outcomes = {}
    for i in range(rounds):
        sig = sigs[i % len(sigs)]
        folder = Folder(work, ref.chart_path, "%s%d" % (label, i))
        held = HeldRun(ref.tool, folder.path)
        delay = random.uniform(0, ref.seconds * 1.1)
        held.release()
        time.sleep(delay)
        try:
            held.proc.send_signal(sig)
        except ProcessLookupError:
            pass
        code, err = held.finish()
        if code == -sig:
            outcome = "ended by %s" % signal.Signals(sig).name
            if sig == signal.SIGKILL:
                # Nothing can clean up after a kill: the chart must be whole,
                # and the next run must finish the work.
                chart = digest(folder.chart)
                problem = None if chart in (ref.original, ref.final["song.sm"]) else \
                    "the chart holds neither its old nor its new bytes"
                if not problem and chart == ref.final["song.sm"] and any(
                        folder.state().get(n) != ref.final.get(n) for n in OUTPUTS[1:]):
                    problem = "the chart was replaced but the sealed files are not the final ones"
                if folder.names() != ["song.sm"]:
                    outcome += " with leftovers"
            else:
                problem = ref.problem(folder, False)
                if not problem and folder.names() != ["song.sm"]:
                    problem = "leftovers after the signal: %s" % folder.names()
                if not problem and err:
                    problem = "a message on a stop signal: %s" % err
            if not problem:
                problem = rerun_completes(ref, folder)
        elif code == 0:
            outcome = "finished"
            problem = ref.problem(folder, True)
        else:
            outcome = "exit %d" % code
            problem = "exited %d: %s" % (code, err)
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
        results.check("%s %d (%s after %.3fs)" % (label, i, signal.Signals(sig).name, delay), problem)
        shutil.rmtree(folder.path)
    results.figures.append("%s, %d rounds: %s" % (label, rounds, ", ".join(
        "%s x%d" % kv for kv in sorted(outcomes.items()))))


def appended(ref, work, results, rounds):
    """A line appended to the chart while the run writes its outputs."""
    line = b"#APPENDED:while sealing;\n"
    outcomes = {}
    for i in range(rounds):
        folder = Folder(work, ref.chart_path, "append%d" % i)
        held = HeldRun(ref.tool, folder.path)
        held.release()
        time.sleep(random.uniform(0.2, 0.6) * ref.seconds)
        with open(folder.chart, "ab") as f:
            f.write(line)
        code, err = held.finish()
        with open(folder.chart, "rb") as f:
            chart = f.read()
        outcomes[code] = outcomes.get(code, 0) + 1
        problem = None
        if not chart.endswith(line):
            problem = "the appended line is gone (status %d)" % code
        elif code == 1 and "changed while it was being sealed" not in err and "changed after its survey" not in err:
            problem = "refused with: %s" % err
        elif code == 1 and folder.names() != ["song.sm"]:
            problem = "leftovers after the refusal: %s" % folder.names()
        elif code not in (0, 1):
            problem = "exited %d" % code
        results.check("append %d" % i, problem)
        shutil.rmtree(folder.path)
    results.figures.append("line appended while sealing, %d rounds: statuses %s" % (
        rounds, ", ".join("%d x%d" % kv for kv in sorted(outcomes.items()))))


def edited_during_pause(ref, work, results, small_chart):
    """The chart edited while the run waits at its second pause."""
    with open(small_chart, "rb") as f:
        original = f.read()
    # The same difficulties in the same order, with a comment added: goes on.
    folder = Folder(work, small_chart, "edit-same")
    held = HeldRun(ref.tool, folder.path)
    with open(folder.chart, "ab") as f:
        f.write(b"// a comment added during the pause\n")
    held.release()
    code, err = held.finish()
    results.check("edit keeping the order", None if code == 0 and "song_1.dat" not in folder.names()
                  else "exited %d: %s" % (code, err))
    shutil.rmtree(folder.path)
    # The Beginner chart deleted by an editor's save: refused, nothing created.
    folder = Folder(work, small_chart, "edit-order")
    held = HeldRun(ref.tool, folder.path)
    start = original.index(b"//---------------step-single - Beginner")
    end = original.index(b"//---------------", start + 1)
    edited = original[:start] + original[end:]
    with open(folder.chart + ".new", "wb") as f:
        f.write(edited)
    os.rename(folder.chart + ".new", folder.chart)
    held.release()
    code, err = held.finish()
    problem = None
    if code != 1 or "changed after its survey" not in err:
        problem = "exited %d: %s" % (code, err)
    elif folder.names() != ["song.sm"] or open(folder.chart, "rb").read() != edited:
        problem = "the folder changed: %s" % folder.names()
    results.check("edit changing the order", problem)
    shutil.rmtree(folder.path)


def terminal(ref, work, results, small_chart):
    """A run on a terminal: one key continues a pause, also after Ctrl-Z and
    fg; Ctrl-C at a pause ends the run with the terminal as it was."""
    folder = Folder(work, small_chart, "terminal")
    before = folder.state()
    master, slave = pty.openpty()
    settings = termios.tcgetattr(slave)
    proc = subprocess.Popen([ref.tool], cwd=folder.path, stdin=slave, stdout=slave, stderr=slave,
                            start_new_session=True, preexec_fn=lambda: __import__("fcntl").ioctl(
                                0, termios.TIOCSCTTY, 0))
    seen = b""

    def wait_for(text, count=1):
        nonlocal seen
        deadline = time.time() + 10
        while seen.count(text) < count and time.time() < deadline:
            try:
                seen += os.read(master, 4096)
            except OSError:
                break
        return seen.count(text) >= count

    def settled(expected):
        """The terminal reaches these settings within a few seconds."""
        deadline = time.time() + 5
        while time.time() < deadline:
            if termios.tcgetattr(slave) == expected:
                return True
            time.sleep(0.02)
        return False

    problem = None
    os.write(master, b"song\r")
    if not wait_for(b"Press any key"):
        problem = "no first pause: %r" % seen
    else:
        # Ctrl-Z and fg: stopped, the shell has the terminal as it was; going
        # on, the pause takes one key again.
        deadline = time.time() + 5
        while termios.tcgetattr(slave) == settings and time.time() < deadline:
            time.sleep(0.02)
        single_key = termios.tcgetattr(slave)
        proc.send_signal(signal.SIGTSTP)
        if not settled(settings):
            problem = "stopped at a pause, the terminal was not as it was"
        proc.send_signal(signal.SIGCONT)
        if not problem and not settled(single_key):
            problem = "continued at a pause, the terminal was not in single-key mode again"
    if not problem:
        os.write(master, b"x")  # one key, no Enter
        if not wait_for(b"Press any key", 2):
            problem = "one key did not continue the pause: %r" % seen
        elif b"234510" not in seen and b"23451" not in seen:
            problem = "no ordinal line before the second pause: %r" % seen
        else:
            os.write(master, b"\x03")  # Ctrl-C
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                problem = "Ctrl-C did not end the run"
            if not problem and proc.returncode != -signal.SIGINT:
                problem = "Ctrl-C gave status %s" % proc.returncode
            if not problem and termios.tcgetattr(slave) != settings:
                problem = "the terminal settings were not restored"
            if not problem and folder.state() != before:
                problem = "the folder changed: %s" % folder.names()
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    os.close(master)
    os.close(slave)
    results.check("terminal", problem)
    shutil.rmtree(folder.path)


def failing_streams(ref, work, results, small_chart):
    """Standard input that cannot be read, standard output on a closed pipe."""
    unseal = os.path.join(os.path.dirname(ref.tool), "chartunseal")
    folder = Folder(work, small_chart, "streams")
    before = folder.state()
    cases = [
        ("stdin a folder", dict(stdin=os.open(folder.path, os.O_RDONLY)), "standard input: cannot read: Is a directory"),
        ("stdin closed", dict(stdin=subprocess.DEVNULL, preexec_fn=lambda: os.close(0)),
         "standard input: cannot read: Bad file descriptor"),
    ]
    for what, kwargs, message in cases:
        run = subprocess.run([ref.tool], cwd=folder.path, capture_output=False, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, **kwargs)
        if "stdin" in kwargs and isinstance(kwargs["stdin"], int) and kwargs["stdin"] > 2:
            os.close(kwargs["stdin"])
        err = run.stderr.decode()
        problem = None
        if run.returncode != 1 or err != "chartseal: %s\n" % message or run.stdout:
            problem = "status %d, out %r, err %r" % (run.returncode, run.stdout, err)
        elif folder.state() != before:
            problem = "the folder changed"
        results.check(what, problem)
    for what, argv, stdin in [("chartseal stdout closed", [ref.tool], b"song\n"),
                              ("chartunseal stdout closed", [unseal, folder.chart], b"")]:
        read_end, write_end = os.pipe()
        os.close(read_end)
        run = subprocess.run(argv, cwd=folder.path, input=stdin, stdout=write_end, stderr=subprocess.PIPE)
        os.close(write_end)
        err = run.stderr.decode()
        problem = None
        if run.returncode != 1 or "standard output" not in err or err.count("\n") != 1:
            problem = "status %d, err %r" % (run.returncode, err)
        elif folder.state() != before:
            problem = "the folder changed"
        results.check(what, problem)
    shutil.rmtree(folder.path)


def flat_memory(ref, work, results):
    """A chart whose last line is 300 MB long, under an address-space limit
    far below that: memory does not grow with the chart or its lines."""
    folder = os.path.join(work, "bigline")
    os.mkdir(folder)
    chart = os.path.join(folder, "song.sm")
    with open(ref.chart_path, "rb") as f:
        start = f.read()
    with open(chart, "wb") as f:
        f.write(start + b"#NOTE:")
        f.truncate(len(start) + 300 * 2**20)  # a sparse tail: one line of zero bytes
    size = os.path.getsize(chart)
    run = subprocess.run(["bash", "-c", 'ulimit -v 200000 && exec "$0"', ref.tool], input=b"song\n", cwd=folder,
                         capture_output=True)
    err = run.stderr.decode(errors="replace").replace("Press any key to continue . . .", "").strip()
    problem = None
    if run.returncode != 0:
        problem = "exited %d under a 200 MB limit: %s" % (run.returncode, err)
    else:
        kept = os.path.getsize(chart)
        sealed = sum(os.path.getsize(os.path.join(folder, "song_%d.dat" % n)) for n in range(2, 7))
        if kept + sealed != size + 3:  # two extra line feeds and the one the last line receives
            problem = "%d bytes kept and %d sealed from %d" % (kept, sealed, size)
    results.check("a 300 MB line under a 200 MB address-space limit", problem)
    shutil.rmtree(folder)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--size", default="20M")
    parser.add_argument("--only", default="")
    parser.add_argument("--skip", default="", help="scenarios to leave out, as NAME:REASON,...")
    args = parser.parse_args()
    tool = os.path.join(os.path.abspath(args.build), "chartseal")
    only = set(filter(None, args.only.split(",")))
    skip = dict(item.split(":", 1) for item in filter(None, args.skip.split(",")))
    random.seed(os.environ.get("STRESS_SEED", "1"))

    work = tempfile.mkdtemp(prefix="chartseal-stress-")
    try:
        small = os.path.join(work, "small.sm")
        big = os.path.join(work, "big.sm")
        gen = os.path.join(ROOT, "bench", "gen_chart.py")
        subprocess.run([sys.executable, gen, "300K", small, "--seed", "3"], check=True)
        subprocess.run([sys.executable, gen, args.size, big, "--seed", "5"], check=True)
        small_ref = Reference(tool, small, work)
        small_ref.chart_path = small
        big_ref = Reference(tool, big, work)
        big_ref.chart_path = big
        results = Results()
        stops = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT]
        scenarios = {
            "overlap2": lambda: overlapping(small_ref, work, results, 2, args.rounds),
            "overlap3": lambda: overlapping(small_ref, work, results, 3, max(args.rounds // 2, 1)),
            "library": lambda: with_library(small_ref, work, results, max(args.rounds // 2, 1)),
            "signals": lambda: stopped(big_ref, work, results, stops, args.rounds, "stop signal"),
            "kills": lambda: stopped(big_ref, work, results, [signal.SIGKILL], max(args.rounds // 2, 1), "SIGKILL"),
            "append": lambda: appended(big_ref, work, results, max(args.rounds // 3, 1)),
            "edit": lambda: edited_during_pause(small_ref, work, results, small),
            "terminal": lambda: terminal(small_ref, work, results, small),
            "streams": lambda: failing_streams(small_ref, work, results, small),
            "memory": lambda: flat_memory(small_ref, work, results),
        }
        for name, scenario in scenarios.items():
            if name in skip:
                print("skipped %s: %s" % (name, skip[name]))
            elif not only or name in only:
                scenario()
        print("complete run on the %s chart: %.3f s" % (args.size, big_ref.seconds))
        for figure in results.figures:
            print(figure)
        print("%d passed, %d failed" % (results.passed, results.failed))
        return 1 if results.failed else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
