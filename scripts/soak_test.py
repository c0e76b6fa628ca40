#!/usr/bin/env python3
"""The soak's checker catches each broken invariant (python3 soak_test.py)."""

import unittest

import soak

IMAGE = b"\x01" * soak.FLASH_SIZE


def programmed(plan, **changes):
    """A result of a sound programming run of `plan`, then `changes`."""
    result = dict(
        rc=0, timed_out=False, elapsed=30.0, bound=120.0, limit=150.0,
        flash=IMAGE, image_bytes=IMAGE, served_next=True, reader_rc=0,
        reader_log="",
        output="Post-update firmware version: %s\n\n%s\n" % (
            soak.version_text(plan["image"]), soak.SUCCESS_LINE))
    result.update(changes)
    return result


class CheckRunTest(unittest.TestCase):
    plan = {"seed": 1, "program": True, "image": (2, 3, 4),
            "old": (2, 3, 4), "faults": []}

    def test_sound_runs_pass(self):
        self.assertEqual(soak.check_run(self.plan, programmed(self.plan)), [])
        failed = programmed(self.plan, rc=255, output=(
            "SendCodePacket failed at buffer offset 4096 with 5 retries\n"
            "Smooth socket shutdown process failed.\n"))
        self.assertEqual(soak.check_run(self.plan, failed), [])
        odd = programmed(self.plan, rc=255, output=(
            "Unexpected response from GetBaudRate)Unable to retrieve module "
            "baud rate\n"))
        self.assertEqual(soak.check_run(self.plan, odd), [])
        shifted = programmed(self.plan, rc=255, output=(
            "Transfer not confirmed: the module's answers fell out of step "
            "with the requests.\n"))
        self.assertEqual(soak.check_run(self.plan, shifted), [])

    def test_false_success_is_caught(self):
        unknown = "Post-update firmware version: unknown (the module did " \
                  "not answer)\n" + soak.SUCCESS_LINE
        for changes in ({"output": unknown},
                        {"flash": b"\xff" * soak.FLASH_SIZE}):
            self.assertTrue(soak.check_run(
                self.plan, programmed(self.plan, **changes)), changes)
        dry = dict(self.plan, program=False)
        self.assertTrue(soak.check_run(dry, programmed(dry)))  # flash written

    def test_a_single_late_answer_must_not_fail_the_run(self):
        late = dict(self.plan, must_succeed=True)
        self.assertEqual(soak.check_run(late, programmed(late)), [])
        failed = programmed(late, rc=255, output=(
            "Update_Complete returned an error response.\n"))
        self.assertEqual(len(soak.check_run(late, failed)), 1)

    def test_failures_need_a_known_last_line_and_the_bounds(self):
        for changes in ({"rc": 255, "output": "Error receiving message from "
                         "reader. Error #10060.\n"},
                        {"rc": 1},
                        {"elapsed": 121.0},
                        {"timed_out": True},
                        {"reader_log": "==7==ERROR: AddressSanitizer: x"},
                        {"served_next": False},
                        {"reader_rc": -9}):
            self.assertTrue(soak.check_run(
                self.plan, programmed(self.plan, **changes)), changes)

    def test_time_bound_grows_with_the_faults(self):
        clean = soak.time_bound([])
        # 20 polls, one wait for quiet, the wait before Update_Complete.
        self.assertEqual(soak.time_bound([("silent-polls", 30)]),
                         clean + 110 + 30 + 30)
        self.assertEqual(soak.time_bound([("drip", 9, 1000)]),
                         clean + 5 + 30 + 28 + 30)
        # The latency alone is no anomaly: its time for every frame only.
        self.assertAlmostEqual(soak.time_bound([("answer-latency", 9)]),
                               clean + 6407 * 0.009)
        self.assertAlmostEqual(
            soak.time_bound([("answer-latency", 9), ("delay-answer", 9, 15000),
                             ("lose-request", 20)]),
            clean + 6407 * 0.009 + 2 * 35 + 30)

    def test_every_twelve_seeds_rehearse_the_answers_out_of_step(self):
        plans = [soak.plan_run(seed) for seed in range(12 * 7 + 3, 12 * 8 + 3)]
        kinds = [p["faults"][1][0] for p in plans
                 if p["faults"][0] == ("answer-latency", 9)]
        self.assertEqual(sorted(kinds), ["delay-answer", "delay-answer",
                                         "duplicate-answer", "extra-status"])
        self.assertEqual(soak.plan_run(12 * 5 + 2)["faults"],
                         [("endless-entry",)])
        for p in plans:
            faults = dict((f[0], f[1:]) for f in p["faults"])
            if "answer-latency" not in faults:
                continue
            first = p["faults"][1][1]
            self.assertGreaterEqual(first, soak.FIRST_SLICE)
            if p["must_succeed"]:
                self.assertNotIn("lose-request", faults)
                self.assertTrue(7000 <= faults["delay-answer"][1] <= 15000)
            else:
                # A slice lost later in the transfer, in a programming run.
                lost = faults["lose-request"][0]
                self.assertTrue(first < lost <= soak.LAST_SLICE - 40, p)
                self.assertTrue(p["program"])


if __name__ == "__main__":
    unittest.main()
