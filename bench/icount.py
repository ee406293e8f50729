#!/usr/bin/env python3
"""Instructions per call of the engine and of the same vendor calls made
directly, counted by callgrind; a figure no other process on the machine can
move.

Each case of bench_icount_fake runs N and 3N times under
`valgrind --tool=callgrind --collect-atstart=no --toggle-collect=MeasuredCall`;
the per-call figure is the difference divided by 2N, so whatever a run costs
once (the first call, the program's set-up) cancels.

    bench/icount.py [build-dir]                      the table (markdown)
    bench/icount.py [build-dir] --json out.json      the figures as JSON too
    bench/icount.py [build-dir] --check bench/icount-baseline.json
        fails (exit 1) when a figure grows by more than 5% over the baseline
    bench/icount.py [build-dir] --update bench/icount-baseline.json
        writes the figures as the new baseline
"""

import argparse
import concurrent.futures
import json
import os
import re
import subprocess
import sys
import tempfile

DRIVER = "bench/bench_icount_fake"
MARKER = "MeasuredCall"
TOLERANCE = 0.05
# An own-work figure is the difference of two counts of some 25,000 to 125,000
# instructions, and inherits the fake's own variation between runs (its
# allocator's state, the clock's second its dates are made in): about 100
# instructions either way. Growth below this floor is within that variation,
# not a regression; a 5% growth of a whole call is far above it.
OWN_WORK_NOISE = 150
# The operations whose engine figure is one cached call; the goal on each.
OWN_WORK_GOAL = 2000
RECIPIENT_COUNTS = (1, 20)


def count_instructions(driver, case, calls):
    """Instructions callgrind counted inside MeasuredCall over calls calls."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        command = [
            "valgrind", "--tool=callgrind", "--collect-atstart=no",
            "--toggle-collect=" + MARKER, "--callgrind-out-file=" + out,
            driver, case, str(calls),
        ]
        run = subprocess.run(command, capture_output=True, text=True)
        if run.returncode != 0:
            raise RuntimeError(f"{case} x{calls} failed ({run.returncode}):\n{run.stderr[-2000:]}")
        with open(out) as dump:
            for line in dump:
                match = re.match(r"(?:summary|totals): (\d+)", line)
                if match:
                    return int(match.group(1))
    raise RuntimeError(f"{case}: no totals in the callgrind output")


def per_call(driver, case, calls):
    once = count_instructions(driver, case, calls)
    thrice = count_instructions(driver, case, 3 * calls)
    return round((thrice - once) / (2 * calls))


def cases(driver):
    listing = subprocess.run([driver, "--list"], capture_output=True, text=True, check=True)
    return listing.stdout.split()


def measure(driver, calls, jobs, only=None):
    names = [name for name in cases(driver) if only is None or name.startswith(only)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        counts = list(pool.map(lambda name: per_call(driver, name, calls), names))
    return dict(zip(names, counts))


def with_own_work(figures):
    """The figures and, per case, the engine's own work (engine − direct):
    the check holds it too, since 5% of a whole call is far more than a
    regression of the engine's own part needs to hide in."""
    rows, recipient = derived(figures)
    result = dict(figures)
    for base, (_, _, own) in rows.items():
        result[base + "/own"] = own
    if len(recipient) == 2:
        result["Recipients/each/own"] = recipient["engine"] - recipient["direct"]
    return result


def derived(figures):
    """Engine minus direct per case, and the per-recipient costs."""
    rows = {}
    for name, engine in figures.items():
        if not name.endswith("/engine"):
            continue
        base = name[: -len("/engine")]
        direct = figures.get(base + "/direct")
        if direct is not None:
            rows[base] = (engine, direct, engine - direct)
    few, many = RECIPIENT_COUNTS
    span = many - few
    recipient = {}
    for side in ("engine", "direct"):
        a = figures.get(f"Recipients/{few}/{side}")
        b = figures.get(f"Recipients/{many}/{side}")
        if a is not None and b is not None:
            recipient[side] = round((b - a) / span)
    return rows, recipient


def table(figures):
    rows, recipient = derived(figures)
    lines = [
        "| case | engine | direct | engine − direct |",
        "|---|---|---|---|",
    ]
    for base, (engine, direct, own) in rows.items():
        lines.append(f"| {base} | {engine:,} | {direct:,} | {own:,} |")
    if len(recipient) == 2:
        own = recipient["engine"] - recipient["direct"]
        lines.append(
            f"| per recipient ((Recipients/{RECIPIENT_COUNTS[1]} − /{RECIPIENT_COUNTS[0]}) "
            f"/ {RECIPIENT_COUNTS[1] - RECIPIENT_COUNTS[0]}) | {recipient['engine']:,} | "
            f"{recipient['direct']:,} | {own:,} |"
        )
    return "\n".join(lines)


def over_goal(figures):
    """The cached cases whose own work is not under the goal."""
    rows, _ = derived(figures)
    return [
        f"{base}: own work {own} instructions (goal: under {OWN_WORK_GOAL})"
        for base, (_, _, own) in rows.items()
        if "/cached" in base and own >= OWN_WORK_GOAL
    ]


def grown(figures, baseline):
    """Figures more than TOLERANCE above their baseline, and missing ones."""
    problems = []
    for name, before in baseline.items():
        now = figures.get(name)
        if now is None:
            problems.append(f"{name}: not measured (baseline {before})")
        elif now > max(before * (1 + TOLERANCE), before + (OWN_WORK_NOISE if name.endswith("/own") else 0)):
            problems.append(f"{name}: {now} instructions per call, baseline {before} (+{(now / before - 1):.1%})")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build", nargs="?", default="build/default")
    parser.add_argument("--calls", type=int, default=100, help="N: each case runs N and 3N times")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--only", metavar="PREFIX", help="only the cases whose name starts so (e.g. VerifyData/cached)")
    parser.add_argument("--json", help="write the figures to this file")
    parser.add_argument("--check", metavar="BASELINE", help="fail when a figure grows by more than 5%%")
    parser.add_argument("--update", metavar="BASELINE", help="write the figures as the new baseline")
    args = parser.parse_args()

    driver = os.path.join(args.build, DRIVER)
    if not os.access(driver, os.X_OK):
        sys.exit(f"{driver} is not built (cmake --build {args.build} --target bench_icount_fake)")
    figures = with_own_work(measure(driver, args.calls, args.jobs, args.only))
    print(table(figures))
    for path in filter(None, (args.json, args.update)):
        with open(path, "w") as out:
            json.dump(figures, out, indent=2, sort_keys=True)
            out.write("\n")
    status = 0
    for problem in over_goal(figures):
        print("over the goal:", problem)
    if args.check:
        with open(args.check) as stored:
            baseline = json.load(stored)
        if args.only:
            baseline = {name: count for name, count in baseline.items() if name.startswith(args.only)}
        problems = grown(figures, baseline)
        for problem in problems:
            print("grown:", problem)
        if problems:
            print(f"instruction counts grew by more than {TOLERANCE:.0%}: mend the change, or update "
                  f"{args.check} in the same change (bench/icount.py --update) if the growth is wanted")
            status = 1
        else:
            print(f"every figure within {TOLERANCE:.0%} of {args.check}")
    return status


if __name__ == "__main__":
    sys.exit(main())
