#!/usr/bin/env python3
"""Runs every ```sh block of the guides, and every example of the manual
pages, as written.

    run_sh_blocks.py --path DIR[:DIR...] [--only TEXT] FILE.md|FILE.1...
    run_sh_blocks.py --path DIR[:DIR...] --walk FOLDER FILE.md

Each block runs in a fresh folder of its own with `sh -e`, the folders of
--path first on PATH. It must end with status 0, and when a ```text block
follows it (only blank lines between), its standard output must be that
text exactly. Whatever a block leaves running in the background is ended
with it. --only runs the blocks whose text holds TEXT. Exit status 1 when
any block failed.

Of a manual page (FILE.1 .. FILE.9) the blocks are the lines between .EX
and .EE in its EXAMPLE or EXAMPLES section, with roff's escapes read as a
terminal shows them (\- as -, \e as a backslash). Pasted, an example has
to clean up after itself: one that leaves a program running fails. An
example preceded by the comment line `.\" not run: REASON` (one that needs
a real reader) is counted as skipped, its reason shown.

--walk runs a walk-through: the blocks of FILE.md one after another in one
`sh -e`, in FOLDER, so that each block's variables and background programs
are there for the next; it ends at the first block that fails. Its ```text
blocks are examples (times and paths differ), shown but not compared.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

BLOCK_TIMEOUT_S = 900
# How long a program that an example started may take to end after it.
LINGER_S = 3
MAN_PAGE = re.compile(r"\.[1-9]$")
NOT_RUN = re.compile(r'^\.\\" not run: (.*)$')
# roff's escapes in an example, as the terminal shows them.
ESCAPES = [("\\-", "-"), ("\\e", "\\"), ("\\(aq", "'"), ("\\(dq", '"'),
           ("\\(ti", "~"), ("\\(ha", "^"), ("\\&", "")]


def blocks(path):
    """(line, commands, expected output or None) of each sh block."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    found, i = [], 0
    while i < len(lines):
        if lines[i].strip() != "```sh":
            i += 1
            continue
        start, body, i = i + 1, [], i + 1
        while i < len(lines) and lines[i].strip() != "```":
            body.append(lines[i])
            i += 1
        i += 1
        j = i
        while j < len(lines) and not lines[j].strip():
            j += 1
        expected = None
        if j < len(lines) and lines[j].strip() == "```text":
            out, j = [], j + 1
            while j < len(lines) and lines[j].strip() != "```":
                out.append(lines[j])
                j += 1
            expected = "".join(line + "\n" for line in out)
        found.append((start, "\n".join(body) + "\n", expected))
    return found


def man_blocks(path):
    """(line, commands, None, reason) of each example of a manual page;
    reason is why it is not run, or None."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    found, section, reason, i = [], "", None, 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if line.startswith(".SH"):
            section = line[3:].strip().strip('"')
        if section not in ("EXAMPLE", "EXAMPLES"):
            continue
        if NOT_RUN.match(line):
            reason = NOT_RUN.match(line).group(1)
        if line.strip() != ".EX":
            continue
        start, body = i + 1, []
        while i < len(lines) and lines[i].strip() != ".EE":
            if lines[i].startswith((".", "'")):
                raise ValueError("%s:%d: a roff request in an example"
                                 % (path, i + 1))
            body.append(unescape(lines[i]))
            i += 1
        found.append((start, "\n".join(body) + "\n", None, reason))
        reason = None
    return found


def unescape(line):
    """An example's line of roff as the terminal shows it."""
    out, j = "", 0
    while j < len(line):
        for escape, shown in ESCAPES:
            if line.startswith(escape, j):
                out += shown
                j += len(escape)
                break
        else:
            if line[j] == "\\":
                raise ValueError("an escape this runner does not read: "
                                 + line[j:j + 4])
            out += line[j]
            j += 1
    return out


def left_running(group):
    """Whether a program of process group `group` still runs (zombies,
    which whoever adopted them has yet to reap, do not count)."""
    if not os.path.isdir("/proc/self"):
        try:
            os.killpg(group, 0)
            return True
        except ProcessLookupError:
            return False
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, encoding="utf-8") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(")") + 2:].split()
        if int(fields[2]) == group and fields[0] != "Z":
            return True
    return False


def run_in(commands, path, folder, timeout_s=BLOCK_TIMEOUT_S, lingering=None):
    """(status, stdout, stderr) of `commands` in `folder`. `lingering`, a
    list, gets True when a program the commands started still ran
    LINGER_S seconds after them."""
    env = dict(os.environ, PATH=path + os.pathsep + os.environ["PATH"])
    child = subprocess.Popen(["sh", "-e", "-c", commands], cwd=folder,
                             env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True,
                             start_new_session=True)
    try:
        out, err = child.communicate(timeout=timeout_s)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        out, err = child.communicate()
        err += "\n(ended after %d s)" % timeout_s
    if lingering is not None:
        deadline = time.monotonic() + LINGER_S
        while left_running(child.pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        lingering.append(left_running(child.pid))
    # A background program the commands left running.
    try:
        os.killpg(child.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    return child.returncode, out, err


def run(commands, path, lingering=None):
    """(status, stdout, stderr) of `commands` in a fresh folder."""
    with tempfile.TemporaryDirectory(prefix="modflash-docs-") as folder:
        return run_in(commands, path, folder, lingering=lingering)


def file_blocks(name):
    """(line, commands, expected, reason not run) of a guide or a page."""
    if MAN_PAGE.search(name):
        return man_blocks(name)
    return [found + (None,) for found in blocks(name)]


def walk(name, path, folder):
    """Runs the blocks of `name` in order in one shell in `folder`; a line
    before each block's output says where it starts."""
    found = blocks(name)
    script = ""
    for line, commands, _ in found:
        script += "echo '== %s:%d'\n%s" % (name, line, commands)
    status, out, err = run_in(script, path, folder,
                              BLOCK_TIMEOUT_S * max(1, len(found)))
    print(out + "standard error:\n" + err)
    print("%d block(s) of %s run in one shell: exit status %d"
          % (len(found), name, status))
    return 1 if status != 0 or not found else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--path", required=True)
    parser.add_argument("--only", default="")
    parser.add_argument("--walk", metavar="FOLDER")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    if args.walk:
        if len(args.files) != 1 or args.only:
            parser.error("--walk takes one file and no --only")
        return walk(args.files[0], args.path, args.walk)
    failed = ran = skipped = 0
    for name in args.files:
        page = bool(MAN_PAGE.search(name))
        for line, commands, expected, reason in file_blocks(name):
            if args.only not in commands:
                continue
            where = "%s:%d" % (name, line)
            if reason is not None:
                skipped += 1
                print("skipped %s (not run: %s)" % (where, reason))
                continue
            ran += 1
            lingering = [] if page else None
            status, out, err = run(commands, args.path, lingering)
            left = bool(lingering and lingering[0])
            if (status != 0 or left
                    or (expected is not None and out != expected)):
                failed += 1
                print("FAILED %s (exit status %d)" % (where, status))
                if left:
                    print("a program it started still runs %d s after it"
                          % LINGER_S)
                if expected is not None and out != expected:
                    print("--- expected\n%s--- got\n%s---" % (expected, out))
                print("standard error:\n" + err)
            else:
                print("ok %s" % where)
    print("%d block(s) run, %d failed, %d skipped" % (ran, failed, skipped))
    return 1 if failed or not ran else 0


if __name__ == "__main__":
    sys.exit(main())
