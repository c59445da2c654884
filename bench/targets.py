#!/usr/bin/env python3
"""pipeword's figures against the benchmark's targets, from the runs that pwbench wrote.

    python3 bench/targets.py RUNS.CSV

RUNS.CSV is pwbench's --csv output of a run with the servers pipeword, busypoll (the same
exchange with pipeword's run control), limit (one thread, no run control) and python.
Prints a Markdown table of medians and ratios of medians: the targets, then the ratio to
the one-thread limit for information. Beside each ratio, the range that 90% of the ratios
of medians of resampled runs (2,000 bootstrap samples) fall in: how far the same machine
could have moved it by chance alone.
"""
import csv
import random
import statistics
import sys

RESAMPLES = 2000


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    figures = {}
    with open(sys.argv[1], newline="", encoding="utf-8") as runs:
        for row in csv.DictReader(runs):
            for name in ("exchange_ms", "total_ms", "rss_mib"):
                figures.setdefault((row["server"], name), []).append(float(row[name]))

    def median(server, name):
        values = figures.get((server, name))
        if not values:
            sys.exit(f"targets: no runs of {server} in {sys.argv[1]}")
        return statistics.median(values)

    chance = random.Random(1)

    def spread(name, other, invert=False):
        mine, theirs = figures[("pipeword", name)], figures[(other, name)]
        ratios = sorted(
            statistics.median(chance.choices(mine, k=len(mine)))
            / statistics.median(chance.choices(theirs, k=len(theirs)))
            for _ in range(RESAMPLES))
        low, high = ratios[RESAMPLES // 20], ratios[RESAMPLES - RESAMPLES // 20]
        if invert:
            low, high = 1 / high, 1 / low
        return f"{low:.2f}–{high:.2f}×"

    def ratio(name, other, invert=False):
        mine, theirs = median("pipeword", name), median(other, name)
        value = theirs / mine if invert else mine / theirs
        return mine / theirs, (f"{value:.2f}× ({mine:.3f} ms against {theirs:.3f} ms; by "
                               f"chance {spread(name, other, invert)})")

    rows = []
    total, text = ratio("total_ms", "busypoll")
    rows.append(("total ≤ 1.1× the busy-polling baseline", text, total <= 1.1))
    exchange, text = ratio("exchange_ms", "busypoll")
    rows.append(("exchange ≤ 1.2× the busy-polling baseline", text, exchange <= 1.2))
    rss = median("pipeword", "rss_mib")
    rows.append(("peak RSS < 1.5 MiB", f"{rss:.2f} MiB", rss < 1.5))
    python, text = ratio("total_ms", "python", invert=True)
    rows.append(("≥ 5× faster than the Python server in total", text, python <= 0.2))
    print("| target | pipeword, median | |")
    print("|---|---|---|")
    for name, measured, met in rows:
        print(f"| {name} | {measured} | {'met' if met else '**not met**'} |")
    _, text = ratio("total_ms", "limit")
    print(f"| total against the one-thread limit (information) | {text} | |")


if __name__ == "__main__":
    main()
