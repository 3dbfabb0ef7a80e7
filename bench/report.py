#!/usr/bin/python3
"""Turns the raw numbers of bench/run (one JSON object a line) into the Markdown report.

    report.py RAW.jsonl > docs/BENCHMARKS.md
"""
import json
import os
import signal
import statistics
import sys

TARGETS = ["direct", "corvane", "tinyproxy", "privoxy"]
PROXIES = ["corvane", "tinyproxy", "privoxy"]
LABEL = {"direct": "direct (nginx)", "corvane": "corvane", "tinyproxy": "tinyproxy",
         "privoxy": "Privoxy", "direct-tls": "direct TLS (nginx)",
         "corvane-tls": "corvane inspecting", "privoxy-tls": "Privoxy inspecting",
         "direct-ka": "direct (nginx keeping connections)", "corvane-ka": "corvane",
         "privoxy-ka": "Privoxy, its keep-alive on"}
TLS_TARGETS = ["direct-tls", "corvane-tls", "privoxy-tls"]
KA_TARGETS = ["direct-ka", "corvane-ka", "privoxy-ka"]

# Growth of a sustained-load series is flagged only past these absolute amounts as well, so that
# a thread or a few descriptors more are not taken for a leak.
GROWTH_SLACK = {"threads": 4, "fds": 64, "rss_kb": 8192}
GROWTH_SHARE = 0.5


def load_raw(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def median_range(values):
    """(median, min, max) of the values, or None for none."""
    values = [v for v in values if v is not None]
    if not values:
        return None
    return statistics.median(values), min(values), max(values)


def fmt(value, digits=0):
    if value is None:
        return "n/a"
    return f"{value:,.{digits}f}"


def fmt_range(mr, digits=0):
    """'median (min-max)', or the median alone when every round gave the same."""
    if mr is None:
        return "n/a"
    med, lo, hi = mr
    if fmt(lo, digits) == fmt(hi, digits):
        return fmt(med, digits)
    return f"{fmt(med, digits)} ({fmt(lo, digits)}–{fmt(hi, digits)})"


def other_load_share(record):
    """Share of all cores that ran processes other than the measured ones and the client.
    Interrupt and softirq time is left out: loopback's network work is largely counted there."""
    sample = record.get("sample") or {}
    machine = sample.get("machine")
    if not machine or not machine.get("total_cpu_s"):
        return None
    ours = sum(g.get("cpu_s", 0) for g in sample.get("groups", {}).values())
    ours += (record.get("load") or {}).get("client_cpu_s", 0)
    if "process_cpu_s" not in machine:
        return None
    return max(0.0, machine["process_cpu_s"] - ours) / machine["total_cpu_s"]


def machine_share(record, key):
    """Share of all cores that went to one kind of machine time (irq_cpu_s, steal_cpu_s)."""
    machine = (record.get("sample") or {}).get("machine") or {}
    if not machine.get("total_cpu_s") or key not in machine:
        return None
    return machine[key] / machine["total_cpu_s"]


def exit_text(status):
    """A shell exit status, with the signal's name when a signal ended the process."""
    if status > 128:
        try:
            return f"{status} ({signal.Signals(status - 128).name})"
        except ValueError:
            pass
    return str(status)


def listen_overflows(record):
    """Connections the kernel dropped at a full listen queue during the measurement."""
    machine = (record.get("sample") or {}).get("machine") or {}
    return machine.get("listen_overflows", 0)


def percent(share):
    return None if share is None else share * 100


def proxy_group(record):
    return ((record.get("sample") or {}).get("groups") or {}).get("proxy")


def cpu_per_10k(record):
    """CPU seconds of the measured process per 10k requests; nginx's for the direct target."""
    groups = (record.get("sample") or {}).get("groups") or {}
    group = groups.get("proxy") or groups.get("origin")
    load = record.get("load") or {}
    count = load.get("all_requests") or load.get("requests")
    if not group or not count:
        return None
    return group["cpu_s"] / count * 10000


def theil_sen_slope(values):
    """Median of the slopes between every pair of samples: a trend that noise does not sway."""
    slopes = [(values[j] - values[i]) / (j - i)
              for i in range(len(values)) for j in range(i + 1, len(values))]
    return statistics.median(slopes) if slopes else 0.0


def growth(series, key):
    """Whether a sustained-load series grows: its robust trend over the series, the first fifth
    set aside as warm-up, must add more than GROWTH_SLACK and more than GROWTH_SHARE of the
    series' median level. None when too short to tell."""
    values = [s[key] for s in series]
    values = values[len(values) // 5:]
    if len(values) < 6:
        return None
    rise = theil_sen_slope(values) * (len(values) - 1)
    return rise > GROWTH_SLACK[key] and rise > GROWTH_SHARE * statistics.median(values)


def ratio_row(name, ours, theirs, target, better_high):
    """A row of the ratio table: the ratio and whether it meets the target."""
    if ours is None or theirs is None or theirs == 0:
        return [name, "n/a", "n/a", "n/a", f"{'≥' if better_high else '≤'} {target}", "n/a"]
    ratio = ours / theirs
    met = ratio >= target if better_high else ratio <= target
    return [name, fmt(ours, 2), fmt(theirs, 2), f"{ratio:.2f}",
            f"{'≥' if better_high else '≤'} {target}", "yes" if met else "**no**"]


def table(header, rows):
    out = ["| " + " | ".join(header) + " |",
           "|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|"]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(out)


class Data:
    def __init__(self, records):
        self.meta = next((r for r in records if r["kind"] == "meta"), {})
        self.records = records

    def of(self, kind, target=None, **load_filter):
        out = []
        for r in self.records:
            if r["kind"] != kind or (target and r.get("target") != target):
                continue
            load = r.get("load") or {}
            if all(load.get(k) == v or r.get(k) == v for k, v in load_filter.items()):
                out.append(r)
        return out

    def rate(self, target, concurrency, path="/1k"):
        return [r for r in self.of("rate", target, concurrency=concurrency)
                if r.get("path") == path and r.get("load")]

    def median_of(self, records, fn):
        mr = median_range([fn(r) for r in records])
        return mr[0] if mr else None


def render(records):
    d = Data(records)
    m = d.meta
    out = ["# Benchmarks", ""]
    if m.get("trial") == "1":
        out += ["> **Trial run.** Short durations on a shared machine while other developers "
                "were compiling: the numbers are noisy and only show that the benchmark works. "
                "Look at the load section before reading anything into them.", ""]
    out += [f"Measured {m.get('date', '?')} with `bench/run`: {m.get('rounds', '?')} rounds that "
            f"interleave the targets, {m.get('duration', '?')} s per requests/s figure after 1 s "
            "of warm-up, sustained load "
            f"{m.get('sustain', '?')} s. Figures are the median over the rounds with min–max in "
            "brackets. Everything runs on loopback: nginx as origin (`keepalive_timeout 0`), "
            "each proxy as a plain forwarder with default settings, and the benchmark's own "
            "load generator (`bench/loadgen.cpp`).", ""]

    out += ["## Machine", "", table(["what", "value"], [
        ["CPU", m.get("cpu", "?")], ["cores", m.get("cores", "?")],
        ["memory", m.get("memory", "?")], ["kernel", m.get("kernel", "?")],
        ["system", m.get("os", "?")], ["corvane", m.get("corvane", "?")],
        ["nginx", m.get("nginx", "?")], ["tinyproxy", m.get("tinyproxy", "?")],
        ["Privoxy", m.get("privoxy", "?")], ["wrk", m.get("wrk", "?")],
        ["compiler", m.get("gxx", "?")], ["descriptor limit (hard)", m.get("fd_limit", "?")],
    ]), ""]

    crashes = d.of("crash")
    if crashes:
        out += ["## Proxies that exited during the run", "",
                "The benchmark records the exit and starts corvane again; figures measured "
                "while it was down show as errors.", "",
                table(["proxy", "exit status", "after the measurement"],
                      [[LABEL.get(c["target"], c["target"]), exit_text(c["status"]), c["after"]]
                       for c in crashes]), ""]

    measured = [r for r in records if r["kind"] in ("rate", "bulk", "sustain")]
    shares = [s for s in (other_load_share(r) for r in measured) if s is not None]
    out += ["## Other load on the machine", ""]
    out.append(f"Load average {m.get('loadavg_start', '?')} at the start, "
               f"{m.get('loadavg_end', '?')} at the end (it counts the benchmark's own "
               "threads too).")
    if shares:
        busy = sum(1 for s in shares if s > 0.2)
        out.append(
            f"CPU used by processes other than the measured ones and the client (user and "
            f"system time of /proc/stat less their own /proc/PID/stat), as a share of all "
            f"cores: median {statistics.median(shares) * 100:.0f} %, highest "
            f"{max(shares) * 100:.0f} %; {busy} of {len(shares)} measurements ran with more "
            "than 20 %.")
    steal = [s for s in (machine_share(r, "steal_cpu_s") for r in measured) if s is not None]
    irq = [s for s in (machine_share(r, "irq_cpu_s") for r in measured) if s is not None]
    if steal and irq:
        out.append(f"Time stolen by the host: median {statistics.median(steal) * 100:.0f} %, "
                   f"highest {max(steal) * 100:.0f} %. Interrupt and softirq time (mostly "
                   f"the benchmark's own loopback traffic): median "
                   f"{statistics.median(irq) * 100:.0f} %.")
    out.append("")

    # Ratios first: they are what the README quotes.
    def med_rps(t, c):
        return d.median_of(d.rate(t, c), lambda r: r["load"]["rps"])

    def med_p99(t, c):
        return d.median_of(d.rate(t, c), lambda r: r["load"]["p99_ms"])

    def med_cpu(t):
        return d.median_of(d.rate(t, 16) + d.rate(t, 64), cpu_per_10k)

    def med_bulk(t, n):
        return d.median_of([r for r in d.of("bulk", t, parallel=n) if r.get("load")],
                           lambda r: r["load"]["mb_per_s"])

    def peak_rss_c64(t, key="max_rss_kb"):
        return d.median_of(d.rate(t, 64), lambda r: (proxy_group(r) or {}).get(key))

    def mib(kb):
        return kb / 1024 if kb else None

    out += ["## Ratios", "", "Medians of this run; the targets are those of the performance "
            "work on corvane.", ""]
    rows = [
        ratio_row("req/s c=16, corvane / Privoxy", med_rps("corvane", 16), med_rps("privoxy", 16), 1.6, True),
        ratio_row("req/s c=64, corvane / Privoxy", med_rps("corvane", 64), med_rps("privoxy", 64), 1.6, True),
        ratio_row("p99 ms c=16, corvane / Privoxy", med_p99("corvane", 16), med_p99("privoxy", 16), 0.6, False),
        ratio_row("p99 ms c=64, corvane / Privoxy", med_p99("corvane", 64), med_p99("privoxy", 64), 0.6, False),
        ratio_row("CPU s per 10k req (c=16, 64), corvane / Privoxy", med_cpu("corvane"), med_cpu("privoxy"), 0.5, False),
        ratio_row("1 x 100 MiB MB/s, corvane / direct", med_bulk("corvane", 1), med_bulk("direct", 1), 0.7, True),
        ratio_row("RSS MiB at c=64, corvane / Privoxy",
                  mib(peak_rss_c64("corvane")), mib(peak_rss_c64("privoxy")), 1.0, False),
        ratio_row("anonymous RSS MiB at c=64 (no mapped libraries), corvane / Privoxy",
                  mib(peak_rss_c64("corvane", "max_anon_kb")),
                  mib(peak_rss_c64("privoxy", "max_anon_kb")), 1.0, False),
    ]
    out += [table(["measure", "corvane", "other", "ratio", "target", "met"], rows), ""]

    def tail_note(t):
        rs = d.rate(t, 64)
        p999 = d.median_of(rs, lambda r: r["load"].get("p999_ms"))
        slow = sum(r["load"].get("over_1s", 0) for r in rs)
        return f"{LABEL[t]} {fmt(p999, 1)} ms ({slow} exchanges of 1 s or more)"

    if d.rate("corvane", 64) and d.rate("privoxy", 64):
        out += ["p99 hides the exchanges whose SYN was dropped at a full listen queue and sent "
                "again a second later; for those look at p99.9 at c=64: "
                f"{tail_note('corvane')}, {tail_note('privoxy')}.", ""]

    out += ["## Small requests: 1 KiB, one connection per request", "",
            "Latency runs from the client's connect() to the last byte of the answer. "
            "\"≥ 1 s\" counts the exchanges (all rounds) that took a second or more: a SYN "
            "that had to be sent again, mostly because the listen queue was full; \"listen "
            "overflows\" is the kernel's count of those drops (TcpExt ListenOverflows, "
            "whole machine, all rounds). CPU is the proxy's own (nginx's for direct) per 10k "
            "requests, warm-up included. Errors are failed connects, resets, early closes and "
            "timeouts over all rounds. Other load: the share of both cores busy with other "
            "processes during the measurement.", ""]
    for c in (1, 16, 64):
        rows = []
        for t in TARGETS:
            rs = d.rate(t, c)
            if not rs:
                continue
            errors = sum(r["load"]["connect_errors"] + r["load"]["resets"] + r["load"]["early_closes"]
                         + r["load"]["timeouts"] + r["load"]["bad_status"] for r in rs)
            slow = sum(r["load"].get("over_1s", 0) for r in rs)
            drops = sum(listen_overflows(r) for r in rs)
            rows.append([LABEL[t],
                         fmt_range(median_range([r["load"]["rps"] for r in rs])),
                         fmt_range(median_range([r["load"]["p50_ms"] for r in rs]), 2),
                         fmt_range(median_range([r["load"]["p99_ms"] for r in rs]), 2),
                         fmt_range(median_range([r["load"].get("p999_ms") for r in rs]), 1),
                         fmt_range(median_range([r["load"]["max_ms"] for r in rs]), 0),
                         slow, drops,
                         fmt_range(median_range([cpu_per_10k(r) for r in rs]), 2),
                         errors,
                         fmt_range(median_range([percent(other_load_share(r)) for r in rs]))])
        out += [f"### Concurrency {c}", "",
                table(["target", "req/s", "p50 ms", "p99 ms", "p99.9 ms", "max ms",
                       "≥ 1 s", "listen overflows", "CPU s / 10k req", "errors",
                       "other load %"], rows), ""]

    rows = []
    for t in TARGETS:
        rs = d.rate(t, 16, "/100k")
        if rs:
            rows.append([LABEL[t], fmt_range(median_range([r["load"]["rps"] for r in rs])),
                         fmt_range(median_range([r["load"]["p99_ms"] for r in rs]), 2),
                         fmt_range(median_range([cpu_per_10k(r) for r in rs]), 2)])
    if rows:
        out += ["## 100 KiB answers at concurrency 16", "",
                table(["target", "req/s", "p99 ms", "CPU s / 10k req"], rows), ""]

    rows = []
    for t in TARGETS:
        one = [r for r in d.of("bulk", t, parallel=1) if r.get("load")]
        four = [r for r in d.of("bulk", t, parallel=4) if r.get("load")]
        if one or four:
            rows.append([LABEL[t],
                         fmt_range(median_range([r["load"]["mb_per_s"] for r in one])),
                         fmt_range(median_range([r["load"]["mb_per_s"] for r in four])),
                         sum(r["load"]["errors"] for r in one + four)])
    out += ["## Bulk: 100 MiB downloads", "", "MB/s are 10^6 bytes of answer body a second; "
            "for 4 in parallel, all four bodies over the time until the last one ended.", "",
            table(["target", "1 download MB/s", "4 in parallel MB/s", "errors"], rows), ""]

    rows = []
    finals = {r["target"]: r for r in d.of("final")}
    for t in PROXIES:
        rs = d.rate(t, 64)
        groups = [proxy_group(r) for r in rs if proxy_group(r)]
        if not groups:
            continue
        final = finals.get(t, {})
        rows.append([LABEL[t], m.get(f"backlog_{t}", "?"), max(g["max_threads"] for g in groups),
                     max(g["max_fds"] for g in groups),
                     fmt(max(g["max_rss_kb"] for g in groups) / 1024, 1),
                     fmt(max(g.get("max_anon_kb", 0) for g in groups) / 1024, 1),
                     fmt(final.get("hwm_kb", 0) / 1024, 1),
                     "yes" if final.get("alive") else "**no**"])
    out += ["## Proxy processes", "", "Highest thread count, descriptor count and resident "
            "size sampled every 0.5 s during the c=64 runs; the anonymous share leaves out "
            "mapped files such as shared libraries. VmHWM is the peak resident size over the "
            "whole run (bulk and sustained load included); after a restart it is that of the "
            "last process.", "",
            table(["proxy", "listen backlog", "threads (c=64)", "descriptors (c=64)",
                   "RSS MiB (c=64)", "of it anonymous MiB", "VmHWM MiB (whole run)",
                   "alive at the end"], rows), ""]

    sustained = d.of("sustain")
    if sustained:
        out += ["## Sustained load at concurrency 64", "",
                "Sampled once a second; min / max / last. Growth is the trend over the series "
                "(the median of the slopes between all pairs of samples, the first fifth set "
                "aside as warm-up) times its length; it is flagged when it adds more than "
                f"{GROWTH_SHARE:.0%} of the median level and more than "
                f"{GROWTH_SLACK['threads']} threads, {GROWTH_SLACK['fds']} descriptors or "
                f"{GROWTH_SLACK['rss_kb'] // 1024} MiB.", ""]
        rows = []
        for r in sustained:
            g = proxy_group(r)
            if not g or not g.get("series"):
                continue
            s = g["series"]

            def mml(key, scale=1.0, digits=0):
                vals = [x[key] / scale for x in s]
                return f"{fmt(min(vals), digits)} / {fmt(max(vals), digits)} / {fmt(vals[-1], digits)}"

            flags = []
            for key, label in (("threads", "threads"), ("fds", "descriptors"), ("rss_kb", "RSS")):
                g_ = growth(s, key)
                if g_ is None:
                    flags.append(f"{label}: too short")
                elif g_:
                    flags.append(f"**{label} grow**")
            load = r["load"] or {}
            errors = sum(load.get(k, 0) for k in ("connect_errors", "resets", "early_closes", "timeouts", "bad_status"))
            rows.append([LABEL[r["target"]], fmt(load.get("rps")), errors,
                         mml("threads"), mml("fds"), mml("rss_kb", 1024, 1),
                         ", ".join(flags) or "flat"])
        out += [table(["proxy", "req/s", "errors", "threads", "descriptors", "RSS MiB",
                       "growth"], rows), ""]

    heads = d.of("head")
    wrks = {r["target"]: r for r in d.of("wrk")}
    if heads:
        out += ["## Answer heads and the wrk cross-check", "",
                "wrk reconnects only after an answer that carries `Connection: close`, and its "
                "latency starts once connect() has finished, so a connection left waiting in a "
                "listen backlog or behind a dropped SYN does not show in it. The figures above "
                "therefore come from `bench/loadgen.cpp`, which closes as soon as Content-Length "
                "bytes have arrived whatever the answer says, and times from connect(). wrk "
                "(1 thread, c=16, one round) is kept for comparison.", ""]
        rows = []
        for h in heads:
            w = wrks.get(h["target"], {})
            rows.append([LABEL[h["target"]], h.get("status", ""), h.get("connection") or "(none)",
                         w.get("rps", "-"), w.get("p99", "-"), w.get("errors") or "-"])
        out += [table(["target", "status line", "Connection line", "wrk req/s c=16",
                       "wrk p99", "wrk errors"], rows), ""]

    out += render_https(d)
    out += render_h2(d)
    out += render_keepalive(d)

    out += ["## How to run", "", "```sh", "bench/run            # as root it installs what it "
            "needs (bench/packages.txt)", "bench/run --corvane build/corvane --rounds 5", "```",
            "", "`bench/run --help` lists the options. The raw numbers of this report are in "
            "`docs/BENCHMARKS.raw.jsonl`.", ""]
    return "\n".join(out)


def render_keepalive(d):
    """The keep-alive rows: each client sends its next request on the same connection."""
    if not d.of("keepalive"):
        return []

    def ka(t, c):
        return [r for r in d.of("keepalive", t, concurrency=c) if r.get("load")]

    def mr(t, c, key, digits=0):
        return fmt_range(median_range([r["load"].get(key) for r in ka(t, c)]), digits)

    def per_connection(t, c):
        shares = [r["load"]["all_requests"] / r["load"]["connections"] for r in ka(t, c)
                  if r["load"].get("connections")]
        return statistics.median(shares) if shares else None

    out = ["## Keep-alive: 1 KiB, connections kept", "",
           "Each client sends its next request on the same connection as soon as the answer's "
           "framing allows it, to an nginx that keeps its connections (`keepalive_timeout "
           "65s`), as browsers and servers do. Privoxy runs with `keep-alive-timeout 300` and "
           "`connection-sharing 1`. Latency runs from a request's first byte (or from connect() "
           "for a connection's first). \"requests per connection\" is all the requests of the "
           "measurement over the connections the client opened; \"stale\" counts kept "
           "connections the other side had closed when the next request went.", ""]
    rows = []
    for t in KA_TARGETS:
        if not ka(t, 16) and not ka(t, 64):
            continue
        errors = sum(r["load"]["connect_errors"] + r["load"]["resets"] + r["load"]["early_closes"]
                     + r["load"]["timeouts"] + r["load"]["bad_status"]
                     for r in ka(t, 16) + ka(t, 64))
        stale = sum(r["load"].get("stale_closes", 0) for r in ka(t, 16) + ka(t, 64))
        cpu = d.median_of(ka(t, 16) + ka(t, 64), cpu_per_10k)
        rows.append([LABEL[t], mr(t, 16, "rps"), mr(t, 64, "rps"), mr(t, 16, "p99_ms", 2),
                     mr(t, 64, "p99_ms", 2), fmt(per_connection(t, 64)), fmt(cpu, 2),
                     f"{errors} / {stale}"])
    out += [table(["target", "req/s c=16", "req/s c=64", "p99 ms c=16", "p99 ms c=64",
                   "requests per connection c=64", "CPU s / 10k", "errors / stale"], rows), ""]

    def med(t, c):
        return d.median_of(ka(t, c), lambda r: r["load"]["rps"])
    out += [table(["measure", "corvane", "Privoxy", "ratio", "target", "met"], [
        ratio_row("keep-alive requests/s c=16", med("corvane-ka", 16), med("privoxy-ka", 16), 2,
                  True),
        ratio_row("keep-alive requests/s c=64", med("corvane-ka", 64), med("privoxy-ka", 64), 2,
                  True),
    ]), ""]
    return out


def protocol(records):
    """Which protocol the h2 rows' connections spoke, from the handshakes of all rounds."""
    h2 = sum(r["load"].get("h2_connections", 0) for r in records)
    h1 = sum(r["load"].get("h1_connections", 0) for r in records)
    if not h1:
        return "h2" if h2 else "n/a"
    if not h2:
        return "http/1.1 (fallback)"
    return f"mixed: {h1 / (h1 + h2):.0%} http/1.1"


def render_h2(d):
    """The h2 rows: connections offering h2, many streams in flight on each."""
    if not d.of("h2"):
        return []
    out = ["## HTTPS over h2: 1 KiB, many streams on each connection", "",
           "The load generator offers h2 and http/1.1 by ALPN, as browsers do, and keeps 16 "
           "streams in flight on each connection, a new one as soon as one ends; latency runs "
           "from a stream's submission (from connect() for a connection's first 16). nginx "
           "offers h2 and keeps its h2 connections; corvane and Privoxy inspect, as in the "
           "HTTPS rows. A connection whose peer chooses http/1.1 (\"fallback\") carries one "
           "request at a time, kept alive where the peer allows it, so such a row has only as "
           "many requests in flight as connections. CPU is the proxy's (nginx's for direct) per "
           "10k requests; \"requests per connection\" is all the requests over the connections "
           "opened; \"refused\" counts streams the server refused after its GOAWAY (or kept "
           "HTTP/1.1 connections found closed), asked again on another.", ""]
    rows = []
    for t in TLS_TARGETS:
        shapes = {(r["load"]["concurrency"], r["load"].get("streams", 1))
                  for r in d.of("h2", t) if r.get("load")}
        for c, m in sorted(shapes):
            rs = [r for r in d.of("h2", t, concurrency=c, streams=m) if r.get("load")]
            errors = sum(r["load"]["connect_errors"] + r["load"]["resets"]
                         + r["load"]["early_closes"] + r["load"]["timeouts"]
                         + r["load"]["bad_status"] for r in rs)
            refused = sum(r["load"].get("stale_closes", 0) for r in rs)
            per_conn = median_range([r["load"]["all_requests"] / r["load"]["connections"]
                                     for r in rs if r["load"].get("connections")])
            rows.append([LABEL[t].replace("direct TLS", "direct h2"),
                         f"{c} × {m}", protocol(rs),
                         fmt_range(median_range([r["load"]["rps"] for r in rs])),
                         fmt_range(median_range([r["load"]["p50_ms"] for r in rs]), 2),
                         fmt_range(median_range([r["load"]["p99_ms"] for r in rs]), 2),
                         fmt_range(median_range([cpu_per_10k(r) for r in rs]), 2),
                         fmt(per_conn[0] if per_conn else None), f"{errors} / {refused}"])
    out += [table(["target", "connections × streams", "protocol", "req/s", "p50 ms", "p99 ms",
                   "CPU s / 10k", "requests per connection", "errors / refused"], rows), ""]
    return out


def render_https(d):
    """The HTTPS rows: a new TLS connection per request, the session resumed as browsers do."""
    if not d.of("tls"):
        return []

    def tls(t, c):
        return [r for r in d.of("tls", t, concurrency=c) if r.get("load")]

    def med(t, c, key):
        return d.median_of(tls(t, c), lambda r: r["load"].get(key))

    def mr(t, c, key, digits=0):
        return fmt_range(median_range([r["load"].get(key) for r in tls(t, c)]), digits)

    def cpu(t):
        return d.median_of(tls(t, 16) + tls(t, 64), cpu_per_10k)

    def resumed(t):
        shares = [r["load"]["resumed"] / r["load"]["handshakes"] for r in tls(t, 16) + tls(t, 64)
                  if r["load"].get("handshakes")]
        return statistics.median(shares) * 100 if shares else None

    def first_extra(t):
        extra = [r["load"]["first_ms"] - r["load"]["next_ms"] for r in d.of("first", t)
                 if (r.get("load") or {}).get("first_ms") is not None]
        return median_range(extra)

    out = ["## HTTPS", "",
           "A new TLS connection per request for 1 KiB from nginx over TLS; the load generator "
           "keeps the session it was last given and offers it again, as browsers do. corvane "
           "and Privoxy inspect (a certificate of their own to the client, the origin verified "
           "against the benchmark's authority); direct is TLS to nginx itself. CPU is the "
           "proxy's (nginx's for direct) per 10k requests. \"first request\" is the time of "
           "one exchange with a host not seen before less that of the next one to it.", ""]
    rows = []
    for t in TLS_TARGETS:
        fe = first_extra(t)
        rows.append([LABEL[t], mr(t, 16, "rps"), mr(t, 64, "rps"), mr(t, 16, "p99_ms", 1),
                     mr(t, 64, "p99_ms", 1), fmt(cpu(t), 2), fmt(resumed(t)),
                     fmt_range(fe, 1) if fe else "n/a"])
    out += [table(["target", "req/s c=16", "req/s c=64", "p99 ms c=16", "p99 ms c=64",
                   "CPU s / 10k", "resumed %", "first request +ms"], rows), ""]
    ours = [med("corvane-tls", c, "rps") for c in (16, 64)]
    theirs = [med("privoxy-tls", c, "rps") for c in (16, 64)]
    fe = first_extra("corvane-tls")
    out += [table(["measure", "corvane", "Privoxy", "ratio", "target", "met"], [
        ratio_row("HTTPS requests/s c=16", ours[0], theirs[0], 2, True),
        ratio_row("HTTPS requests/s c=64", ours[1], theirs[1], 2, True),
        ratio_row("HTTPS CPU s / 10k requests", cpu("corvane-tls"), cpu("privoxy-tls"), 0.5,
                  False),
    ]), ""]
    if fe:
        out += [f"corvane's first request to a new host costs {fe[0]:.1f} ms more than the next "
                f"(median; target at most 5 ms: {'met' if fe[0] <= 5 else '**not met**'}).", ""]
    return out


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: report.py RAW.jsonl")
    sys.stdout.write(render(load_raw(sys.argv[1])))
    # Measurements recorded by hand (an A/B of two builds, say) and the page loads of
    # bench/pageload, a run of its own, stay with every later report.
    for kept in (".notes.md", ".pageload.md"):
        path = sys.argv[1].replace(".raw.jsonl", kept)
        if path != sys.argv[1] and os.path.exists(path):
            with open(path) as f:
                sys.stdout.write("\n" + f.read())


if __name__ == "__main__":
    main()
