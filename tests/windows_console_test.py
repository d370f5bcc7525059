#!/usr/bin/env python3
"""chartseal.exe at a console, as a person uses it: wine, on a pseudo-terminal,
gives it a console; the test types at it and reads the screen.

- A name that is not ASCII, typed and ended with Enter (a carriage return),
  then one key at each pause: the screen shows the chart name as typed and the
  ordinal line, and the song is sealed.
- Ctrl-C while the name is typed, at the first pause and at the second: status
  130, the folder as it was, the terminal's settings as they were.
- A name that does not exist: the error line names it readably; status 255.

Run under tools/wine-session (which sets WINEPREFIX): windows_console_test.py BUILD_DIR EXAMPLE
"""
import os
import pty
import select
import shutil
import sys
import tempfile
import termios
import time


def drive(exe, folder, keys):
    """Starts the program on a new pseudo-terminal in folder, types each key
    after the screen has settled, and returns (status, screen, terminal
    settings before, after)."""
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(folder)
        os.execvp("wine", ["wine", exe])
    before = termios.tcgetattr(fd)
    screen = b""

    def settle(seconds):
        nonlocal screen
        end = time.time() + seconds
        while time.time() < end:
            ready, _, _ = select.select([fd], [], [], 0.1)
            if ready:
                try:
                    screen += os.read(fd, 4096)
                except OSError:
                    return

    settle(4)
    for key in keys:
        os.write(fd, key.encode("utf-8"))
        settle(2.5)
    status = None
    end = time.time() + 20
    while time.time() < end:
        done, raw = os.waitpid(pid, os.WNOHANG)
        if done:
            status = os.waitstatus_to_exitcode(raw)
            break
        settle(0.2)
    after = None
    try:
        after = termios.tcgetattr(fd)
    except termios.error:
        pass
    if status is None:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    os.close(fd)
    # The console's cursor codes are not text.
    text = screen.replace(b"\x1b[?25l", b"").replace(b"\x1b[?25h", b"").decode("utf-8", "replace")
    return status, text, before, after


def main():
    build, example = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    exe = os.path.join(build, "chartseal.exe")
    name = "Café ☆ テスト"
    failed = 0
    cases = [
        ("a name typed, one key at each pause", [name + "\r", "x", "y"], 0),
        ("Ctrl-C while the name is typed", ["Caf", "\x03"], 130),
        ("Ctrl-C at the first pause", [name + "\r", "\x03"], 130),
        ("Ctrl-C at the second pause", [name + "\r", "x", "\x03"], 130),
        ("a name that does not exist", ["Ünknown ☆\r", "x"], 255),
    ]
    for what, keys, expected in cases:
        work = tempfile.mkdtemp(prefix="chartseal-console.")
        try:
            shutil.copyfile(example, os.path.join(work, name + ".sm"))
            status, screen, before, after = drive(exe, work, keys)
            names = sorted(os.listdir(work))
            problem = None
            if status != expected:
                problem = "status %s, not %d" % (status, expected)
            elif expected == 0 and (name + ".sm\r\r\n" not in screen or "234510" not in screen):
                problem = "the screen does not show the name as typed and the ordinal line"
            elif expected == 0 and names != sorted([name + ".sm"] + ["%s_%d.dat" % (name, n) for n in range(2, 7)]):
                problem = "the song was not sealed: %s" % names
            elif expected == 130 and names != [name + ".sm"]:
                problem = "the folder changed: %s" % names
            elif expected == 255 and "chartseal: Ünknown ☆.sm: " not in screen:
                problem = "the error line does not name the file readably"
            elif after is not None and after != before:
                problem = "the terminal's settings were not restored"
            if problem:
                failed += 1
                print("FAIL %s: %s\n  screen: %r" % (what, problem, screen[-400:]))
            else:
                print("ok   %s (status %d)" % (what, status))
                if expected == 0:
                    print("  screen: %r" % screen.strip())
        finally:
            shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (len(cases) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
