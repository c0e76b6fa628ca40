#!/usr/bin/env python3
"""Compares two rehearsals (run.sh) field for field, apart from times.

    compare.py BEFORE AFTER

Each reader's port is replaced by its line in fleet.txt, as the two
rehearsals listen on other ports. report.csv and report.jsonl must agree in
every field but start_time, end_time, seconds and the phases' times;
run.json in every key but start_time and end_time; the page, the logs and
the console lines (in any order) once their numbers, the time axes and the
path of the program are left out. Prints
each difference; exit status 1 when there is one.
"""
import csv
import io
import json
import os
import re
import sys

TIMES = {"start_time", "end_time", "seconds"}
FOLDERS = ["audit", "first", "second", "all"]


def ports(root):
    """The port of each reader of fleet.txt, as the text that stands for it."""
    found = {}
    with open(os.path.join(root, "fleet.txt"), encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            m = re.match(r"[^\s:]+:(\d+)", line)
            if m:
                found[m.group(1)] = "P%d" % number
    return found


def unported(text, table):
    return re.sub(r"(?<=[:\"= ])(\d{4,5})\b",
                  lambda m: table.get(m.group(1), m.group(1)), text)


def without_times(value, table):
    if isinstance(value, dict):
        out = []
        for key, item in value.items():
            if key in TIMES or (key in ("start", "end") and
                                isinstance(item, (int, float))):
                item = "TIME"
            elif key == "port" and isinstance(item, int):
                item = table.get(str(item), item)
            elif key == "log_file":
                item = unported(item, table)
            elif key == "command_line" and isinstance(item, list) and item:
                # The program as run: the same one, from another build.
                item = [os.path.basename(str(item[0]))] + item[1:]
            out.append((key, without_times(item, table)))
        return out
    if isinstance(value, list):
        return [without_times(v, table) for v in value]
    return value


def csv_rows(text, table):
    rows = list(csv.reader(io.StringIO(text, newline="")))
    if not rows:
        return rows
    header = rows[0]
    for row in rows[1:]:
        for i, field in enumerate(header):
            if i >= len(row):
                continue
            if field in TIMES:
                row[i] = "TIME"
            elif field == "port":
                row[i] = table.get(row[i], row[i])
            elif field == "log_file":
                row[i] = unported(row[i], table)
    return rows


def jsonl(text, table):
    return [without_times(json.loads(line), table)
            for line in text.splitlines() if line.strip()]


def loose(text, table):
    text = unported(text, table)
    # The program as run: the same one, from another build.
    text = re.sub(r"[^\s<>\"']*/modflash-fleet\b", "modflash-fleet", text)
    text = re.sub(r'nonce-[A-Za-z0-9+/=]+|nonce="[^"]*"', "NONCE", text)
    # A time axis has as many ticks as the run took minutes.
    text = re.sub(r'<g class="axis">.*?</g>', "AXIS", text)
    return re.sub(r"\d+(\.\d+)?", "#", text)


def compare(before, after, name, read, table_b, table_a, problems):
    pb, pa = os.path.join(before, name), os.path.join(after, name)
    if not os.path.exists(pb) or not os.path.exists(pa):
        if os.path.exists(pb) != os.path.exists(pa):
            problems.append("%s: only in one of the rehearsals" % name)
        return
    with open(pb, encoding="utf-8", newline="") as f:
        b = read(f.read(), table_b)
    with open(pa, encoding="utf-8", newline="") as f:
        a = read(f.read(), table_a)
    if b != a:
        if isinstance(b, list) and isinstance(a, list):
            i, x, y = first_difference(b, a)
            problems.append("%s differs at item %d:\n  before: %s\n  after:  "
                            "%s" % (name, i, str(x)[:1500], str(y)[:1500]))
        else:
            problems.append("%s differs:\n  before: %s\n  after:  %s" %
                            (name, str(b)[:1500], str(a)[:1500]))


def first_difference(b, a):
    for i, (x, y) in enumerate(zip(b, a)):
        if x != y:
            return i, x, y
    return min(len(b), len(a)), b[len(a):][:1], a[len(b):][:1]


def main():
    before, after = sys.argv[1], sys.argv[2]
    tb, ta = ports(before), ports(after)
    problems = []
    for name in ["status.txt"]:
        compare(before, after, name, lambda t, _: t, tb, ta, problems)
    # Console lines in any order, a duration's digits (and so the blanks
    # that pad it) left out.
    for log in ["audit.log", "first.log", "second.log", "merge.log"]:
        compare(before, after, log,
                lambda t, tab: sorted(re.sub(r" +", " ", line)
                                      for line in loose(t, tab).splitlines()),
                tb, ta, problems)
    for folder in FOLDERS:
        compare(before, after, folder + "/report.csv", csv_rows, tb, ta,
                problems)
        compare(before, after, folder + "/report.jsonl", jsonl, tb, ta,
                problems)
        compare(before, after, folder + "/run.json",
                lambda t, tab: without_times(json.loads(t), tab), tb, ta,
                problems)
        compare(before, after, folder + "/report.html",
                lambda t, tab: loose(t, tab).splitlines(), tb, ta, problems)
        files = set()
        for base in (before, after):
            top = os.path.join(base, folder)
            for dirpath, _, names in os.walk(top):
                for n in names:
                    rel = os.path.relpath(os.path.join(dirpath, n), base)
                    if rel.endswith((".txt", ".log")):
                        files.add(unported(rel, tb if base == before else ta))
        for rel in sorted(files):
            # Transcripts are named by reader, so the same in both.
            compare(before, after, rel, loose, tb, ta, problems)
    for p in problems:
        print(p)
    print("%d difference(s) between %s and %s" % (len(problems), before,
                                                  after))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
