#!/usr/bin/env python3
"""Runs every ```sh block of the guides as written.

    run_sh_blocks.py --path DIR[:DIR...] [--only TEXT] FILE.md...
    run_sh_blocks.py --path DIR[:DIR...] --walk FOLDER FILE.md

Each block runs in a fresh folder of its own with `sh -e`, the folders of
--path first on PATH. It must end with status 0, and when a ```text block
follows it (only blank lines between), its standard output must be that
text exactly. Whatever a block leaves running in the background is ended
with it. --only runs the blocks whose text holds TEXT. Exit status 1 when
any block failed.

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

BLOCK_TIMEOUT_S = 900


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


def run_in(commands, path, folder, timeout_s=BLOCK_TIMEOUT_S):
    """(status, stdout, stderr) of `commands` in `folder`."""
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
    # A background program the commands left running.
    try:
        os.killpg(child.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    return child.returncode, out, err


def run(commands, path):
    """(status, stdout, stderr) of `commands` in a fresh folder."""
    with tempfile.TemporaryDirectory(prefix="modflash-docs-") as folder:
        return run_in(commands, path, folder)


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
    failed = ran = 0
    for name in args.files:
        for line, commands, expected in blocks(name):
            if args.only not in commands:
                continue
            ran += 1
            status, out, err = run(commands, args.path)
            where = "%s:%d" % (name, line)
            if status != 0 or (expected is not None and out != expected):
                failed += 1
                print("FAILED %s (exit status %d)" % (where, status))
                if expected is not None and out != expected:
                    print("--- expected\n%s--- got\n%s---" % (expected, out))
                print("standard error:\n" + err)
            else:
                print("ok %s" % where)
    print("%d block(s) run, %d failed" % (ran, failed))
    return 1 if failed or not ran else 0


if __name__ == "__main__":
    sys.exit(main())
