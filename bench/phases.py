#!/usr/bin/env python3
"""Where a run's time goes: the benchmark driver under `perf trace`, split into phases.

    python3 bench/phases.py [-n RUNS] LABEL=PROGRAM[ ARG...] ...

Runs build/bench/bench/pwbench with the given servers while `perf trace` records a handful
of system calls (fork, execve, thread start, socket, bind, exit), and prints for each server
the median and 90th percentile of

    fork      driver's fork until the child's execve starts
    execve    the kernel loading the program
    startup   execve's return until the program starts its worker thread (clone3), or,
              without one before its socket, until it calls socket(): the dynamic loader,
              the runtimes' initialisation, main()
    to bind   from there until bind() has returned: the pipe exists
    serve     bind's return until the program calls exit_group: the exchange, the flush,
              run control noticing, the report line
    exit      exit_group until the driver's wait4 has returned: tearing the process down

Tracing costs each traced call a few microseconds; compare the phases with one another and
across servers, not with the driver's own untraced figures. Needs perf and the right to
trace (root, or kernel.perf_event_paranoid <= 1).
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile

LINE = re.compile(
    r"^\s*(?P<ts>[0-9.]+|\?) \(\s*(?:(?P<dur>[0-9.]+) ms)?\s*\): "
    r"(?P<comm>[^/]*)/(?P<tid>\d+)\s+(?P<rest>.*)$"
)
CALL = re.compile(r"^(?:\.\.\. \[continued\]: )?(?P<name>\w+)\((?P<args>.*?)\)?\s*(?:\.\.\.|= (?P<ret>-?\d+)?.*)?$")
PHASES = ["fork", "execve", "startup", "to bind", "serve", "exit", "total"]


def parse(path):
    """Yields (start ms, end ms or None, tid, call, return value) per completed call."""
    with open(path, encoding="utf-8", errors="replace") as trace:
        for raw in trace:
            match = LINE.match(raw)
            if not match or match["ts"] == "?":
                continue
            call = CALL.match(match["rest"])
            if not call:
                continue
            start = float(match["ts"])
            end = start + float(match["dur"]) if match["dur"] else None
            ret = int(call["ret"]) if call["ret"] is not None else None
            yield start, end, int(match["tid"]), call["name"], ret


def runs(path, driver_pid):
    """One dict of event times per server process the driver started."""
    children = {}  # pid -> events
    thread_of = {}  # tid -> pid
    for start, end, tid, name, ret in parse(path):
        if tid == driver_pid and name == "clone" and ret and ret > 0:
            children[ret] = {"fork": start}
            thread_of[ret] = ret
        elif tid == driver_pid and name == "wait4" and ret in children and end is not None:
            children[ret]["reaped"] = end
        elif tid in thread_of:
            events = children[thread_of[tid]]
            if name == "execve" and end is not None:
                events.setdefault("exec_start", start)
                events["exec_end"] = end
            elif name == "clone3" and ret and ret > 0:
                thread_of[ret] = thread_of[tid]
                events.setdefault("thread", start)
            elif name == "socket":
                events.setdefault("socket", start)
            elif name == "bind" and end is not None:
                events.setdefault("bound", end)
            elif name == "exit_group":
                events.setdefault("exit", start)
    return children


def phases(events):
    needed = ("fork", "exec_start", "exec_end", "socket", "bound", "exit", "reaped")
    if any(key not in events for key in needed):
        return None
    began = events["thread"] if events.get("thread", 1e18) < events["socket"] else events["socket"]
    return {
        "fork": events["exec_start"] - events["fork"],
        "execve": events["exec_end"] - events["exec_start"],
        "startup": began - events["exec_end"],
        "to bind": events["bound"] - began,
        "serve": events["exit"] - events["bound"],
        "exit": events["reaped"] - events["exit"],
        "total": events["reaped"] - events["fork"],
    }


def quantile(values, q):
    values = sorted(values)
    position = q * (len(values) - 1)
    below = int(position)
    if below + 1 >= len(values):
        return values[below]
    return values[below] + (position - below) * (values[below + 1] - values[below])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", type=int, default=50, help="measured rounds (default 50)")
    parser.add_argument("--driver", default="build/bench/bench/pwbench")
    parser.add_argument("servers", nargs="+", metavar="LABEL=PROGRAM[ ARG...]")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        trace = os.path.join(work, "trace")
        command = ["perf", "trace", "--sort-events", "-o", trace,
                   "-e", "clone,clone3,execve,socket,bind,exit_group,wait4", "--",
                   options.driver, "-n", str(options.n), "-w", "2", *options.servers]
        done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              text=True)
        if done.returncode != 0:
            sys.stderr.write(done.stderr)
            sys.exit(f"phases: the traced driver failed (status {done.returncode})")
        driver_pid = None
        for _, _, tid, name, _ in parse(trace):
            if name == "clone":
                driver_pid = tid
                break
        children = runs(trace, driver_pid)
        # In the order of the forks (process ids wrap around). The driver's first fork only
        # measures its own floor; the rest follow its rounds.
        labels = [definition.split("=", 1)[0] for definition in options.servers]
        order = list(children)[1:]
        by_label = {label: [] for label in labels}
        warmup = 2 * len(labels)
        for index, pid in enumerate(order):
            if index < warmup:
                continue
            round_number = index // len(labels) - 2
            label = labels[(index % len(labels) + round_number + 2) % len(labels)]
            split = phases(children[pid])
            if split:
                by_label[label].append(split)
    print("| ms, median / p90 | " + " | ".join(PHASES) + " |")
    print("|---|" + "---:|" * len(PHASES))
    for label in labels:
        rows = by_label[label]
        if not rows:
            print(f"| {label} |" + " – |" * len(PHASES))
            continue
        cells = []
        for phase in PHASES:
            values = [row[phase] for row in rows]
            cells.append(f"{statistics.median(values):.3f} / {quantile(values, 0.9):.3f}")
        print(f"| {label} ({len(rows)} runs) | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
