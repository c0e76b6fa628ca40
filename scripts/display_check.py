#!/usr/bin/python3
"""modflash-fleet's live display as a terminal shows it.

    display_check.py live|resized|stopped|plain|wine READERS FLEET_COMMAND...

The fleet runs on a pseudo-terminal of 80x24; pyte (Debian's python3-pyte)
renders what it writes, lines that scroll off the top kept apart. Every
frame of the live display ends with "\\n\\x1b[J"; the screen is checked
each time one is complete, and the test acts (resizes, presses Ctrl-C) on
what the screen shows, never after a pause. Prints one "ok:" or "FAILED:"
line a check and ends with "NAME: N passed, N failed" (scripts/checks.sh's
form); exit status 1 when any check failed.

live     all readers at once: each frame shows the status line, each reader
         at most once, at most 22 readers and no live line as wide as the
         pane; nothing scrolls off once the first frame is drawn; at the
         end the live lines are gone and the summary counts every reader
         updated. No line of the whole output is wider than the terminal
         (but a path or a checksum alone on its line).
resized  the same, then the terminal shrinks to 40x16 (14 readers): from
         the first frame at that size nothing scrolls, nor is any line
         wider than 40; after a Ctrl-C the note stays in view above the
         live lines; a second Ctrl-C ends it.
stopped  10 at once: a Ctrl-C while they run; the status line then counts
         the 30 waiting as not started, not as done (done, not started and
         the running readers on screen add up to all); a second Ctrl-C
         ends it; the summary's lines fit, and its "Stopped:" comes before
         "Report:" and "Page:", which are the last two.
plain    --plain on the same terminal: one started line a reader and no
         live lines (ended by two Ctrl-C once every reader started); the
         date before the first; no line wider than the terminal.
wine     the Windows programs under Wine, whose console shows the cursor
         movements it does not take as text: plain event lines, no escape
         text, every reader updated.
"""

import fcntl
import os
import re
import select
import struct
import subprocess
import sys
import termios

import pyte

LIVE = re.compile(r"^  (reader-[0-9]+ |\+[0-9]+ more)")
STATUS = re.compile(r"^[0-9:]+ elapsed, .*[0-9]+/[0-9]+ done")
FRAME_END = b"\n\x1b[J"
CSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")
RUN_TIMEOUT_S = 900


class Checks:
    """The counted checks of one mode."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, what, shown=""):
        if ok:
            self.passed += 1
            print("ok: " + what)
        else:
            self.failed += 1
            print("FAILED: " + what + ("\n" + shown if shown else ""))
        return ok


class Terminal:
    """The fleet on a pseudo-terminal, its output rendered by pyte."""

    def __init__(self, command, rows=24, columns=80):
        self.master, slave = os.openpty()
        self.screen = pyte.HistoryScreen(columns, rows, history=100000)
        self.stream = pyte.ByteStream(self.screen)
        self.resize(rows, columns)
        env = dict(os.environ, TERM="xterm")

        def controlling_terminal():
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.child = subprocess.Popen(command, stdin=slave, stdout=slave,
                                      stderr=slave, env=env,
                                      start_new_session=True,
                                      preexec_fn=controlling_terminal)
        os.close(slave)
        self.pending = b""
        self.raw = b""

    def resize(self, rows, columns):
        fcntl.ioctl(self.master, termios.TIOCSWINSZ,
                    struct.pack("HHHH", rows, columns, 0, 0))
        self.screen.resize(rows, columns)

    def key(self, text):
        os.write(self.master, text)

    def frames(self):
        """Yields after each complete frame; returns when the fleet ends."""
        while True:
            while FRAME_END in self.pending:
                frame, self.pending = self.pending.split(FRAME_END, 1)
                self.stream.feed(frame + FRAME_END)
                yield
            data = self.read()
            if not data:
                self.stream.feed(self.pending)
                self.pending = b""
                return
            self.pending += data

    def output(self):
        """Yields after each piece of output (--plain draws no frames)."""
        while True:
            data = self.read()
            if not data:
                return
            self.stream.feed(data)
            yield

    def read(self):
        """The next output, b"" once the fleet ended."""
        ready, _, _ = select.select([self.master], [], [], RUN_TIMEOUT_S)
        if not ready:
            raise TimeoutError("no output for %d s" % RUN_TIMEOUT_S)
        try:
            data = os.read(self.master, 65536)
        except OSError:  # the terminal's other side is closed
            data = b""
        if not data:
            self.child.wait(timeout=RUN_TIMEOUT_S)
        self.raw += data
        return data

    def shown(self):
        return [line.rstrip() for line in self.screen.display]

    def history(self):
        """The lines that scrolled off the top."""
        return ["".join(line[x].data for x in range(max(line, default=-1) + 1)
                        ).rstrip() for line in self.screen.history.top]

    def everything(self):
        return self.history() + self.shown()


def text(lines):
    return "\n".join(lines)


def too_wide(raw, columns):
    """The lines of raw output wider than `columns`, their cursor movements
    left out; a line of one word (a path, a checksum) may be."""
    text = CSI.sub("", raw.decode("utf-8", "replace")).replace("\r", "")
    return [line for line in text.split("\n")
            if len(line) > columns and " " in line.strip()]


def check_widths(checks, term, columns, since=0):
    wide = too_wide(term.raw[since:], columns)
    checks.check(not wide, "no line wider than %d columns" % columns,
                 text(wide))


def check_frame(checks, term, columns, most, scrolled):
    """One frame: False once the live lines are gone (the run is ending).
    Counts failures only; the caller counts the frames that passed."""
    lines = term.shown()
    if not any(STATUS.match(line) for line in lines):
        return False
    problems = []
    if scrolled is not None and term.history() != scrolled:
        problems.append("the %d-column screen scrolled" % columns)
    names = [line.split()[0] for line in lines if line.startswith("  reader-")]
    twice = sorted({n for n in names if names.count(n) > 1})
    if twice:
        problems.append("shown twice: " + " ".join(twice))
    if len(names) > most:
        problems.append("%d readers, more than %d" % (len(names), most))
    if any(len(line) >= columns for line in lines
           if LIVE.match(line) or STATUS.match(line)):
        problems.append("a live line fills %d columns" % columns)
    if problems:
        checks.check(False, "; ".join(problems), text(lines))
    return True


def check_end(checks, term, readers):
    lines = term.everything()
    checks.check(term.child.returncode == 0,
                 "the fleet exits with status 0 (%s)" % term.child.returncode)
    checks.check(any(l.startswith("%d readers: %d updated" % (readers, readers))
                     for l in lines),
                 "the summary counts %d updated" % readers, text(lines[-30:]))
    table = [i for i, l in enumerate(lines) if re.match(r"^name  +address", l)]
    before = lines[max(0, table[0] - 2):table[0]] if table else []
    checks.check(table and not any(LIVE.match(l) or STATUS.match(l)
                                   for l in before),
                 "no live line is left above the summary table", text(before))
    return lines


def watch_live(checks, term, columns, most, until=None, settled=None):
    """Checks frames at one size until `until(term)` holds or the live lines
    end. Nothing may scroll off from the frame where `settled(term)` first
    holds (default: the live lines fill the screen). Returns the number of
    frames checked."""
    settled = settled or full
    scrolled = None
    frames = 0
    for _ in term.frames():
        if scrolled is None and settled(term):
            scrolled = term.history()
        if not check_frame(checks, term, columns, most, scrolled):
            break
        frames += 1
        if until and until(term):
            return frames
    return frames


def full(term):
    return any(re.match(r"^  \+[0-9]+ more", l) for l in term.shown())


def live(checks, term, readers):
    frames = watch_live(checks, term, 80, 22)
    for _ in term.frames():
        pass
    checks.check(frames > 0, "%d frames of the live display checked at 80x24"
                 % frames)
    header = term.history()
    checks.check(not any(LIVE.match(l) or STATUS.match(l) for l in header),
                 "no live line in the scrollback", text(header))
    check_end(checks, term, readers)
    check_widths(checks, term, 80)


def resized(checks, term, readers):
    watch_live(checks, term, 80, 22, until=full)
    term.resize(16, 40)
    since = len(term.raw) + len(term.pending)
    seen = {"frames": 0}

    def three_frames(_):
        seen["frames"] += 1
        return seen["frames"] >= 3

    frames = watch_live(checks, term, 40, 14, until=three_frames,
                        settled=lambda _: True)
    checks.check(frames >= 3, "%d frames checked at 40x16" % frames)
    term.key(b"\x03")
    note_frames = 0
    for _ in term.frames():
        if any(l.startswith("Interrupted: no further update")
               for l in term.shown()):
            note_frames += 1
            break
    checks.check(note_frames == 1, "a frame after Ctrl-C shows the note",
                 text(term.shown()))
    checks.check(check_frame(checks, term, 40, 14, term.history()),
                 "live lines under the note", text(term.shown()))
    term.key(b"\x03")
    for _ in term.frames():
        pass
    checks.check(term.child.returncode is not None, "a second Ctrl-C ends it")
    check_widths(checks, term, 40, since)


def count(pattern, line):
    found = re.search(pattern, line)
    return int(found.group(1)) if found else 0


def stopped(checks, term, readers):
    running = re.compile(r"^  reader-[0-9]+ +(?!failed:)")
    # Ten updates under way, past their version reads (which a Ctrl-C
    # would end, leaving nothing running).
    for _ in term.frames():
        lines = [l for l in term.shown() if running.match(l)]
        if len(lines) == 10 and not any("reading version" in l
                                        for l in lines):
            break
    term.key(b"\x03")
    status = None
    for _ in term.frames():
        shown = term.shown()
        lines = [l for l in shown if STATUS.match(l) and "not started" in l]
        if lines and any(l.startswith("Interrupted") for l in shown):
            status = lines[0]
            break
    checks.check(status is not None, "the status line counts not started",
                 text(term.shown()))
    if status is not None:
        done = count(r"([0-9]+)/[0-9]+ done", status)
        apart = count(r"([0-9]+) not started", status)
        on_screen = sum(1 for l in term.shown() if running.match(l))
        checks.check(done + apart + on_screen == readers and apart >= 30,
                     "done %d + not started %d + running %d make %d"
                     % (done, apart, on_screen, readers), text(term.shown()))
    term.key(b"\x03")
    for _ in term.frames():
        pass
    lines = term.everything()
    while lines and not lines[-1]:
        lines.pop()
    at = {word: max([i for i, l in enumerate(lines)
                     if l.startswith(word + " ")], default=-1)
          for word in ("Stopped:", "Report:", "Page:")}
    checks.check(0 <= at["Stopped:"] < at["Report:"]
                 and at["Report:"] + 1 == at["Page:"] == len(lines) - 1,
                 "Stopped:, then Report: and Page: last", text(lines[-12:]))
    check_widths(checks, term, 80)


def plain(checks, term, readers):
    started = re.compile(r"^[0-9:]* started  reader-")
    pressed = 0
    for _ in term.output():
        lines = term.everything()
        if pressed == 0 and any(("started  reader-%d (" % readers) in l
                                for l in lines):
            term.key(b"\x03")
            pressed = 1
        elif pressed == 1 and any(l.startswith("Interrupted")
                                  for l in term.shown()):
            term.key(b"\x03")
            pressed = 2
    lines = term.everything()
    count = sum(1 for l in lines if started.match(l))
    checks.check(count == readers, "--plain: %d started lines for %d readers"
                 % (count, readers), text(lines))
    checks.check(b"\x1b[" not in term.raw, "--plain draws no live lines")
    dated = [i for i, l in enumerate(lines)
             if re.match(r"^Date: [0-9]{4}-[0-9]{2}-[0-9]{2}$", l)]
    timed = [i for i, l in enumerate(lines) if started.match(l)]
    checks.check(dated and timed and dated[0] < timed[0],
                 "--plain: the date before the first timed line",
                 text(lines[:8]))
    check_widths(checks, term, 80)


def wine(checks, term, readers):
    for _ in term.output():
        pass
    lines = check_end(checks, term, readers)
    checks.check(any("started  reader-1 (127.0.0.1:" in l for l in lines),
                 "a started line", text(lines))
    checks.check(any("finished reader-1: updated" in l for l in lines),
                 "a finished line", text(lines))
    escaped = [l for l in lines if re.search(r"\[[0-9;]*[A-HJKf]", l)]
    checks.check(not escaped, "no escape text on Wine's console",
                 text(escaped))


def main():
    mode, readers, command = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    checks = Checks()
    term = Terminal(command)
    try:
        {"live": live, "resized": resized, "stopped": stopped,
         "plain": plain, "wine": wine}[mode](checks, term, readers)
    finally:
        if term.child.poll() is None:
            term.child.kill()
            term.child.wait()
    print("display %s: %d passed, %d failed"
          % (mode, checks.passed, checks.failed))
    return 1 if checks.failed or not checks.passed else 0


if __name__ == "__main__":
    sys.exit(main())
