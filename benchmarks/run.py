"""Times the store's methods against their floor and their peers.

For every call form (harness.FORMS) the columns are timed in interleaved
rounds (bare, forwarder, python, ini_main, bare, forwarder, ...) and each
column's figure is the median of its rounds; the targets are computed from
the same rounds, paired.  Then the import of ini_main is timed with
`-X importtime`.  Usage: ./dev bench [--rounds N] [--sample SECONDS] [--only TEXT]
"""

import argparse
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

import harness


def machine():
    with open("/proc/cpuinfo") as cpuinfo:
        model = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), "?")
    return f"{len(os.sched_getaffinity(0))} CPUs, {model}; {platform.python_implementation()} {platform.python_version()}"


def timer(stmt, values):
    # CPU time of this process: the time it spends waiting for a CPU, on a
    # machine shared with other work, counts for nothing.
    return timeit.Timer(stmt, setup=f"{', '.join(harness.NAMES)} = _values", timer=time.process_time,
                        globals={"_values": values})


def calls_per_sample(t, sample):
    number = 1
    while (elapsed := t.timeit(number)) < sample / 5:
        number *= 10 if elapsed < sample / 50 else 2
    return max(1, round(number * sample / elapsed))


def time_forms(forms, fixtures, rounds, sample):
    """{form label: {column: [seconds per call, one per round]}}"""
    results = {}
    for form in forms:
        timers = {}
        for column, stmt in form.stmts.items():
            t = timer(stmt, fixtures.namespace(form.fixture, column))
            timers[column] = t, calls_per_sample(t, sample)
        samples = {column: [] for column in timers}
        for _ in range(rounds):
            for column, (t, number) in timers.items():
                samples[column].append(t.timeit(number) / number)
        results[form.label] = samples
        print(f"  {form.label}", file=sys.stderr)
    return results


def import_cost(runs):
    """Medians of the cumulative microseconds of importing configparser, and
    of importing ini_main after it, each in a fresh interpreter."""
    found = {"configparser": [], "ini_main": []}
    for _ in range(runs):
        # Run outside the checkout: its ini_main/ folder would be searched too.
        done = subprocess.run([sys.executable, "-X", "importtime", "-c", "import configparser, ini_main"],
                              capture_output=True, text=True, check=True, cwd=tempfile.gettempdir())
        for line in done.stderr.splitlines():
            fields = re.match(r"import time:\s+\d+ \|\s+(\d+) \| (\S+)$", line)
            if fields and fields[2] in found:
                found[fields[2]].append(int(fields[1]))
    return {name: statistics.median(values) for name, values in found.items()}


def figure(seconds):
    return f"{seconds * 1e6:.3f}" if seconds < 1e-3 else f"{seconds * 1e3:.3f} ms"


def print_tables(results, imports):
    print("\nMedian time per call, microseconds:\n")
    print("| form | " + " | ".join(harness.COLUMNS) + " |")
    print("|---|" + "---:|" * len(harness.COLUMNS))
    for label, samples in results.items():
        cells = [figure(statistics.median(samples[c])) if c in samples else "" for c in harness.COLUMNS]
        print(f"| `{label}` | " + " | ".join(cells) + " |")
    if imports:
        print(f"\nimport: configparser {imports['configparser']:.0f} us, "
              f"ini_main after it {imports['ini_main']:.0f} us (cumulative, -X importtime)")

    harness.print_targets("in time", results, with_error=True)
    if imports:
        cost = imports["ini_main"]
        limit = harness.IMPORT_LIMIT_US
        print(f"| import ini_main beyond configparser, us | {cost:.0f} | | {limit} | "
              f"{'PASS' if cost <= limit else 'MISS'} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=60, help="interleaved rounds per form (default 60)")
    parser.add_argument("--sample", type=float, default=0.005, help="seconds per timing (default 0.005)")
    parser.add_argument("--only", help="only the forms whose label contains this text")
    args = parser.parse_args()
    forms = [f for f in harness.FORMS if not args.only or args.only in f.label]
    print(f"machine: {machine()}")
    print(f"{args.rounds} rounds of {args.sample * 1e3:.0f} ms per column", flush=True)
    with tempfile.TemporaryDirectory() as folder:
        results = time_forms(forms, harness.Fixtures(folder), args.rounds, args.sample)
    imports = import_cost(21) if not args.only else {}
    print_tables(results, imports)


if __name__ == "__main__":
    main()
