"""Checks of the invariants on made-up records: python3 scripts/chaos/test_checks.py"""

import sys
import time
import types
import unittest

sys.dont_write_bytecode = True
import checks  # noqa: E402


def ctl(name, dbg="", main=""):
    logs = {"KVRJOBDBG": dbg, "KVRJOBCTL": main}
    return types.SimpleNamespace(name=name, log_text=lambda n: logs[n])


def row(key, kind, rty="01"):
    return types.SimpleNamespace(key=key, kind=kind, rty=rty, posted_at=1.0)


class ChecksTest(unittest.TestCase):
    def test_exactly_once_sorts_rows(self):
        keys = [("CHAOS-0000%d" % i, k) for i, k in enumerate(
            ["bin", "sh", "py", "missing", "bad", "bad", "daemon", "bin", "py", "py"])]
        A, B, C, D, E, F, G, H, I, J = [k for k, _ in keys]
        work = types.SimpleNamespace(rows=[row(k, kind) for k, kind in keys])
        records = {A: [("start", 1, 0), ("end", 1, 1)], B: [("start", 2, 0), ("start", 3, 5)],
                   H: [("start", 4, 0)]}
        queue = {A: ("", A, "01", "98", "1", ""), D: ("", D, "01", "90", "", ""),
                 G: ("", G, "01", "99", "5", ""), I: ("", I, "01", "98", "6", ""),
                 J: ("", J, "01", "98", "7", "")}
        logs = "\n".join(["x  Start PGM: ./job rec %s 100 Cmd: job" % k for k in (G, H, H, I, J)]
                         + ["x  Prozess beendet: env ProcessID 7",
                            "x  Start PGM: ./job rec %s Cmd:  fehlgeschlagen!" % C,
                            "... %s ..." % E])
        r = checks.exactly_once(work, queue, records, logs)
        self.assertFalse(r.passed)
        text = "\n".join(r.details)
        for want in (B + " (sh) started 2 times", C + " (py) never started,",
                     F + " unreadable row", H + " (bin) started 2 times (1 recorded",
                     I + " (py) never started (only logged), status '98'"):
            self.assertIn(want, text)
        self.assertNotIn(E + " unreadable", text)  # named in a log: set aside
        self.assertIn("3 ran once (2 ended by the controller before their first line), "
                      "2 twice+, 3 never", r.figure)

    def test_exactly_once_counts_only_lines_of_a_created_process(self):
        K = "CHAOS-00001"
        at = "2026-12-08 10:00:%02d  "
        start = at + "Start PGM: ./job.py rec " + K + " 10 Cmd: env"
        no_id = start + " Fehler Update Kvr500Job RC: -3114"
        claim = at + "Start PGM: ./job.py rec " + K + " 10 Cmd:  Fehler Update Kvr500Job RC: -3114"
        full = at + "Start PGM: ./job.py rec " + K + " 10 Prozesstabelle voll, Job nicht gestartet!"
        ended = at + "Prozess beendet: %s ProcessID 9"
        rec = {K: [("start", 9, 0)]}
        cases = [  # main logs (one text per controller), records, passed, figure
            ([no_id % 1 + "\n" + ended % (2, "env")], {}, True, "1 ran once (1 ended"),
            ([no_id % 1 + "\n" + ended % (2, "dash")], {}, False, "0 ran once"),
            ([no_id % 1 + "\n" + ended % (30, "env")], {}, False, "0 ran once"),
            ([no_id % 1, ended % (2, "env")], {}, False, "0 ran once"),
            ([claim % 1 + "\n" + start % 3], rec, True, "1 ran once (0 ended"),
            ([full % 1 + "\n" + start % 3], rec, True, "1 ran once (0 ended"),
            ([start % 1, start % 3], rec, False, "1 twice+"),
        ]
        for logs, records, passed, figure in cases:
            work = types.SimpleNamespace(rows=[row(K, "py")])
            queue = {K: ("", K, "01", "98", "", "")}
            r = checks.exactly_once(work, queue, records, logs)
            self.assertEqual(r.passed, passed, (logs, r.figure))
            self.assertIn(figure, r.figure)

    def test_exactly_once_excuses_only_claims_lost_with_a_halt(self):
        K = "CHAOS-00001"
        lost = "x  Job 20261208100000 %s: claimed for its start at 20261208100000, " \
               "no process of it found; closed as ended" % K
        t0 = time.mktime(time.strptime("2026-12-08 10:00:00", "%Y-%m-%d %H:%M:%S"))
        cases = [  # kind, halts, passed, figure
            ("py", [t0 + 2], True, "0 never, 1 lost"),
            ("missing", [t0 + 0.5], True, "0 never, 1 lost"),
            ("py", [t0 + 8], False, "1 never, 0 lost"),
            ("py", [t0 - 1], False, "1 never, 0 lost"),
            ("py", [], False, "1 never, 0 lost"),
        ]
        for kind, halts, passed, figure in cases:
            work = types.SimpleNamespace(rows=[row(K, kind)])
            queue = {K: ("", K, "01", "98", "0", "")}
            r = checks.exactly_once(work, queue, {}, [lost], halts)
            self.assertEqual(r.passed, passed, (kind, halts, r.figure))
            self.assertIn(figure if kind != "missing" or passed else "", r.figure)

    def test_gaps_leave_out_excused_stops(self):
        t0 = time.mktime(time.strptime("2026-12-08 10:00:00", "%Y-%m-%d %H:%M:%S"))
        lines = ["2026-12-08 10:00:%02d  Service kontaktiert! Hauptschleife!" % s for s in (0, 1, 40, 41)]
        lines.append("2026-12-08 10:01:30  Service kontaktiert! Hauptschleife!")
        world = types.SimpleNamespace(ctls=[ctl("c", "\n".join(lines))])
        cases = [({}, False, "49 s"), ({"c": [[t0 + 5, t0 + 35]]}, False, "49 s"),
                 ({"c": [[t0 + 50, None]]}, True, "39 s")]
        for excused, passed, figure in cases:
            r = checks.pass_gaps(world, excused, 45, t0 + 100)
            self.assertEqual(r.passed, passed, excused)
            self.assertIn(figure, r.figure)

    def test_pass_rate_finds_a_loop_that_no_longer_waits(self):
        def log(seconds, per_second):
            return "\n".join("2026-12-08 10:%02d:%02d  Service kontaktiert! Hauptschleife!"
                             % divmod(s, 60) for s in seconds for _ in range(per_second))
        cases = [  # debug log, passed, figure
            (log(range(0, 120), 1), True, "c 10"),
            (log(range(0, 30), 9), True, "c 90"),
            (log(range(0, 60), 1) + "\n" + log(range(60, 63), 40), False, "c 127"),
        ]
        for dbg, passed, figure in cases:
            r = checks.pass_rate(types.SimpleNamespace(ctls=[ctl("c", dbg)]), 100)
            self.assertEqual(r.passed, passed, r.figure)
            self.assertEqual(r.figure, figure)

    def test_one_worker_sees_two_controllers_starting_jobs(self):
        def starts(*seconds):
            return "\n".join("2026-12-08 10:00:%02d  Start PGM: /bin/true Cmd: true" % t
                             for t in seconds)
        banner = "\n2026-12-08 10:00:02  ** Clusterdienst: JOBCONTROLLER 7001. gestartet **\n"
        cases = [  # starts of c1, starts of c2, passed, figure
            (starts(3, 4, 5), starts(1, 2, 3), True, "6 starts, 0 times"),  # within a second
            (starts(1, 4, 20), starts(12, 14), True, "5 starts, 0 times"),
            (starts(1, 3, 5, 7, 9), starts(2, 4, 6, 8), False, "9 starts, 2 times"),
            (starts(1) + banner + starts(3), starts(2), True, "3 starts, 0 times"),  # c1 anew
            (banner + starts(1, 3), starts(2), False, "3 starts, 1 times"),  # one life of c1
        ]
        for one, two, passed, figure in cases:
            world = types.SimpleNamespace(ctls=[ctl("c1", main=one), ctl("c2", main=two)])
            r = checks.one_worker(world)
            self.assertEqual(r.passed, passed, r.figure)
            self.assertIn(figure, r.figure)

    def test_messages_counted_per_text(self):
        main = ("2026-12-08 10:00:05  Start PGM: chaos_missing_1 rec Cmd:  fehlgeschlagen!\n"
                "2026-12-08 10:00:06  END PGM: PGM ovr1 wird wegen Laufzeitueberschreitung beendet!\n"
                "2026-12-08 10:00:07  Alle verwalteten Jobs beenden!\n" * 2)
        stored = ("Der Job chaos_missing_1 rec konnte nicht gestartet werden!\n"
                  "Programm ovr1 wird wegen Laufzeitu...\nJobcontroller-Dienst antwortet nicht\n")
        lost = "x  " + checks.KEEP_FAILED + ": No space left on device!\n"
        t0 = time.mktime(time.strptime("2026-12-08 10:00:00", "%Y-%m-%d %H:%M:%S"))
        cases = [  # logs, kills, passed, figure
            ([("a", main)], {}, False, "6 expected, 3 missing, 0 reported lost"),
            ([("a", main), ("b", lost * 2)], {}, False, "6 expected, 1 missing, 2 reported"),
            ([("a", main + lost * 3)], {}, True, "6 expected, 0 missing, 3 reported lost"),
            ([("a", main), ("b", lost * 5)], {}, True, "6 expected, 0 missing, 3 reported"),
            ([("a", main)], {"a": [t0 + 10.5]}, False, "3 missing, 0 reported lost (table and "
             "fallback file away), 0 in a pass cut short by SIGKILL"),
            ([("a", main)], {"b": [t0 + 9.5]}, False, "3 missing"),
            ([("a", main)], {"a": [t0 + 9.5]}, False, "2 missing, 0 reported lost (table and "
             "fallback file away), 1 in a pass cut short by SIGKILL"),
            ([("a", main + lost * 2)], {"a": [t0 + 9.5]}, True, "0 missing, 2 reported lost"),
        ]
        for logs, kills, passed, figure in cases:
            r = checks.messages(logs, stored, kills)
            self.assertEqual(r.passed, passed, r.figure)
            self.assertIn(figure, r.figure)

    def test_resources_compare_each_controller_after_warm_up(self):
        def life(pid, start, seconds, rss, fds, rss_end=None, fds_end=None):
            s = [(start + t, rss, fds, "c") for t in range(seconds)]
            s.append((start + seconds, rss_end or rss, fds_end or fds, "c"))
            return {(pid, start): s}
        cases = [  # samples, passed, words in the figure
            ({}, False, "no controller process found"),
            (life(1, 0, 20, 9000, 9), False, "none of 1 controller processes lived 25 s"),
            ({**life(1, 0, 40, 9000, 9), **life(2, 50, 12, 9000, 9)}, True,
             "1 of 2 controller processes looked at, longest c pid 1: RSS 9000->9000 kB"),
            (life(3, 0, 60, 9000, 9, fds_end=30), False, "fds 9->30 over 50 s"),
            (life(4, 0, 60, 9000, 9, rss_end=40000), False, "RSS 9000->40000 kB"),
            (life(5, 0, 60, 9000, 9, rss_end=20000, fds_end=15), True, "fds 9->15"),
        ]
        for samples, passed, figure in cases:
            r = checks.resources(samples)
            self.assertEqual(r.passed, passed, r.figure)
            self.assertIn(figure, r.figure)


if __name__ == "__main__":
    unittest.main()
