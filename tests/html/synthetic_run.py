#!/usr/bin/env python3
"""Writes a synthetic run folder (report.jsonl and run.json) of N readers,
for sizing and timing the report page: mixed outcomes, waves, phases, long
names and failure lines, several module versions.

  synthetic_run.py FOLDER N [--site NAME] [--day YYYY-MM-DD]
                   [--current-waves K] [--long-name]

--site and --day set the run's site and date; --current-waves K puts five
already-current readers in each of K first waves, all read at the run's
start (waves that update nothing); --long-name gives the eighth reader after
those a name of 10,000 characters."""
import argparse
import json
import os
import random

PHASES = ["connect-probe", "baud-rate", "restart-wait", "transfer",
          "post-update-wait", "verify"]
LENGTHS = [0.4, 0.3, 8.6, 52.0, 8.4, 0.3]
FAILURES = [
    ("connect-probe", "Unable to determine module's baud rate",
     "Failed to connect to reader. Error (10060) Connection timed out"),
    ("baud-rate", "Unable to set module baud rate to 115200 baud",
     "Set baud rate failed."),
    ("transfer", "SendCodePacket failed at buffer offset 4096 with 5 retries",
     "SendCodePacket 4214784 failed. Error: 03"),
]


def current_record(i, wave, day):
    name = "hall-%d-dock-%04d" % (i % 7, i)
    return {"name": name, "address": "10.9.%d.%d" % (i // 256, i % 256),
            "port": 5000, "outcome": "already-current", "exit_status": None,
            "file_version": None, "version_before": "V1.2.3",
            "version_after": None, "module_state": "already-current",
            "current": True, "start_time": "%sT09:00:00" % day,
            "end_time": "%sT09:00:01" % day, "seconds": 1.2,
            "log_file": "%03d-%s.log" % (i + 1, name), "wave": wave,
            "site": None, "run": None,
            "phases": [{"phase": "connect-probe", "start": 0, "end": 1.2}]}


def record(i, rng, wave, start, day="2026-01-05", long_name=False):
    name = "hall-%d-dock-%04d-%s" % (i % 7, i, "x" * (i % 13))
    log = "%03d-%s.log" % (i + 1, name)
    if long_name:
        name = "hall-long-" + "n" * 10000
        log = "%03d-hall-long.log" % (i + 1)
    outcome = rng.choices(["updated", "failed", "not-started"], [88, 8, 4])[0]
    rec = {"name": name, "address": "10.%d.%d.%d" % (i // 65536, i // 256 % 256, i % 256),
           "port": 5000, "outcome": outcome, "exit_status": None,
           "file_version": "V1.2.3",
           "version_before": rng.choice(["V1.1.0", "V1.1.0", "V1.0.4", "V1.2.3"]),
           "version_after": None, "initial_baud": 921600, "refused_tries": 0,
           "failure_line": None, "first_error": None,
           "answered_after_update": None, "start_time": None, "end_time": None,
           "seconds": None, "log_file": log,
           "wave": wave, "site": None, "run": None}
    if outcome == "not-started":
        rec["wave"] = None
        return rec, start
    phases, t = [], 0.0
    failure = rng.choice(FAILURES) if outcome == "failed" else None
    for phase, length in zip(PHASES, LENGTHS):
        end = t + length * rng.uniform(0.8, 1.3)
        phases.append({"phase": phase, "start": round(t, 1), "end": round(end, 1)})
        t = end
        if failure and phase == failure[0]:
            break
    rec.update(phases=phases, seconds=round(t, 1),
               start_time="%sT%02d:%02d:%02d" % (day, 9 + start // 3600, start // 60 % 60, start % 60),
               exit_status=-1 if failure else 0)
    rec["end_time"] = rec["start_time"]  # not drawn; kept simple
    if failure:
        rec["failure_line"], rec["first_error"] = failure[1], failure[2]
    else:
        rec["version_after"] = "V1.2.3"
        rec["answered_after_update"] = True
    return rec, start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("count", type=int)
    parser.add_argument("--site", default="synthetic")
    parser.add_argument("--day", default="2026-01-05")
    parser.add_argument("--current-waves", type=int, default=0)
    parser.add_argument("--long-name", action="store_true")
    args = parser.parse_args()
    folder, count, empty = args.folder, args.count, args.current_waves
    rng = random.Random(7)
    os.makedirs(folder, exist_ok=True)
    counts = {}
    with open(os.path.join(folder, "report.jsonl"), "w") as out:
        for i in range(count):
            if i < empty * 5:
                rec = current_record(i, i // 5 + 1, args.day)
            else:
                j = i - empty * 5
                wave = 1 if j < 5 else 2 if j < 50 else 3
                start = {1: 0, 2: 75, 3: 150}[wave] + (j % 50) * 2
                rec, _ = record(i, rng, wave + empty, start, args.day,
                                args.long_name and j == 7)
            counts[rec["outcome"]] = counts.get(rec["outcome"], 0) + 1
            out.write(json.dumps(rec) + "\n")
    run = {"tool": "modflash-fleet", "tool_version": "1.0.0", "kind": "program",
           "command_line": ["modflash-fleet", "--program", "img.bin", "fleet.txt"],
           "start_time": "%sT09:00:00" % args.day,
           "end_time": "%sT09:06:00" % args.day,
           "image": {"file": "img.bin", "version": "V1.2.3", "sha256": None},
           "site": args.site, "counts": counts}
    with open(os.path.join(folder, "run.json"), "w") as out:
        json.dump(run, out, indent=2)


if __name__ == "__main__":
    main()
