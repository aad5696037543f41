#!/usr/bin/env python3
"""Interrupted updates: for every N of one whole update on each path (native, ASMedia, JMicron),
the update is ended right after its N-th device request (fwbench --stop-after N, the drives kept in
a state file), then followed by a second update at once, or by fwbench restart and a second update.
Judged on the drive afterwards: it ended well when it runs the new firmware or its image waits for
the next restart; it is bad when a run reported success for a drive that does neither, or when its
configuration block changed (the firmware name aside). A failure reported for a drive that still
runs its old firmware is honest, not bad.

Then the drive states across console runs (fwbench cli) on the native drive, cut short at every N:
an update --retry, or the dialog's update, after an activation that failed, then a restart; a
power-off drive's update, then a restart and a power-off. Bad: success (0) for a drive that neither
runs nor waits for the new firmware; a drive that runs it and is refused (stuck); 3010 for an image
that waited through a restart (a loop). A benchmark, not a test: ./test does not run it.

    interrupt_sweep.py FWBENCH [--step K] [--jobs J]
"""
import argparse
import os
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

NEW = "3.2.F.2A"
CONFIG_NAME = slice(1064 * 2, 1072 * 2)  # the firmware name field, in hexadecimal digits
PATHS = [("native", 0, "q7-native"), ("asmedia", 1, "q7-asmedia"), ("jmicron", 2, "q7-jmicron")]


def bench_text(default):
    # The JMicron drive of the default bench has a flash the sample package has no image for.
    text = open(default).read()
    return text.replace("flash-id = 98 3E 98 B3 76 E3", "flash-id = 2C C3 08 32 EA 00")


def drive_state(path, name):
    state, inside = {}, False
    for line in open(path):
        line = line.strip()
        if line.startswith("["):
            inside = line == "[drive %s]" % name
        elif inside and "=" in line:
            key, value = (p.strip() for p in line.split("=", 1))
            state[key] = value.strip('"')
    return state


def run(fwbench, *args):
    return subprocess.run([fwbench, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True).returncode


def cli(fwbench, bench, state, *args, stop=None):
    """The console program's exit code (the last line of standard error); None when cut short."""
    p = subprocess.run([fwbench, "cli", "--bench", bench, "--state", state] + (["--stop-after", str(stop)] if stop else [])
                       + ["--", "update", "--serial", "QV7A24110001", "--yes", *args], capture_output=True, text=True)
    last = (p.stderr.strip().splitlines() or [""])[-1]
    return int(last[5:]) if last.startswith("exit ") else None


def state_case(fwbench, benches, kind, n, work):
    state, exits, bad = os.path.join(work, "%s-%d.state" % (kind, n)), [], ""
    bench = benches["power-off" if kind == "power-off" else "default"]
    if kind != "power-off":  # the drive kept its old firmware at the restart after its update
        exits.append(cli(fwbench, benches["keep-old"], state))
        run(fwbench, "restart", "--bench", benches["keep-old"], "--state", state)
    exits.append(cli(fwbench, bench, state, "--retry", stop=n) if kind == "retry" else
                 run(fwbench, "update", "0", "--bench", bench, "--state", state, "--stop-after", str(n))
                 if kind == "dialog" else cli(fwbench, bench, state, stop=n))
    for step in ["restart", "again"] + (["power-off"] if kind == "power-off" else []):
        if step != "again":
            run(fwbench, "restart", "--bench", bench, "--state", state, *(["--power-off"] if step == "power-off" else []))
        before = drive_state(state, "q7-native")
        exits.append(cli(fwbench, bench, state))
        after = drive_state(state, "q7-native")
        new, waits = after.get("firmware") == NEW, after.get("activation-pending") == "yes"
        bad = bad or (exits[-1] == 0 and not (new or waits) and "%s: success for old firmware" % step) \
            or (new and exits[-1] != 0 and "%s: runs the new firmware, refused (stuck)" % step) \
            or (exits[-1] == 3010 and step == "restart" and before.get("activation-pending") == "yes"
                and "restart: 3010 for an image that waited through a restart (a loop)") or ""
    for f in (state, state + ".registry"):
        os.path.exists(f) and os.remove(f)
    return n, exits, after.get("firmware"), bad


def requests_of_update(fwbench, bench, entry, work):
    state, capture = os.path.join(work, "count.state"), os.path.join(work, "count.capture")
    for f in (state, state + ".registry"):
        os.path.exists(f) and os.remove(f)
    run(fwbench, "update", str(entry), "--bench", bench, "--state", state, "--capture", capture)
    return sum(1 for line in open(capture) if " in=" in line)


def one_case(fwbench, bench, entry, name, n, restart, config0, work):
    state = os.path.join(work, "%s-%d-%d.state" % (name, n, restart))
    first = run(fwbench, "update", str(entry), "--bench", bench, "--state", state, "--stop-after", str(n))
    if restart:
        run(fwbench, "restart", "--bench", bench, "--state", state)
    second = run(fwbench, "update", str(entry), "--bench", bench, "--state", state)
    s = drive_state(state, name)
    os.remove(state)
    new = s.get("firmware") == NEW
    waiting = s.get("activation-pending") == "yes" and bool(s.get("slot"))
    config = s.get("config", "")
    kept = config[:CONFIG_NAME.start] + config[CONFIG_NAME.stop:] == config0[:CONFIG_NAME.start] + config0[CONFIG_NAME.stop:]
    well = new or waiting
    bad = (second == 0 and not well) or (first == 0 and not well) or not kept
    return n, restart, first, second, well, kept, bad, s.get("firmware")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("fwbench")
    parser.add_argument("--step", type=int, default=1, help="every K-th N only")
    parser.add_argument("--jobs", type=int, default=2)
    a = parser.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    total_runs = total_bad = 0
    with tempfile.TemporaryDirectory(prefix="interrupt-sweep-") as work:
        bench = os.path.join(work, "sweep.bench")
        open(bench, "w").write(bench_text(os.path.join(here, "..", "..", "emu", "benches", "default.bench")))
        fresh = os.path.join(work, "fresh.state")
        run(a.fwbench, "list", "--bench", bench, "--state", fresh)
        for path, entry, name in PATHS:
            config0 = drive_state(fresh, name)["config"]
            count = requests_of_update(a.fwbench, bench, entry, work)
            cases = [(n, r) for n in range(1, count + 1, a.step) for r in (False, True)]
            with ThreadPoolExecutor(a.jobs) as pool:
                results = list(pool.map(lambda c: one_case(a.fwbench, bench, entry, name, c[0], c[1], config0, work), cases))
            runs = sum(3 if r[1] else 2 for r in results)
            bad = [r for r in results if r[6]]
            unwell = [r for r in results if not r[4]]
            total_runs += runs
            total_bad += len(bad)
            print("%-8s %4d requests, %4d cases, %5d runs: %d bad, %d did not end well (%d after a restart)"
                  % (path, count, len(results), runs, len(bad), len(unwell), sum(1 for r in unwell if r[1])))
            # The cases that did not end well or were bad, as runs of N with the same outcome.
            groups = []
            for n, restart, first, second, well, kept, is_bad, firmware in bad + [r for r in unwell if not r[6]]:
                key = (restart, first, second, firmware, kept, is_bad)
                if groups and groups[-1][0] == key:
                    groups[-1][2] = n
                    groups[-1][3] += 1
                else:
                    groups.append([key, n, n, 1])
            for (restart, first, second, firmware, kept, is_bad), lo, hi, k in groups:
                print("   N=%d..%d (%d cases) %s: first exit %d, second exit %d, firmware %s, config %s%s"
                      % (lo, hi, k, "restart" if restart else "at once", first, second, firmware,
                         "kept" if kept else "CHANGED", ", BAD" if is_bad else ""))
        benches = {"default": bench}
        for name, line in (("keep-old", "fault = activation"), ("power-off", "activation = power-off")):
            benches[name] = os.path.join(work, name + ".bench")
            open(benches[name], "w").write(open(bench).read().replace("[drive q7-native]\n", "[drive q7-native]\n%s\n" % line))
        cases = range(1, requests_of_update(a.fwbench, bench, 0, work) + 1, a.step)
        for kind in ("retry", "dialog", "power-off"):
            with ThreadPoolExecutor(a.jobs) as pool:
                results = list(pool.map(lambda n: state_case(a.fwbench, benches, kind, n, work), cases))
            bad = [r for r in results if r[3]]
            total_runs, total_bad = total_runs + sum(len(r[1]) for r in results), total_bad + len(bad)
            print("%-9s %4d cases: %d bad; exits seen %s" % (kind, len(results), len(bad), sorted(set(tuple(r[1]) for r in results))))
            for r in bad[:10]:
                print("   N=%d exits %s, firmware %s: %s" % r)
    print("%d runs, %d bad" % (total_runs, total_bad))
    return 1 if total_bad else 0


if __name__ == "__main__":
    sys.exit(main())
