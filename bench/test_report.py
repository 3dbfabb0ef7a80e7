"""Tests of the report's arithmetic and of the report built from a small set of raw numbers."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report  # noqa: E402


def series(values, key="fds"):
    return [{key: v} for v in values]


def h2(target, rnd, connections, rps, h2_connections, h1_connections):
    r = rate(target, connections, rps, 2.0, cpu_s=1.0, requests=rps * 10)
    r.update(kind="h2", round=rnd)
    r["load"].update(streams=16, connections=h2_connections + h1_connections,
                     h2_connections=h2_connections, h1_connections=h1_connections,
                     stale_closes=1)
    return r


def rate(target, concurrency, rps, p99, cpu_s, requests, rss_kb=4096, busy=1.0, total=4.0,
         client_cpu=0.5, path="/1k"):
    groups = {"origin": {"cpu_s": 0.2, "max_threads": 3, "max_fds": 10, "max_rss_kb": 9000,
                         "hwm_kb": 9000}}
    if target != "direct":
        groups["proxy"] = {"cpu_s": cpu_s, "max_threads": 10, "max_fds": 20,
                           "max_rss_kb": rss_kb, "max_anon_kb": rss_kb // 2,
                           "hwm_kb": rss_kb}
    return {"kind": "rate", "target": target, "round": 1, "path": path,
            "load": {"concurrency": concurrency, "rps": rps, "requests": requests,
                     "all_requests": requests, "p50_ms": 1.0, "p99_ms": p99, "p999_ms": 2.0,
                     "max_ms": 3.0, "over_1s": 0, "connect_errors": 0, "resets": 0,
                     "early_closes": 0, "timeouts": 0, "bad_status": 0,
                     "client_cpu_s": client_cpu},
            "sample": {"machine": {"process_cpu_s": busy, "total_cpu_s": total,
                                   "irq_cpu_s": 0.1, "steal_cpu_s": 0.0,
                                   "listen_overflows": 0},
                       "groups": groups}}


class Arithmetic(unittest.TestCase):
    def test_median_range_and_format(self):
        self.assertEqual(report.median_range([3, 1, 2, None]), (2, 1, 3))
        self.assertIsNone(report.median_range([None]))
        self.assertEqual(report.fmt_range((2, 1, 3)), "2 (1–3)")
        self.assertEqual(report.fmt_range((2.0, 2.0, 2.0), 1), "2.0")
        self.assertEqual(report.fmt_range(None), "n/a")

    def test_other_load_leaves_out_measured_processes_and_client(self):
        r = rate("corvane", 16, 1000, 1.0, cpu_s=1.0, requests=1000, busy=2.2, total=4.0,
                 client_cpu=0.4)
        # 2.2 busy - (1.0 proxy + 0.2 origin + 0.4 client) = 0.6 of 4.0
        self.assertAlmostEqual(report.other_load_share(r), 0.15)
        quiet = rate("corvane", 16, 1000, 1.0, cpu_s=1.0, requests=1000, busy=1.0)
        self.assertEqual(report.other_load_share(quiet), 0.0)

    def test_cpu_per_10k_prefers_the_proxy_and_counts_all_requests(self):
        r = rate("corvane", 16, 1000, 1.0, cpu_s=0.5, requests=2000)
        self.assertAlmostEqual(report.cpu_per_10k(r), 2.5)
        d = rate("direct", 16, 1000, 1.0, cpu_s=0.5, requests=2000)
        self.assertAlmostEqual(report.cpu_per_10k(d), 1.0)  # nginx's 0.2 s

    def test_growth(self):
        self.assertFalse(report.growth(series([100] * 30), "fds"))
        self.assertTrue(report.growth(series(range(100, 4000, 100)), "fds"))
        # A climb during warm-up that then stays level is no growth.
        self.assertFalse(report.growth(series([10, 500, 900] + [1000] * 27), "fds"))
        # Small absolute changes stay under the slack even when the factor is large.
        self.assertFalse(report.growth(series([2] * 10 + [5] * 20, "threads"), "threads"))
        self.assertIsNone(report.growth(series([1, 2, 3]), "fds"))
        # Threads that swing with the load around a steady level, as sampled under load.
        swinging = [3, 52, 8, 49, 63, 33, 36, 45, 37, 53, 26, 32, 80, 53, 67, 60, 45, 74, 32, 42,
                    55, 37, 33, 95, 30, 48, 3, 63, 60, 66]
        self.assertFalse(report.growth(series(swinging, "threads"), "threads"))
        # The same swings on top of a slow leak of three threads a second.
        leaking = [v + 3 * i for i, v in enumerate(swinging)]
        self.assertTrue(report.growth(series(leaking, "threads"), "threads"))

    def test_exit_status_names_the_signal(self):
        self.assertEqual(report.exit_text(141), "141 (SIGPIPE)")
        self.assertEqual(report.exit_text(1), "1")

    def test_ratio_rows(self):
        row = report.ratio_row("x", 16.0, 10.0, 1.6, True)
        self.assertEqual(row[3], "1.60")
        self.assertEqual(row[5], "yes")
        self.assertEqual(report.ratio_row("x", 7.0, 10.0, 0.6, False)[5], "**no**")
        self.assertEqual(report.ratio_row("x", None, 10.0, 0.6, False)[5], "n/a")


class Rendering(unittest.TestCase):
    def records(self):
        recs = [{"kind": "meta", "trial": "1", "rounds": "3", "cpu": "Test CPU"}]
        for rnd, (crps, prps) in enumerate([(4000, 2000), (4400, 2600), (3000, 2500)], 1):
            for c in (16, 64):
                a = rate("corvane", c, crps, 5.0, cpu_s=1.0, requests=crps * 10, rss_kb=3072)
                b = rate("privoxy", c, prps, 20.0, cpu_s=4.0, requests=prps * 10, rss_kb=6144)
                a["round"] = b["round"] = rnd
                recs += [a, b]
        return recs

    def test_ratios_use_medians_across_rounds(self):
        text = report.render(self.records())
        self.assertIn("**Trial run.**", text)
        # medians 4000 and 2500: 1.60, which meets the 1.6 target
        self.assertIn("| req/s c=16, corvane / Privoxy | 4,000.00 | 2,500.00 | 1.60 | ≥ 1.6 | yes |",
                      text)
        self.assertIn("| p99 ms c=64, corvane / Privoxy | 5.00 | 20.00 | 0.25 | ≤ 0.6 | yes |", text)
        self.assertIn("| 4,000 (3,000–4,400) |", text)
        self.assertIn("| RSS MiB at c=64, corvane / Privoxy | 3.00 | 6.00 | 0.50 | ≤ 1.0 | yes |",
                      text)

    def test_every_table_row_has_as_many_cells_as_its_header(self):
        recs = self.records() + [
            {"kind": "final", "target": "corvane", "alive": True, "hwm_kb": 4096},
            {"kind": "head", "target": "corvane", "status": "HTTP/1.1 200 OK",
             "connection": "Connection: close"},
            {"kind": "bulk", "target": "corvane", "round": 1,
             "load": {"parallel": 1, "mb_per_s": 900.0, "errors": 0}, "sample": None},
            h2("direct-tls", 1, 4, 30000, 4, 0)]
        widths = []
        for line in report.render(recs).splitlines():
            if line.startswith("|"):
                widths.append(line.count("|"))
            elif widths:
                self.assertEqual(len(set(widths)), 1, widths)
                widths = []

    def test_keepalive_rows_and_ratio(self):
        recs = []
        for rnd, (crps, prps) in enumerate([(9000, 3000), (8000, 4500), (7000, 4000)], 1):
            for target, rps in (("corvane-ka", crps), ("privoxy-ka", prps)):
                r = rate(target, 64, rps, 2.0, cpu_s=1.0, requests=rps * 10)
                r.update(kind="keepalive", round=rnd)
                r["load"].update(connections=64, stale_closes=1)
                recs.append(r)
        text = report.render(recs)
        # medians 8000 and 4000: exactly the 2x target; c=16 was not measured
        self.assertIn("| keep-alive requests/s c=64 | 8,000.00 | 4,000.00 | 2.00 | ≥ 2 | yes |",
                      text)
        self.assertIn("| keep-alive requests/s c=16 | n/a |", text)
        self.assertIn("| corvane | n/a | 8,000 (7,000–9,000) |", text)
        self.assertIn("| 1,250 | 0.12 | 0 / 3 |", text)  # 80,000 requests on 64 connections

    def test_h2_rows_say_which_protocol_ran(self):
        recs = []
        for rnd, rps in enumerate([30000, 40000, 35000], 1):
            recs += [h2("direct-tls", rnd, 4, rps, 4, 0), h2("privoxy-tls", rnd, 4, rps, 0, 40),
                     h2("corvane-tls", rnd, 16, rps, 12, 4)]
        text = report.render(recs)
        self.assertIn("| direct h2 (nginx) | 4 × 16 | h2 | 35,000 (30,000–40,000) |", text)
        self.assertIn("| Privoxy inspecting | 4 × 16 | http/1.1 (fallback) |", text)
        self.assertIn("| corvane inspecting | 16 × 16 | mixed: 25% http/1.1 |", text)
        self.assertIn("| 87,500 | 0 / 3 |", text)  # 350,000 requests on 4 connections

    def test_missing_target_reads_not_available(self):
        recs = [r for r in self.records() if r.get("target") != "privoxy"]
        text = report.render(recs)
        self.assertIn("| req/s c=16, corvane / Privoxy | n/a |", text)

    def test_crash_is_listed(self):
        recs = self.records() + [{"kind": "crash", "target": "corvane", "status": 139,
                                  "after": "round 2 c=16 /100k"}]
        text = report.render(recs)
        self.assertIn("| corvane | 139 (SIGSEGV) | round 2 c=16 /100k |", text)

    def test_sustained_growth_is_flagged(self):
        recs = self.records()
        rising = [{"threads": 8, "fds": 20 + 200 * i, "rss_kb": 4000} for i in range(30)]
        recs.append({"kind": "sustain", "target": "corvane", "round": 0,
                     "load": {"rps": 4000, "connect_errors": 0},
                     "sample": {"groups": {"proxy": {"series": rising}}}})
        text = report.render(recs)
        self.assertIn("**descriptors grow**", text)
        self.assertNotIn("**threads grow**", text)


if __name__ == "__main__":
    unittest.main()
