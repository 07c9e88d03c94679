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
        work = types.SimpleNamespace(rows=[row("A", "bin"), row("B", "sh"), row("C", "py"),
                                           row("D", "missing"), row("E", "bad"), row("F", "bad")])
        records = {"A": [("start", 1, 0), ("end", 1, 1)], "B": [("start", 2, 0), ("start", 3, 5)]}
        queue = {"A": ("", "A", "01", "98", "1", ""), "D": ("", "D", "01", "90", "", "")}
        r = checks.exactly_once(work, queue, records, "... E ...")
        self.assertFalse(r.passed)
        text = "\n".join(r.details)
        for want in ("B (sh) started 2 times", "C (py) never started", "F unreadable row"):
            self.assertIn(want, text)
        self.assertNotIn("E unreadable", text)  # named in a log: set aside
        self.assertIn("1 ran once, 1 twice+, 2 never", r.figure)

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

    def test_messages_counted_per_text(self):
        main = ("x  Start PGM: chaos_missing_1 rec Cmd:  fehlgeschlagen!\n"
                "x  END PGM: PGM ovr1 wird wegen Laufzeitueberschreitung beendet!\n"
                "x  Alle verwalteten Jobs beenden!\n" * 2)
        stored = ("Der Job chaos_missing_1 rec konnte nicht gestartet werden!\n"
                  "Programm ovr1 wird wegen Laufzeitu...\nJobcontroller-Dienst antwortet nicht\n")
        r = checks.messages(None, [main], stored)
        self.assertFalse(r.passed)
        self.assertEqual(r.figure, "6 expected, 3 missing")


if __name__ == "__main__":
    unittest.main()
