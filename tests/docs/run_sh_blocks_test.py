#!/usr/bin/env python3
"""The docs runner's walk-through mode: one shell, in order, stopping at
the first block that fails."""

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
