"""Helper of bench/pageload, run with Debian's /usr/bin/python3 (which has python3-websockets).

  pageload.py content DIR               the two pages and their resources, in DIR
  pageload.py load --url URL ...        one cold load in a new Chromium; one JSON line
  pageload.py report RAW                the Markdown section of docs/BENCHMARKS.md
"""
import argparse
import asyncio
import json
import os
import random
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import time
import urllib.request
import zlib

HOSTS = ("a.bench.test", "b.bench.test", "c.bench.test")
# What each page loads besides itself: the load counts only when every one of them arrived.
PAGES = {"one": 60, "three": 60}


# --- content -------------------------------------------------------------------------------------

def png(width, height, rng):
    """A PNG of random pixels (incompressible, so its size is what it says)."""
    raw = b"".join(b"\x00" + bytes(rng.getrandbits(8) for _ in range(width * 3))
                   for _ in range(height))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 1))
            + chunk(b"IEND", b""))


def write_content(root):
    """one.html: 60 images of about 2.5 KB from its own host. three.html: from each of the three
    hosts 16 images, 2 style sheets and 2 deferred scripts, named scheme-relative so that the page
    over https loads them over https."""
    rng = random.Random(25)
    os.makedirs(os.path.join(root, "r"), exist_ok=True)
    imgs = []
    for i in range(60):
        name = "r/i%02d.png" % i
        with open(os.path.join(root, name), "wb") as f:
            f.write(png(28, 28, rng))
        imgs.append('<img src="/%s" width="28" height="28" alt="">' % name)
    with open(os.path.join(root, "one.html"), "w") as f:
        f.write("<!doctype html><title>one host</title>\n%s\n" % "\n".join(imgs))
    head, body = [], []
    for h, host in enumerate(HOSTS):
        for k in range(2):
            css = "r/s%d%d.css" % (h, k)
            with open(os.path.join(root, css), "w") as f:
                f.write("".join(".c%d-%d-%d{margin:%dpx}\n" % (h, k, n, n % 7) for n in range(120)))
            head.append('<link rel="stylesheet" href="//%s/%s">' % (host, css))
            js = "r/j%d%d.js" % (h, k)
            with open(os.path.join(root, js), "w") as f:
                f.write("".join("var v%d_%d_%d=%d;\n" % (h, k, n, n) for n in range(200)))
            head.append('<script defer src="//%s/%s"></script>' % (host, js))
        for i in range(16):
            body.append('<img src="//%s/r/i%02d.png" width="28" height="28" alt="">'
                        % (host, h * 16 + i))
    with open(os.path.join(root, "three.html"), "w") as f:
        f.write("<!doctype html><title>three hosts</title>\n%s\n%s\n" % ("\n".join(head),
                                                                        "\n".join(body)))


# --- one load ------------------------------------------------------------------------------------

def chromium_args(chromium, profile, proxy, resolve):
    args = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
            "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
            "--disable-extensions", "--disable-features=HttpsUpgrades,MediaRouter",
            "--remote-debugging-port=0", "--user-data-dir=" + os.path.join(profile, "data"),
            "--host-resolver-rules=" + resolve]
    if proxy:
        args.append("--proxy-server=http://" + proxy)
    args.append("about:blank")
    return args


def devtools_page_url(profile, timeout):
    """The page target's WebSocket address, once the new browser has written its port."""
    port_file = os.path.join(profile, "data", "DevToolsActivePort")
    deadline = time.monotonic() + timeout
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    while time.monotonic() < deadline:
        try:
            with open(port_file) as f:
                port = int(f.readline())
            with opener.open("http://127.0.0.1:%d/json/list" % port, timeout=2) as r:
                for target in json.load(r):
                    if target.get("type") == "page":
                        return target["webSocketDebuggerUrl"]
        except (OSError, ValueError):
            pass
        time.sleep(0.05)
    raise TimeoutError("Chromium did not open its DevTools port")


READ_TIMING = """JSON.stringify((() => {
  const nav = performance.getEntriesByType('navigation')[0];
  const res = performance.getEntriesByType('resource');
  const median = a => a.length ? a.sort((x, y) => x - y)[Math.floor(a.length / 2)] : 0;
  return {load: nav ? nav.loadEventEnd : 0, status: nav ? nav.responseStatus : 0,
          resources: res.length,
          wait: median(res.map(r => r.responseStart - r.requestStart)),
          receive: median(res.map(r => r.responseEnd - r.responseStart)),
          slow: res.filter(r => r.responseEnd - r.responseStart > 30).length,
          connects: res.concat(nav ? [nav] : []).filter(r => r.connectEnd > r.connectStart).length,
          protocols: [...new Set([nav ? nav.nextHopProtocol : '']
                                 .concat(res.map(r => r.nextHopProtocol)))].sort()};
})())"""


async def navigate(ws_url, url, timeout):
    """Loads url in the page and returns its timing, with the statuses of every answer the
    page received (from the Network domain: cross-origin timings carry no status)."""
    import websockets
    statuses, failed = [], []
    async with websockets.connect(ws_url, max_size=None, ping_interval=None) as ws:
        ids = iter(range(1, 1 << 30))
        loaded = asyncio.Event()

        def on_event(msg):
            method = msg.get("method")
            if method == "Network.responseReceived":
                statuses.append(msg["params"]["response"]["status"])
            elif method == "Network.loadingFailed":
                failed.append(msg["params"].get("errorText", "?"))
            elif method == "Page.loadEventFired":
                loaded.set()

        async def call(method, params=None):
            n = next(ids)
            await ws.send(json.dumps({"id": n, "method": method, "params": params or {}}))
            while True:
                msg = json.loads(await ws.recv())
                if msg.get("id") == n:
                    if "error" in msg:
                        raise RuntimeError("%s: %s" % (method, msg["error"]))
                    return msg.get("result", {})
                on_event(msg)

        await call("Page.enable")
        await call("Network.enable")
        await call("Network.setCacheDisabled", {"cacheDisabled": True})
        await call("Page.navigate", {"url": url})
        while not loaded.is_set():
            on_event(json.loads(await asyncio.wait_for(ws.recv(), timeout)))
        while True:  # loadEventEnd is set once the load event's handlers have run
            got = await call("Runtime.evaluate", {"expression": READ_TIMING, "returnByValue": True})
            timing = json.loads(got["result"]["value"])
            if timing["load"] > 0:
                break
            await asyncio.sleep(0.01)
    timing["ok"] = sum(1 for s in statuses if s == 200) - 1  # the page itself is one
    timing["failed"] = failed
    return timing


def one_load(a):
    profile = a.profile
    os.makedirs(os.path.join(profile, "data"), exist_ok=True)
    if a.nssdb:  # the authorities the browser trusts, as certutil registered them
        shutil.copytree(a.nssdb, os.path.join(profile, ".pki", "nssdb"))
    env = dict(os.environ, HOME=profile)  # its NSS database is $HOME/.pki/nssdb
    for k in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "no_proxy"):
        env.pop(k, None)
    browser = subprocess.Popen(chromium_args(a.chromium, profile, a.proxy, a.resolve), env=env,
                               stdout=subprocess.DEVNULL, stderr=open(a.log, "ab"),
                               start_new_session=True)
    result = {"ok": False}
    try:
        ws_url = devtools_page_url(profile, 60)
        timing = asyncio.run(asyncio.wait_for(navigate(ws_url, a.url, a.timeout), a.timeout + 5))
        result = {"ok": timing["status"] == 200 and timing["ok"] == a.expect
                  and not timing["failed"],
                  "load_ms": round(timing["load"], 1), "resources": timing["resources"],
                  "resources_ok": timing["ok"], "protocols": timing["protocols"],
                  "wait_ms": round(timing["wait"], 1), "receive_ms": round(timing["receive"], 1),
                  "browser_connections": timing["connects"], "slow_receives": timing["slow"]}
        if timing["failed"]:
            result["failed"] = timing["failed"][:5]
    except Exception as e:  # noqa: BLE001 - any failure is one failed load, reported as such
        result["error"] = "%s: %s" % (type(e).__name__, e)
    finally:
        try:
            os.killpg(browser.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        browser.wait()
        shutil.rmtree(profile, ignore_errors=True)
    print(json.dumps(result))
    return 0 if result["ok"] else 1


# --- report --------------------------------------------------------------------------------------

# Rows in the order of the table: (row, label).
ROWS = [
    ("direct-h2", "https direct (h2)"),
    ("corvane-tunnel", "https through Corvane, blind tunnel"),
    ("corvane-inspect", "https through Corvane, inspecting"),
    ("privoxy-inspect", "https through Privoxy, inspecting"),
    ("privoxy-inspect-ka", "https through Privoxy, inspecting, its keep-alive on"),
    ("direct-http", "http direct (HTTP/1.1)"),
    ("corvane-http", "http through Corvane"),
    ("privoxy-http", "http through Privoxy"),
    ("privoxy-http-ka", "http through Privoxy, its keep-alive on"),
]


def median_range(values):
    if not values:
        return None
    return statistics.median(values), min(values), max(values)


def seconds(mr):
    if mr is None:
        return "–"
    return "%.2f s (%.2f–%.2f)" % (mr[0] / 1000, mr[1] / 1000, mr[2] / 1000)


def connections(mr):
    if mr is None:
        return "–"
    if mr[1] == mr[2]:
        return "%g" % mr[0]
    return "%g (%g–%g)" % mr


def summarize(records):
    """{(page, rtt, row): {"load": median_range, "conns": median_range, "failed": n}}"""
    out = {}
    for r in records:
        if r.get("kind") != "load":
            continue
        cell = out.setdefault((r["page"], r["rtt"], r["row"]), {"loads": [], "conns": [],
                                                                "failed": 0})
        if r["ok"]:
            cell["loads"].append(r["load_ms"])
            cell["conns"].append(r["origin_connections"])
        else:
            cell["failed"] += 1
    return {k: {"load": median_range(v["loads"]), "conns": median_range(v["conns"]),
                "failed": v["failed"], "n": len(v["loads"])} for k, v in out.items()}


def target_lines(s, rtts, pages):
    """The page-load targets, each with its figures, per page and round trip."""
    lines = []

    def med(page, rtt, row):
        cell = s.get((page, rtt, row))
        return cell["load"][0] if cell and cell["load"] else None

    for page in pages:
        for rtt in rtts:
            ins, h2 = med(page, rtt, "corvane-inspect"), med(page, rtt, "direct-h2")
            pv = [v for v in (med(page, rtt, "privoxy-inspect"),
                              med(page, rtt, "privoxy-inspect-ka")) if v is not None]
            # Every Privoxy row, plain http ones too.
            every = [v for v in (med(page, rtt, r) for r, _ in ROWS if r.startswith("privoxy"))
                     if v is not None]
            plain, direct = med(page, rtt, "corvane-http"), med(page, rtt, "direct-http")
            where = "%s, %d ms" % (PAGE_NAMES.get(page, page), rtt)
            if ins and h2:
                lines.append("| %s | inspecting ≤ 1.2 x direct h2 | %.2f x | %s |"
                             % (where, ins / h2, "met" if ins <= 1.2 * h2 else "missed"))
            if ins and pv:
                lines.append("| %s | inspecting faster than Privoxy's best inspecting | %.2f x |"
                             " %s |" % (where, ins / min(pv), "met" if ins < min(pv) else "missed"))
            if ins and every:
                lines.append("| %s | inspecting faster than every Privoxy row | %.2f x | %s |"
                             % (where, ins / min(every), "met" if ins < min(every) else "missed"))
            if plain and direct:
                met = "met" if plain <= 1.1 * direct else "missed"
                lines.append("| %s | plain http ≤ 1.1 x direct | %.2f x | %s |"
                             % (where, plain / direct, met))
    return lines


PAGE_NAMES = {"one": "60 images, one host", "three": "20 resources from each of three hosts"}


def render(records):
    meta = next((r for r in records if r.get("kind") == "meta"), {})
    s = summarize(records)
    rtts = sorted({k[1] for k in s})
    pages = [p for p in PAGES if any(k[0] == p for k in s)]
    out = ["## Page loads on an emulated network", ""]
    if meta.get("trial") == "1":
        out += ["**Trial run:** %s" % meta.get("trial_note", "shorter than a full run."), ""]
    out += [
        "Measured %s with `bench/pageload` (corvane %s) on %s, %s cores, load average %s at the "
        "start and %s at the end (other engineers build on this machine: figures are noisy, and "
        "medians are what to compare). Chromium %s, headless, loads each page %s times per row "
        "(cold: a new browser with a new profile and an empty cache, a proxy started afresh, so "
        "no connection survives from the load before); the rows are interleaved. The time is "
        "the page's `loadEventEnd` from the Navigation Timing entry read back over the DevTools "
        "protocol (navigation start to the end of the load event); a load counts only when the "
        "page and every one of its 60 resources came back 200. Origin connections are the "
        "distinct connection numbers in nginx's access log during the load."
        % (meta.get("date", "?"), meta.get("corvane", "?"), meta.get("cpu", "?"),
           meta.get("cores", "?"), meta.get("loadavg_start", "?"), meta.get("loadavg_end", "?"),
           meta.get("chromium", "?"), meta.get("loads", "?")),
        "",
        "The network: the browser and the proxies in one network namespace, nginx %s in another "
        "(HTTP/1.1 keep-alive on port 80; TLS 1.3 with h2 on 443, 1.2 offered as well for Privoxy, "
        "certificate from an authority the script makes, which the browser, corvane and Privoxy "
        "trust), the three host names on "
        "three addresses of the origin. Between the namespaces every packet waits half the round "
        "trip each way (`bench/netdelay`, a TUN pair in place of netem, which this kernel lacks); "
        "nothing is added between browser and proxy. Privoxy %s: plain as a forwarder with no "
        "actions, inspecting with `+https-inspection` on every site; \"its keep-alive on\" adds "
        "`keep-alive-timeout 300` and `connection-sharing 1`, without them it closes every "
        "connection after one request. Corvane runs with default settings but a port of its own, "
        "inspection on for the inspecting row."
        % (meta.get("nginx", "?"), meta.get("privoxy", "?")),
        "",
    ]
    for page in pages:
        out += ["### %s" % PAGE_NAMES[page], ""]
        header = "| route |" + "".join(" %d ms RTT |" % t for t in rtts) + \
            "".join(" origin connections, %d ms |" % t for t in rtts)
        out += [header, "|---|" + "---:|" * (2 * len(rtts))]
        for row, label in ROWS:
            cells = [s.get((page, t, row)) for t in rtts]
            if not any(cells):
                continue
            times, conns = [], []
            for c in cells:
                if c is None:
                    times.append("–")
                    conns.append("–")
                    continue
                failed = " (%d failed)" % c["failed"] if c["failed"] else ""
                times.append(seconds(c["load"]) + failed)
                conns.append(connections(c["conns"]))
            out.append("| %s | %s | %s |" % (label, " | ".join(times), " | ".join(conns)))
        out.append("")
    diag = {}
    for r in records:
        if r.get("kind") == "load" and r.get("ok") and "wait_ms" in r:
            cell = diag.setdefault((r["page"], r["rtt"], r["row"]), ([], [], [], []))
            cell[0].append(r["wait_ms"])
            cell[1].append(r["receive_ms"])
            cell[2].append(r["browser_connections"])
            cell[3].append(r.get("slow_receives", 0))
    if diag:
        out += ["### Where the time goes", "",
                "Per load, the median over its resources of the wait for the first byte of the "
                "answer once the request was sent (`responseStart - requestStart`) and of the "
                "time from that first byte to the last (`responseEnd - responseStart`), the "
                "connections the browser opened (to the origin, or to the proxy) and the "
                "resources whose last byte came more than 30 ms after their first; the table "
                "gives the median over the loads (times in ms).", ""]
        out += ["| page | route |" + "".join(" wait, receive, connections, slow at %d ms |" % t
                                             for t in rtts), "|---|---|" + "---:|" * len(rtts)]
        for page in pages:
            for row, label in ROWS:
                cells = [diag.get((page, t, row)) for t in rtts]
                if not any(cells):
                    continue
                out.append("| %s | %s | %s |" % (PAGE_NAMES[page], label, " | ".join(
                    "–" if c is None else "%.0f, %.0f, %g, %g" % tuple(statistics.median(v)
                                                                  for v in c)
                    for c in cells)))
        out.append("")
    protocols = {}
    for r in records:
        if r.get("kind") == "load" and r.get("ok"):
            protocols.setdefault(r["row"], set()).update(
                p for p in r.get("origin_protocols", "").split(",") if p)
    out += ["HTTP and TLS versions at the origin (nginx's log): " + "; ".join(
        "%s %s" % (label, ", ".join(sorted(protocols[row]))) for row, label in ROWS
        if row in protocols) + ".", ""]
    lines = target_lines(s, rtts, pages)
    if lines:
        out += ["### Targets", "", "| page, RTT | target | measured | |", "|---|---|---:|---|"]
        out += lines + [""]
    return "\n".join(out)


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="cmd", required=True)
    c = sub.add_parser("content")
    c.add_argument("dir")
    ld = sub.add_parser("load")
    ld.add_argument("--url", required=True)
    ld.add_argument("--proxy", default="")
    ld.add_argument("--resolve", required=True)
    ld.add_argument("--expect", type=int, required=True)
    ld.add_argument("--profile", required=True)
    ld.add_argument("--chromium", default="/usr/bin/chromium")
    ld.add_argument("--nssdb", default="")
    ld.add_argument("--timeout", type=float, default=60)
    ld.add_argument("--log", default=os.devnull)
    rp = sub.add_parser("report")
    rp.add_argument("raw")
    a = p.parse_args()
    if a.cmd == "content":
        write_content(a.dir)
        return 0
    if a.cmd == "load":
        return one_load(a)
    with open(a.raw) as f:
        sys.stdout.write(render([json.loads(line) for line in f if line.strip()]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
