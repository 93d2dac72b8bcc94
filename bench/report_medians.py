#!/usr/bin/env python3
"""Summarises Google Benchmark JSON results (scripts/bench): the median of
every benchmark that measures time, the bounded command runner's time as a
multiple of a bare spawn's (the median ratio of its paired runs), and the memory that the memory benchmarks (those
reporting "rss_after") saw in their repetitions.

    python3 bench/report_medians.py RESULT.json...
"""

import json
import re
import sys

RUNNER_PAIRS = "BoundedCommandRunnerOverhead"


def mebibytes(value):
    return f"{value / (1 << 20):.1f} MiB"


def kibibytes(value):
    return f"{value / 1024:+.0f} KiB"


def main(paths):
    medians = {}  # name -> (time, unit)
    memory = {}  # name -> counters of each repetition, in order
    ratio = None  # the runner's paired measurement: its median counters
    for path in paths:
        with open(path, encoding="utf-8") as file:
            text = file.read()
        if not text:
            continue  # the filter matched nothing in that program
        for run in json.loads(text)["benchmarks"]:
            name = re.sub(r"/(real_time|manual_time|iterations:\d+)", "", run["run_name"])
            if "rss_after" in run:
                if run.get("run_type") == "iteration":
                    memory.setdefault(name, []).append(run)
            elif name == RUNNER_PAIRS:
                if run.get("aggregate_name") == "median":
                    ratio = run
            elif run.get("aggregate_name") == "median":
                medians[name] = (run["real_time"], run["time_unit"])

    if not medians and not memory:
        sys.exit("no benchmark ran (check the filter)")
    if medians:
        width = max(len(name) for name in medians)
        print(f"\n{'benchmark':<{width}}  median")
        for name, (time, unit) in medians.items():
            print(f"{name:<{width}}  {time:10.3f} {unit}")

    if ratio is not None:
        print(f"\nbounded command runner / bare posix_spawn + waitpid of /bin/true, measured in pairs:"
              f" {ratio['ratio']:.2f}x (medians: runner {ratio['runner_us']:.0f} us,"
              f" bare {ratio['bare_us']:.0f} us)")

    for name, runs in memory.items():
        first, last = runs[0], runs[-1]
        resident_growth = max(run["rss_after"] - run["rss_after_first"] for run in runs)
        heap_growth = max(run["heap_after"] - run["heap_after_first"] for run in runs)
        print(f"\n{name}: memory (resident set; heap in use) in {len(runs)} repetitions"
              f" of {first['iterations']} runs each"
              f"\n  before the first run  {mebibytes(first['rss_before'])}; {mebibytes(first['heap_before'])}"
              f"\n  after the first run   {mebibytes(first['rss_after_first'])}; {mebibytes(first['heap_after_first'])}"
              f"\n  after the last run    {mebibytes(last['rss_after'])}; {mebibytes(last['heap_after'])}"
              f"\n  most growth from the first run to the last of a repetition:"
              f" {kibibytes(resident_growth)}; {kibibytes(heap_growth)}"
              f"\n  peak of the resident set during a run: {mebibytes(max(run['rss_peak'] for run in runs))}")

if __name__ == "__main__":
    main(sys.argv[1:])
