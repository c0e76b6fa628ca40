#!/usr/bin/env python3
"""The docs runner's walk-through mode: one shell, in order, stopping at
the first block that fails; and the examples of the manual pages: read
from their EXAMPLES section with roff's escapes, skipped where marked, and
failed when they leave a program running."""

import os
import subprocess
import sys
import tempfile
import unittest

RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                      "run_sh_blocks.py")


def walk(text):
    """(exit status, output) of --walk over a guide holding `text`."""
    with tempfile.TemporaryDirectory() as folder:
        guide = os.path.join(folder, "guide.md")
        with open(guide, "w", encoding="utf-8") as f:
            f.write(text)
        here = os.path.join(folder, "here")
        os.mkdir(here)
        r = subprocess.run([sys.executable, RUNNER, "--path", folder,
                            "--walk", here, guide],
                           capture_output=True, text=True, check=False)
        return r.returncode, r.stdout


def run_page(text):
    """(exit status, output) of the runner over a manual page of `text`."""
    with tempfile.TemporaryDirectory() as folder:
        page = os.path.join(folder, "tool.1")
        with open(page, "w", encoding="utf-8") as f:
            f.write(text)
        r = subprocess.run([sys.executable, RUNNER, "--path", folder, page],
                           capture_output=True, text=True, check=False)
        return r.returncode, r.stdout


PAGE = """.TH TOOL 1
.SH OPTIONS
.EX
exit 3
.EE
.SH EXAMPLES
.\\" not run: a real reader
.EX
ping \\-c 1 10.0.0.5
.EE
.PP
.RS
.EX
%s
.EE
.RE
.SH SEE ALSO
"""


class ManPageTest(unittest.TestCase):
    def test_examples_are_read_as_a_terminal_shows_them(self):
        status, out = run_page(PAGE % "x=$(printf '%s' a\\-b); "
                               "[ \"$x\" = a-b ]; printf '%s' \\e\\e > f; "
                               "[ \"$(cat f)\" = '\\e' ]")
        self.assertEqual(status, 0, out)
        self.assertIn("ok ", out)
        self.assertIn("skipped", out)
        self.assertIn("(not run: a real reader)", out)
        # The OPTIONS section's block is no example.
        self.assertIn("1 block(s) run, 0 failed, 1 skipped", out)

    def test_an_example_that_leaves_a_program_running_fails(self):
        status, out = run_page(PAGE % "sleep 60 >/dev/null 2>&1 &")
        self.assertEqual(status, 1, out)
        self.assertIn("still runs", out)
        status, out = run_page(PAGE % "sleep 60 >/dev/null 2>&1 &\nkill $!")
        self.assertEqual(status, 0, out)


class WalkTest(unittest.TestCase):
    def test_variables_and_files_carry_to_the_next_block(self):
        status, out = walk("```sh\nx=41\necho made > f\n```\n\n"
                           "```text\nnot compared\n```\n\n"
                           "```sh\necho $((x + 1)) $(cat f) $(basename $PWD)\n```\n")
        self.assertEqual(status, 0, out)
        self.assertIn("42 made here\n", out)
        self.assertIn("2 block(s)", out)

    def test_the_first_failing_block_ends_the_walk(self):
        status, out = walk("```sh\necho one\nfalse\necho never\n```\n"
                           "```sh\necho two\n```\n")
        self.assertEqual(status, 1)
        self.assertIn("one\n", out)
        self.assertNotIn("never", out)
        self.assertNotIn("two", out)


if __name__ == "__main__":
    unittest.main()
