#!/usr/bin/env python3
"""Runs the benchmark programs and prints each figure beside its baseline.

Usage: bench/compare.py <build dir> [--repetitions N] [--min-time S] [--only PROGRAM ...]

Every program runs once with --benchmark_format=json and the given number of
repetitions; the medians are compared. Single-threaded cases compare CPU
time (the machine may be shared, and CPU time is what another process does
not add to); threaded cases compare wall-clock throughput. The table is
markdown: figure, baseline, ratio, goal, met.
"""
import argparse
import json
import os
import subprocess
import sys

PROGRAMS = ["bench_engine_fake", "bench_engine_reference", "bench_engine_fake_serialised", "bench_binding",
            "bench_support"]


def run(path, repetitions, min_time, benchmark_filter):
    command = [path, "--benchmark_format=json", f"--benchmark_repetitions={repetitions}",
               "--benchmark_report_aggregates_only=true", f"--benchmark_min_time={min_time}"]
    if benchmark_filter:
        command.append(f"--benchmark_filter={benchmark_filter}")
    output = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout
    medians = {}
    for entry in json.loads(output)["benchmarks"]:
        if entry.get("aggregate_name") == "median":
            medians[entry["run_name"]] = entry
        elif "error_message" in entry:
            medians[entry["run_name"]] = entry
    return medians


def cpu_us(entry):
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[entry.get("time_unit", "ns")]
    return entry["cpu_time"] * scale


def fmt_us(value):
    if value < 1:
        return f"{value * 1000:.1f} ns"
    return f"{value:.2f} µs" if value < 1000 else f"{value / 1000:.2f} ms"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, case, figure, baseline, ratio, goal, met):
        self.rows.append((case, figure, baseline, ratio, goal, "yes" if met else ("—" if met is None else "**no**")))

    def time_pair(self, results, case, name, base_name, goal_text, check):
        a, b = results.get(name), results.get(base_name)
        if a is None or b is None or "error_message" in a or "error_message" in b:
            why = (a or b or {}).get("error_message", "not run")
            self.add(case, "error", why, "", goal_text, False)
            return
        fa, fb = cpu_us(a), cpu_us(b)
        met = check(fa, fb) if check else None
        self.add(case, fmt_us(fa), fmt_us(fb), f"{fa / fb:.3f}x (+{fa - fb:.2f} µs)", goal_text, met)

    def print(self):
        print("| case | figure | baseline | ratio | goal | met? |")
        print("|---|---|---|---|---|---|")
        for row in self.rows:
            print("| " + " | ".join(row) + " |")


OPERATIONS = ["EncodeData", "DecodeData", "SignData", "VerifyData", "AddSign", "RemoveSign"]


def engine_calls(table, results, module, sizes):
    for operation in OPERATIONS:
        for lifetime in ["cached", "fresh"]:
            for size in sizes:
                base = f"Call/{operation}/{lifetime}/{size}"
                if lifetime == "fresh":
                    goal, check = "≤ 1.05x", lambda a, b: a <= 1.05 * b
                elif module == "fake":
                    goal, check = "≤ +1 µs", lambda a, b: a - b <= 1.0
                elif size == 65536:
                    goal, check = "≤ 1.02x", lambda a, b: a <= 1.02 * b
                else:
                    goal, check = "(1.02x at 64 KiB)", None
                table.time_pair(results, f"{module} {operation} {lifetime} {size} B", f"{base}/engine",
                                f"{base}/vendor", goal, check)


def recipients(table, results, module):
    for count in [1, 5, 20]:
        engine = results.get(f"Recipients/{count}/engine")
        bare = results.get(f"Recipients/{count}/vendor")
        subjects = results.get(f"Recipients/{count}/vendor+subjects")
        if not engine or not bare or not subjects or any("error_message" in e for e in (engine, bare, subjects)):
            table.add(f"{module} EncodeData {count} recipients", "error", "", "", "", False)
            continue
        fe, fb, fs = cpu_us(engine), cpu_us(bare), cpu_us(subjects)
        own = (fe - fs) / count
        table.add(f"{module} EncodeData {count} recipients", fmt_us(fe),
                  f"{fmt_us(fb)} bare; {fmt_us(fs)} with subject calls",
                  f"{fe / fb:.2f}x bare; engine's own {own:+.2f} µs/recipient",
                  "≤ subject calls + 2 µs per recipient", own <= 2.0)


def size_queries(table, results, module):
    for function in ["GetCryptoParamNumber", "GetMaxUIDLength"]:
        entry = results.get(f"SizeQuery/{function}/vendor")
        if entry and "error_message" not in entry:
            table.add(f"{module} {function} by itself (the engine makes 2 or 3 size queries per call)",
                      fmt_us(cpu_us(entry)), "", "", "(part of the engine's figures above)", None)


def throughput(entry):
    return entry.get("items_per_second", 0.0)


def scaling(table, results, module, goal_ratio):
    for operation in ["EncodeData", "SignData"]:
        one = results.get(f"Scaling/{operation}/real_time/threads:1")
        two = results.get(f"Scaling/{operation}/real_time/threads:2")
        if not one or not two or "error_message" in one or "error_message" in two:
            table.add(f"{module} scaling {operation}", "error", "", "", "", False)
            continue
        ratio = throughput(two) / throughput(one)
        goal = f"≥ {goal_ratio}x" if goal_ratio else "(serialised: ~1x expected)"
        table.add(f"{module} scaling {operation}, 2 threads vs 1", f"{throughput(two):.0f}/s",
                  f"{throughput(one):.0f}/s", f"{ratio:.2f}x", goal, ratio >= goal_ratio if goal_ratio else None)


def scaling_control(table, results):
    for operation in ["encrypt", "sign"]:
        one = results.get(f"Scaling/openssl_{operation}/real_time/threads:1")
        two = results.get(f"Scaling/openssl_{operation}/real_time/threads:2")
        if one and two:
            ratio = throughput(two) / throughput(one)
            table.add(f"control: raw OpenSSL CMS {operation}, 2 threads vs 1", f"{throughput(two):.0f}/s",
                      f"{throughput(one):.0f}/s", f"{ratio:.2f}x", "(what the machine allows)", None)


def default_parameters(table, results):
    for operation in ["EncodeData", "SignData"]:
        table.time_pair(results, f"reference default parameters {operation} 1 KiB vs raw CMS",
                        f"Default/{operation}/1024/engine", f"Default/{operation}/1024/openssl", "≤ 1.3x",
                        lambda a, b: a <= 1.3 * b)


def binding(table, results):
    for count in [100, 1000]:
        table.time_pair(results, f"cache lookup, {count} sets vs 1", f"CacheLookup/{count}", "CacheLookup/1",
                        "≤ 2x", lambda a, b: a <= 2 * b)
    temporary = results.get("Binding/temporary")
    table.time_pair(results, "temporary binding vs table copy", "Binding/temporary", "Binding/copy_table",
                    "no symbol lookups", lambda a, b: temporary.get("lookups", 1) == 0)
    table.rows[-1] = table.rows[-1][:3] + (table.rows[-1][3] + f"; lookups/binding {temporary.get('lookups')}",) + \
        table.rows[-1][4:]


def support(table, results):
    table.time_pair(results, "path: upper-cased under root vs stat", "Path/upper_cased/platform",
                    "Path/upper_cased/stat", "≤ 2x", lambda a, b: a <= 2 * b)
    table.time_pair(results, "lock: nested read vs shared_mutex read", "Lock/nested_read/rwcs",
                    "Lock/read/shared_mutex", "≤ 2x", lambda a, b: a <= 2 * b)
    table.time_pair(results, "lock: first read vs shared_mutex read", "Lock/read/rwcs", "Lock/read/shared_mutex",
                    "—", None)
    table.time_pair(results, "lock: write vs shared_mutex write", "Lock/write/rwcs", "Lock/write/shared_mutex", "—",
                    None)
    for lock in ["rwcs", "shared_mutex"]:
        one = results.get(f"Lock/readers/{lock}/real_time/threads:1")
        two = results.get(f"Lock/readers/{lock}/real_time/threads:2")
        if one and two:
            ratio = throughput(two) / throughput(one)
            table.add(f"lock: 2 reader threads vs 1 ({lock})", f"{throughput(two):.0f}/s",
                      f"{throughput(one):.0f}/s", f"{ratio:.2f}x", "readers do not serialise (> 1.5x)",
                      ratio > 1.5 if lock == "rwcs" else None)
    for direction in ["encode", "decode"]:
        for size in [16384, 1048576]:
            check = (lambda a, b: a <= b) if size == 1048576 else None
            table.time_pair(results, f"Base64 {direction} {size} B vs EVP", f"Base64/{direction}/mimecode/{size}",
                            f"Base64/{direction}/openssl/{size}", "≤ 1x at 1 MiB" if check else "—", check)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--min-time", default="0.5")
    parser.add_argument("--only", nargs="*", default=PROGRAMS)
    args = parser.parse_args()
    bench = os.path.join(args.build, "bench")
    table = Table()
    for program in args.only:
        path = os.path.join(bench, program)
        if not os.path.exists(path):
            print(f"skipped {program}: not built", file=sys.stderr)
            continue
        print(f"running {program} ...", file=sys.stderr)
        if program == "bench_engine_fake":
            results = run(path, args.repetitions, args.min_time, "")
            engine_calls(table, results, "fake", [1024])
            size_queries(table, results, "fake")
            recipients(table, results, "fake")
            scaling(table, results, "fake v2", 0)
        elif program == "bench_engine_reference":
            results = run(path, args.repetitions, args.min_time, "")
            engine_calls(table, results, "reference", [1024, 65536, 1048576])
            recipients(table, results, "reference")
            scaling(table, results, "reference", 1.8)
            scaling_control(table, results)
            default_parameters(table, results)
        elif program == "bench_engine_fake_serialised":
            results = run(path, args.repetitions, args.min_time, "Scaling")
            scaling(table, results, "fake v1000 (serialised)", 0)
        elif program == "bench_binding":
            binding(table, run(path, args.repetitions, args.min_time, ""))
        elif program == "bench_support":
            support(table, run(path, args.repetitions, args.min_time, ""))
    table.print()


if __name__ == "__main__":
    main()
