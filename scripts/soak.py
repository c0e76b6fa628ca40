#!/usr/bin/env python3
"""The chaos soak: runs of modflash against readersim with seeded faults.

Usage: soak.py --bin BUILD_DIR RUNS SEED  (scripts/soak builds and calls it)

Run i uses the seed SEED + i. The seed alone decides the run: the kind of
run, the module's version, the image and the faults. Of every 12 consecutive
seeds (12k to 12k+11) eight rehearse a fixed scenario (SCENARIOS below): a
module silent after the update, a late answer, endless entry answers, a
dripping answer, and four that can put the module's answers out of step with
the programmer's requests: an answer 7 to 15 s late, an answer relayed twice
and an unsolicited Status, each followed later in the transfer by a lost
request, and one late answer alone, which must not fail the run. Those four
run with --answer-latency 9, a module that answers after about the serial
time of an exchange at 115200, so that a stray answer is told by its time;
such a run takes about a minute more. The other seeds draw one to three
faults at random.

Every run is judged by check_run, the one checker of the invariants.
"""

import argparse
import concurrent.futures
import os
import random
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

FLASH_SIZE = 204800
SIGNATURE_AT = 204760
IP = "127.0.0.1"

# Module frames of a current-revision run against readersim: the AutoBaud
# probe, the first restart wait's poll, the version read, the prepare
# command, Update_EnterUpdateMode, 6400 slices, Update_Complete, the first
# poll after the update.
FRAMES = {"probe": 1, "poll": 2, "version": 3, "prepare": 4, "enter": 5,
          "complete": 6406, "after": 6407}
FIRST_SLICE, LAST_SLICE = 6, 6405

# Wall-time bound of a run, from the programmer's own waits and time-outs:
#  - the pauses of a clean run: two restart waits of 8 s and 500 ms after
#    the prepare command;
#  - HOST_ALLOWANCE_S for everything else on a clean run: connecting, two
#    rate changes, 6400 exchanges of the ASan build on a loaded host;
#  - per fault, what it can cost at most (fault_cost below): a lost or late
#    answer, a lost request and any other fault one receive time-out (5 s)
#    and the wait for quiet after it (10 s of quiet, at most SETTLE_MAX_S in
#    all; a late answer arrives during that wait, as the simulator holds the
#    retry until the late answer went out); a closed connection the wait
#    for the reader to close (15 s); a drip one time-out, the wait for quiet
#    and the drip itself, as the simulator finishes it before it reads the
#    next request; a silent module after the update 20 polls of one
#    time-out and 500 ms each, and one wait for quiet at the end of the
#    restart wait (a poll that timed out during that wait costs no more);
#    --answer-latency its time for every frame of the run;
#  - once for a run with any fault but the latency, the wait for quiet
#    before Update_Complete of a transfer that saw an anomaly
#    (ANOMALY_QUIET_S).
CLEAN_PAUSES_S = 8 + 8 + 0.5
HOST_ALLOWANCE_S = float(os.environ.get("SOAK_HOST_ALLOWANCE_S", "90"))
RECEIVE_TIMEOUT_S = 5
SETTLE_MAX_S = 30
ANOMALY_QUIET_S = 30


def fault_cost(fault):
    name, args = fault[0], fault[1:]
    if name == "silent-polls":
        return 20 * (RECEIVE_TIMEOUT_S + 0.5) + SETTLE_MAX_S
    if name in ("close-at", "reset-at"):
        return 15
    if name == "drip":
        return RECEIVE_TIMEOUT_S + SETTLE_MAX_S + 28 * args[1] / 1000.0
    if name == "answer-latency":
        return FRAMES["after"] * args[0] / 1000.0
    if name == "latency-schedule":
        return FRAMES["after"] * 30 / 1000.0
    if name == "no-address-echo":
        return 0
    if name == "refuse-slice":
        return RECEIVE_TIMEOUT_S + SETTLE_MAX_S
    return RECEIVE_TIMEOUT_S + SETTLE_MAX_S


def time_bound(faults):
    bound = CLEAN_PAUSES_S + HOST_ALLOWANCE_S + sum(map(fault_cost, faults))
    if any(f[0] not in ("answer-latency", "latency-schedule",
                        "no-address-echo") for f in faults):
        bound += ANOMALY_QUIET_S
    return bound


# The lines a failed run may end with, as the operator guide lists them.
FAILURE_LINES = [re.compile(p) for p in (
    r"Unable to determine module's baud rate",
    r"Unable to retrieve module baud rate",
    r"Unable to set module baud rate to \d+ baud",
    r"Unable to retrieve firmware version",
    r"Unable to put reader into the module firmware update mode",
    r"Update_EnterUpdateMode returned an error response\.",
    r"SendCodePacket failed at buffer offset \d+ with 5 retries",
    r"Update_Complete returned an error response\.",
    r"      does not match the version retrieved from the reader "
    r"\(V\d+\.\d+\.\d+\)",
    r"Module firmware for reader 127\.0\.0\.1 could not be confirmed: the "
    r"module did not answer after the update\.",
    r"Transfer not confirmed: the module's answers fell out of step with the "
    r"requests\.",
)]
SUCCESS_LINE = ("Module firmware for reader 127.0.0.1 has been successfully "
                "updated.")
# Printed after the run's last line when the reader is slow to close.
HARMLESS_TAIL = "Smooth socket shutdown process failed."
# A link line kept without its line end: the failure line follows it on the
# same line.
NO_LINE_END = "Unexpected response from GetBaudRate)"
SANITIZER = re.compile(r"AddressSanitizer|LeakSanitizer|runtime error:")


def frame(rng, phase=None):
    phase = phase or rng.choice(list(FRAMES) + ["transfer"] * 4)
    if phase == "transfer":
        return rng.randint(FIRST_SLICE, LAST_SLICE)
    return FRAMES[phase]


def random_fault(rng):
    kind = rng.choice(["drop-answer", "delay-answer", "corrupt-answer",
                       "close-at", "reset-at", "drip", "endless-entry",
                       "junk-before", "double-answer", "silent-polls",
                       "lose-request"])
    if kind == "delay-answer":
        return (kind, frame(rng),
                rng.choice([300, 4000, 5200, 6000, 9000, 14000]))
    if kind == "corrupt-answer":
        return (kind, frame(rng), rng.choice([0, 6, 7, 17, "check"]))
    if kind == "drip":
        return (kind, frame(rng), rng.choice([50, 300, 1500, 4500]))
    if kind == "junk-before":
        return (kind, frame(rng), rng.randint(1, 40))
    if kind == "endless-entry":
        return (kind,)
    if kind == "silent-polls":
        return (kind, 30)
    return (kind, frame(rng))


# The module's time for every exchange in the runs that rehearse answers out
# of step: about the serial time of a slice's exchange at 115200.
STEP_LATENCY_MS = 9


def out_of_step(rng, kind):
    """A fault at a slice that can shift the answers by one, then a request
    lost 1 to 60 frames later in the same transfer (none for 'late-alone'):
    a shift that goes on until the loss heals it hides the lost slice."""
    first = rng.randint(FIRST_SLICE, LAST_SLICE - 250)
    if kind in ("late", "late-alone"):
        ms = (rng.randint(7000, 15000) if kind == "late" else
              rng.choice([7500, 9000, 11000, 13000, 14500]))
        fault = ("delay-answer", first, ms)
    elif kind == "duplicate":
        fault = ("duplicate-answer", first, rng.choice([1, 2, 3]))
    else:
        fault = ("extra-status", first, rng.choice([1, 2, 3]))
    faults = [("answer-latency", STEP_LATENCY_MS), fault]
    if kind != "late-alone":
        faults.append(("lose-request", first + rng.randint(1, 60)))
    return faults


# The fixed scenario of each seed modulo 12; the others draw at random.
SCENARIOS = {0: "silent-polls", 1: "delay", 2: "endless-entry", 3: "drip",
             4: "late", 6: "duplicate", 8: "extra-status", 10: "late-alone"}
# SOAK_SCENARIOS=out-of-step: every run one of these, in turn, against a
# module that echoes its requests' addresses or (every other run) one that
# does not (--no-address-echo). The last ones are told apart only by the
# echoed address, so a module without echo does not rehearse them.
OUT_OF_STEP = ["late", "duplicate", "extra-status", "late-alone", "noise",
               "pieces", "slowing", "duplicate-refusal", "first-slices",
               "enter-duplicate"]
ECHO_ONLY = ["plausible-duplicate", "very-late", "fast-duplicate"]
NO_ECHO_KINDS = ["zeros", "constant", "random"]


def out_of_step_more(rng, kind, echo):
    """The faults that came after the first four: noise after an answer, an
    answer sent again in pieces, a reader that slows down, a duplicate then
    a refusal, a duplicate in the first slices or of the enter answer; and,
    against a module that echoes, a duplicate at a plausible time, an answer
    20 s late and a duplicate at the simulator's own speed. All but the
    refusal are followed by a lost request."""
    first = rng.randint(FIRST_SLICE, LAST_SLICE - 250)
    latency = ("answer-latency", STEP_LATENCY_MS)
    if echo and kind not in ("fast-duplicate", "slowing"):
        latency = ("answer-latency", rng.choice([1, STEP_LATENCY_MS, 20]))
    if kind == "noise":
        fault = ("noise-after", first, rng.choice([1, 4, 9]), 1)
    elif kind == "pieces":
        fault = ("resend-in-pieces", first, rng.choice([5, 10, 20]), 2)
    elif kind == "slowing":
        latency = ("latency-schedule", "%d:%d,%d:%d" % (
            1, STEP_LATENCY_MS, first - 50, 30))
        fault = ("duplicate-answer", first, rng.choice([1, 2, 3] +
                                                      ([12] if echo else [])))
    elif kind == "duplicate-refusal":
        gap = rng.choice([7, 1]) if echo else rng.choice([1, 2])
        return [latency, ("duplicate-answer", first, gap),
                ("refuse-slice", "0x%X" % (0x404000 + 32 * (first + 1 -
                                                            FIRST_SLICE)), 1)]
    elif kind == "first-slices":
        first = FIRST_SLICE + rng.randint(0, 15)
        fault = ("duplicate-answer", first, rng.choice([1, 2, 3]))
    elif kind == "enter-duplicate":
        fault = ("duplicate-answer", FRAMES["enter"], 3)
        first = FIRST_SLICE + rng.randint(0, 150)
    elif kind == "plausible-duplicate":
        fault = ("duplicate-answer", first, 7)
    elif kind == "very-late":
        fault = ("delay-answer", first, 14900)
    else:
        latency = None
        fault = ("duplicate-answer", first, rng.choice([0, 1]))
    faults = [f for f in (latency, fault) if f]
    faults.append(("lose-request", first + rng.randint(1, 60)))
    return faults


def scenario_faults(rng, scenario, echo=True):
    if scenario == "silent-polls":
        return [("silent-polls", 30)]
    if scenario == "delay":
        return [("delay-answer", frame(rng, "transfer"), 6000)]
    if scenario == "endless-entry":
        return [("endless-entry",)]
    if scenario == "drip":
        return [("drip", frame(rng, "transfer"), rng.choice([300, 4500]))]
    if scenario in OUT_OF_STEP[:4]:
        return out_of_step(rng, scenario)
    if scenario is not None:
        return out_of_step_more(rng, scenario, echo)
    faults = []
    for _ in range(rng.randint(1, 3)):
        f = random_fault(rng)
        if f[0] not in [g[0] for g in faults]:
            faults.append(f)
    return faults


def plan_run(seed):
    """Everything a run does, from its seed alone."""
    rng = random.Random(seed)
    image = (rng.randint(1, 9), rng.randint(0, 9), rng.randint(0, 9))
    old = image if rng.random() < 0.3 else (1, 0, rng.randint(0, 9))
    scenario = SCENARIOS.get(seed % 12)
    echo = True
    if os.environ.get("SOAK_SCENARIOS") == "out-of-step":
        echo = seed % 2 == 0
        kinds = OUT_OF_STEP + (ECHO_ONLY if echo else [])
        scenario = kinds[(seed // 2) % len(kinds)]
    faults = scenario_faults(rng, scenario, echo)
    if not echo:
        faults.append(("no-address-echo", rng.choice(NO_ECHO_KINDS)))
    program = rng.random() < 0.6
    # A slice lost unseen shows only in a programmed flash.
    if scenario not in (None, "late-alone") and scenario in (
            OUT_OF_STEP + ECHO_ONLY):
        program = True
    return {"seed": seed, "program": program, "image": image, "old": old,
            "faults": faults, "must_succeed": scenario == "late-alone"}


def fault_args(fault):
    name, args = fault[0], fault[1:]
    if not args:
        return ["--" + name]
    return ["--" + name, ":".join(str(a) for a in args)]


def version_text(v):
    return "V%d.%d.%d" % v


def initial_flash(version):
    flash = bytearray(b"\xff" * FLASH_SIZE)
    flash[SIGNATURE_AT:SIGNATURE_AT + 4] = b"X30M"
    flash[SIGNATURE_AT + 5] = version[2]
    flash[SIGNATURE_AT + 6] = version[1]
    flash[SIGNATURE_AT + 7] = version[0]
    return bytes(flash)


def probe_reader(port, timeout_s=30):
    """True when readersim answers a GetBaudRate on a new connection."""
    try:
        with socket.create_connection((IP, port), timeout=timeout_s) as s:
            s.settimeout(timeout_s)
            s.sendall(bytes([0xB9, 0x9B, 0x00, 0x08, 0x38, 0x30, 0x0D, 0x0A]))
            got = b""
            while len(got) < 5:
                chunk = s.recv(64)
                if not chunk:
                    return False
                got += chunk
            return got[:2] == b"\xb9\x9b" and got[4] == 0x39
    except OSError:
        return False


def check_run(plan, result):
    """The invariants of one run; the list of those it broke."""
    broken = []
    lines = [l for l in result["output"].splitlines() if l.strip()]
    while lines and lines[-1] == HARMLESS_TAIL:
        lines.pop()
    last = lines[-1] if lines else ""
    if last.startswith(NO_LINE_END):
        last = last[len(NO_LINE_END):]
    rc = result["rc"]
    if result["timed_out"]:
        broken.append("still running after %.0f s" % result["limit"])
    if rc == 0:
        after = [l for l in lines
                 if l.startswith("Post-update firmware version: ")]
        want = plan["image"] if plan["program"] else plan["old"]
        if after != ["Post-update firmware version: " + version_text(want)]:
            broken.append("exit 0, but the module did not answer after the "
                          "update with " + version_text(want) +
                          ": " + repr(after))
        flash = result["flash"]
        if plan["program"] and flash != result["image_bytes"]:
            broken.append("exit 0, but the flash differs from the image")
        if not plan["program"] and flash != initial_flash(plan["old"]):
            broken.append("exit 0 after a dry run, but the flash changed")
        if last != SUCCESS_LINE:
            broken.append("exit 0 without the success line: " + repr(last))
    elif plan.get("must_succeed"):
        broken.append("one late answer alone failed the run: " + repr(last))
    elif rc != 255:
        broken.append("exit status %s, neither 0 nor -1" % rc)
    elif not any(p.fullmatch(last) for p in FAILURE_LINES):
        broken.append("failure ends with an unknown line: " + repr(last))
    if result["elapsed"] > result["bound"]:
        broken.append("took %.1f s, bound %.1f s" % (result["elapsed"],
                                                     result["bound"]))
    for who in ("output", "reader_log"):
        if SANITIZER.search(result[who]):
            broken.append("sanitizer report in the " +
                          ("programmer's" if who == "output" else
                           "simulator's") + " output")
    if not result["served_next"]:
        broken.append("readersim did not serve the next client")
    if result["reader_rc"] != 0:
        broken.append("readersim ended with %s" % result["reader_rc"])
    return broken


def run_one(bindir, seed, keep):
    plan = plan_run(seed)
    work = tempfile.mkdtemp(prefix="modflash-soak-%d-" % seed)
    modflash = os.path.abspath(os.path.join(bindir, "modflash"))
    readersim = os.path.abspath(
        os.path.join(bindir, "tools", "readersim", "readersim"))
    image = os.path.join(work, "image.bin")
    flash_out = os.path.join(work, "flash.bin")
    subprocess.run([readersim, "make-image", image, "--version",
                    "%d.%d.%d" % plan["image"], "--seed", str(seed)],
                   check=True, stdout=subprocess.DEVNULL)
    args = [readersim, "--port", "0", "--connections", "2", "--version",
            "%d.%d.%d" % plan["old"], "--flash-out", flash_out]
    for f in plan["faults"]:
        args += fault_args(f)
    reader_log_path = os.path.join(work, "readersim.log")
    reader_log = open(reader_log_path, "w+")
    reader = subprocess.Popen(args, stdout=reader_log,
                              stderr=subprocess.STDOUT)
    port = None
    for _ in range(400):
        reader_log.seek(0)
        m = re.search(r"listening on 127\.0\.0\.1:(\d+)", reader_log.read())
        if m:
            port = int(m.group(1))
            break
        time.sleep(0.05)
    bound = time_bound(plan["faults"])
    result = {"rc": None, "output": "", "timed_out": False, "elapsed": 0.0,
              "bound": bound, "limit": bound + 30, "flash": b"",
              "served_next": False, "reader_rc": None, "reader_log": "",
              "image_bytes": open(image, "rb").read()}
    if port is not None:
        kind = "--program" if plan["program"] else "--dryrun"
        started = time.monotonic()
        try:
            done = subprocess.run([modflash, kind, image, IP, str(port)],
                                  stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT,
                                  timeout=result["limit"], cwd=work)
            result["rc"] = done.returncode
            result["output"] = done.stdout.decode("utf-8", "replace")
        except subprocess.TimeoutExpired as e:
            result["timed_out"] = True
            result["output"] = (e.stdout or b"").decode("utf-8", "replace")
        result["elapsed"] = time.monotonic() - started
        result["served_next"] = probe_reader(port)
    try:
        result["reader_rc"] = reader.wait(timeout=60)
    except subprocess.TimeoutExpired:
        reader.kill()
        result["reader_rc"] = reader.wait()
    reader_log.seek(0)
    result["reader_log"] = reader_log.read()
    reader_log.close()
    if os.path.exists(flash_out):
        result["flash"] = open(flash_out, "rb").read()
    broken = check_run(plan, result) if port else ["readersim did not start"]
    if broken and keep:
        with open(os.path.join(work, "modflash.log"), "w") as out:
            out.write(result["output"])
    else:
        shutil.rmtree(work, ignore_errors=True)
    return plan, result, broken, work


def describe(plan):
    faults = " ".join(" ".join(fault_args(f)) for f in plan["faults"])
    return "%s image %s module %s %s" % (
        "--program" if plan["program"] else "--dryrun",
        version_text(plan["image"]), version_text(plan["old"]), faults)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("runs", type=int)
    parser.add_argument("seed", type=int)
    opts = parser.parse_args()
    jobs = int(os.environ.get("SOAK_JOBS", "4"))
    seeds = [opts.seed + i for i in range(opts.runs)]
    successes = failures = 0
    violations = []
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = [pool.submit(run_one, opts.bin, s, True) for s in seeds]
        for f in concurrent.futures.as_completed(futures):
            plan, result, broken, work = f.result()
            verdict = ("VIOLATION" if broken else
                       "success" if result["rc"] == 0 else "clean failure")
            print("soak: seed %d: %s in %.1f s (bound %.0f s): %s" % (
                plan["seed"], verdict, result["elapsed"], result["bound"],
                describe(plan)), flush=True)
            for b in broken:
                print("soak:   %s (kept in %s)" % (b, work), flush=True)
            if broken:
                violations.append(plan["seed"])
            elif result["rc"] == 0:
                successes += 1
            else:
                failures += 1
    print()
    print("| runs | successes | clean failures | violations | seeds of "
          "violations |")
    print("|---|---|---|---|---|")
    print("| %d | %d | %d | %d | %s |" % (
        len(seeds), successes, failures, len(violations),
        " ".join(map(str, sorted(violations))) or "-"))
    print("soak: %d runs, %d in parallel, %.0f s" % (
        len(seeds), jobs, time.monotonic() - started))
    return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main())
