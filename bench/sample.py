#!/usr/bin/python3
"""Samples processes and the whole machine from /proc while a measurement runs.

    sample.py --group proxy=PID[,PID] --group origin=PID [--interval S] [--series] --out FILE

Each PID stands for itself and its child processes (nginx's workers). Runs until SIGTERM or
SIGINT, then writes one JSON object to FILE: per group the CPU seconds used in the window, the
highest thread count, descriptor count and resident size seen, the peak resident size (VmHWM) at
the end, and with --series one sample a second; for the machine the CPU time of all cores by kind, the
load average at both ends, and the connections dropped at full listen queues.
"""
import argparse
import json
import os
import signal
import time

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def children_of(pids):
    """The pids and every process whose parent is one of them, one level down."""
    wanted = set(pids)
    found = set(pids)
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        stat = read_text(f"/proc/{name}/stat")
        if stat is None:
            continue
        fields = stat[stat.rfind(")") + 2:].split()
        if int(fields[1]) in wanted:
            found.add(int(name))
    return sorted(found)


def proc_cpu_ticks(pid):
    stat = read_text(f"/proc/{pid}/stat")
    if stat is None:
        return None
    fields = stat[stat.rfind(")") + 2:].split()
    # utime and stime are fields 14 and 15 of the whole line; here fields start at field 3.
    return int(fields[11]) + int(fields[12])


def proc_status(pid):
    text = read_text(f"/proc/{pid}/status")
    out = {"threads": 0, "rss_kb": 0, "anon_kb": 0, "hwm_kb": 0}
    if text is None:
        return None
    for line in text.splitlines():
        if line.startswith("Threads:"):
            out["threads"] = int(line.split()[1])
        elif line.startswith("VmRSS:"):
            out["rss_kb"] = int(line.split()[1])
        elif line.startswith("RssAnon:"):
            out["anon_kb"] = int(line.split()[1])
        elif line.startswith("VmHWM:"):
            out["hwm_kb"] = int(line.split()[1])
    return out


def proc_fds(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return 0


def machine_ticks():
    """Ticks of all cores: total, spent in processes (user, nice, system), in interrupt and
    softirq handling (where much of loopback's network work is counted), and stolen by the host."""
    with open("/proc/stat") as f:
        fields = f.readline().split()[1:]
    user, nice, system, idle, iowait, irq, softirq, steal = (int(v) for v in fields[:8])
    total = user + nice + system + idle + iowait + irq + softirq + steal
    return {"total": total, "process": user + nice + system, "irq": irq + softirq,
            "steal": steal}


def listen_counters():
    """The kernel's counts of connections dropped at a full listen queue (TcpExt)."""
    lines = read_text("/proc/net/netstat").splitlines()
    for names, values in zip(lines[::2], lines[1::2]):
        if names.startswith("TcpExt:"):
            table = dict(zip(names.split()[1:], (int(v) for v in values.split()[1:])))
            return table.get("ListenOverflows", 0), table.get("ListenDrops", 0)
    return 0, 0


def loadavg():
    return read_text("/proc/loadavg").split()[:3]


class Group:
    def __init__(self, name, pids):
        self.name = name
        self.pids = children_of(pids)
        self.last_ticks = {}  # a process that ends during the window keeps its last reading
        self.start_ticks = self.ticks()
        self.max_threads = 0
        self.max_fds = 0
        self.max_rss_kb = 0
        self.max_anon_kb = 0
        self.series = []

    def ticks(self):
        for pid in self.pids:
            t = proc_cpu_ticks(pid)
            if t is not None:
                self.last_ticks[pid] = t
        return sum(self.last_ticks.values())

    def snapshot(self):
        threads = fds = rss = anon = hwm = 0
        for pid in self.pids:
            status = proc_status(pid)
            if status is None:
                continue
            threads += status["threads"]
            rss += status["rss_kb"]
            anon += status["anon_kb"]
            hwm += status["hwm_kb"]
            fds += proc_fds(pid)
        self.ticks()
        self.max_threads = max(self.max_threads, threads)
        self.max_fds = max(self.max_fds, fds)
        self.max_rss_kb = max(self.max_rss_kb, rss)
        self.max_anon_kb = max(self.max_anon_kb, anon)
        return {"threads": threads, "fds": fds, "rss_kb": rss, "anon_kb": anon, "hwm_kb": hwm}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--group", action="append", default=[], help="NAME=PID[,PID]")
    parser.add_argument("--interval", type=float, default=0.5)
    parser.add_argument("--series", action="store_true")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    stop = {"now": False}

    def on_signal(signum, frame):
        stop["now"] = True

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    started = time.monotonic()
    load_start = loadavg()
    m0 = machine_ticks()
    overflows0, drops0 = listen_counters()
    groups = []
    for item in args.group:
        name, _, pids = item.partition("=")
        groups.append(Group(name, [int(p) for p in pids.split(",") if p]))

    while not stop["now"]:
        now = time.monotonic() - started
        for g in groups:
            snap = g.snapshot()
            if args.series:
                snap["t"] = round(now, 2)
                g.series.append(snap)
        deadline = time.monotonic() + args.interval
        while not stop["now"] and time.monotonic() < deadline:
            time.sleep(0.05)

    m1 = machine_ticks()
    overflows1, drops1 = listen_counters()
    result = {
        "window_s": round(time.monotonic() - started, 3),
        "machine": {
            "cores": os.cpu_count(),
            "total_cpu_s": (m1["total"] - m0["total"]) / CLOCK_TICKS,
            "process_cpu_s": (m1["process"] - m0["process"]) / CLOCK_TICKS,
            "irq_cpu_s": (m1["irq"] - m0["irq"]) / CLOCK_TICKS,
            "steal_cpu_s": (m1["steal"] - m0["steal"]) / CLOCK_TICKS,
            "loadavg_start": load_start,
            "loadavg_end": loadavg(),
            "listen_overflows": overflows1 - overflows0,
            "listen_drops": drops1 - drops0,
        },
        "groups": {},
    }
    for g in groups:
        final = g.snapshot()
        entry = {
            "pids": g.pids,
            "cpu_s": (g.ticks() - g.start_ticks) / CLOCK_TICKS,
            "max_threads": g.max_threads,
            "max_fds": g.max_fds,
            "max_rss_kb": g.max_rss_kb,
            "max_anon_kb": g.max_anon_kb,
            "hwm_kb": final["hwm_kb"],
        }
        if args.series:
            entry["series"] = g.series
        result["groups"][g.name] = entry
    with open(args.out, "w") as f:
        json.dump(result, f)


if __name__ == "__main__":
    main()
