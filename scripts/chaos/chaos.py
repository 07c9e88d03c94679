#!/usr/bin/env python3
"""The fault-injection run: two controllers on one queue under kvrjobsvc, a
workload of real jobs, random faults from a seed, and invariants checked
from outside at the end. Run it through scripts/chaos.sh, which installs and
builds what is missing."""

import argparse
import os
import random
import shutil
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import checks  # noqa: E402
from database import PgQueue, SqliteQueue  # noqa: E402
from faults import DESCRIPTIONS, PG_FAULTS, SQLITE_FAULTS, Injector  # noqa: E402
from workload import KINDS, Workload  # noqa: E402
from world import World, fd_count, rss_kb  # noqa: E402


def parse_args(argv):
    p = argparse.ArgumentParser(prog="scripts/chaos.sh", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog="fault kinds:\n" + "\n".join(
                                    "  %-12s %s" % kv for kv in DESCRIPTIONS.items()))
    p.add_argument("--engine", choices=["sqlite", "postgres"], default="sqlite")
    p.add_argument("--minutes", type=float, default=15)
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--faults", default="all",
                   help="comma-separated fault kinds, 'all' (default) or 'none'")
    p.add_argument("--kinds", default=",".join(KINDS),
                   help="job kinds of the run type 01 rows (default: %(default)s)")
    p.add_argument("--stop-seconds", type=float, default=45,
                   help="how long a SIGSTOP lasts; longer than the service's watchdog")
    p.add_argument("--gap-bound", type=int, default=30,
                   help="longest gap between passes allowed, in seconds")
    p.add_argument("--keep", action="store_true", help="keep the run's folder")
    p.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))))
    a = p.parse_args(argv)
    if a.seed is None:
        a.seed = random.SystemRandom().randint(1, 999999)
    allowed = (SQLITE_FAULTS if a.engine == "sqlite" else PG_FAULTS) + ["badrow"]
    if a.faults == "all":
        a.faults = allowed
    elif a.faults == "none":
        a.faults = []
    else:
        asked = [f for f in a.faults.split(",") if f]
        known = set(SQLITE_FAULTS + PG_FAULTS + ["badrow"])
        wrong = [f for f in asked if f not in known]
        # One list may serve both engines: kinds of the other engine are left out.
        a.faults = [f for f in asked if f in allowed]
        if wrong:
            p.error("fault kinds not known: %s (known: %s)" % (",".join(wrong), ",".join(sorted(known))))
    a.kinds = [k for k in a.kinds.split(",") if k]
    if any(k not in KINDS for k in a.kinds) or not a.kinds:
        p.error("job kinds: %s" % ",".join(KINDS))
    return a


class Run:
    def __init__(self, args):
        self.a = args
        self.t0 = time.time()
        self.base = tempfile.mkdtemp(prefix="kvrchaos.")
        os.chmod(self.base, 0o755)
        self.logf = open(os.path.join(self.base, "chaos.log"), "a")
        self.samples = {}  # (controller pid, first seen) -> [(time, rss kB, fds, name)]

    def log(self, text):
        line = "%7.1f  %s" % (time.time() - self.t0, text)
        print(line, flush=True)
        self.logf.write(line + "\n")
        self.logf.flush()

    def setup(self):
        a = self.a
        self.rng = random.Random(a.seed)
        self.queue = SqliteQueue(self.base) if a.engine == "sqlite" else PgQueue(self.base)
        self.world = World(self.base, self.queue, "%d-%d" % (os.getpid(), a.seed))
        self.world.install(a.root)
        self.work = Workload(self.world, random.Random(a.seed * 7 + 1), a.kinds,
                             "badrow" in a.faults, os.path.join(self.base, "jobs"))
        self.work.prepare(a.root)
        self.faults = Injector(self.world, random.Random(a.seed * 7 + 2), a.faults,
                               a.stop_seconds, self.log)
        self.faults.root = a.root
        if "fallback" in a.faults:
            self.faults.mount_fallback()
        self.work.start_decoy()
        self.work.standing_and_timed()
        self.world.start(a.root)

    def sample(self, now):
        for c in self.world.ctls:
            pid = c.controller_pid()
            if pid and pid != getattr(c, "pid", None):
                c.pid, c.since_pid = pid, now
                self.log("%s: controller pid %d" % (c.name, pid))
            if pid:
                r, f = rss_kb(pid), fd_count(pid)
                if r is not None and f is not None:
                    self.samples.setdefault((pid, c.since_pid), []).append((now, r, f, c.name))

    def loop(self, seconds, injecting, inserting):
        end = time.time() + seconds
        last_sample = 0
        while time.time() < end:
            now = time.time()
            if now - last_sample >= 1:
                self.sample(now)
                last_sample = now
            self.work.tick(now, inserting)
            self.faults.tick(now, injecting)
            time.sleep(0.2)

    def settle(self, limit):
        """Waits until no harness row of run type 01 waits or runs."""
        deadline = time.time() + limit
        while time.time() < deadline:
            self.loop(2, False, False)
            if self.work.pending:
                continue
            try:
                q = checks.queue_rows(self.queue)
            except Exception:
                continue
            busy = [k for k, r in q.items() if k.startswith("CHAOS-") and r[2] == "01"
                    and k != "CHAOS-DECOY" and r[3] in ("", "  ", "01")]
            if not busy:
                return True
        return False

    def main(self):
        a = self.a
        self.log("seed %d, engine %s, %.1f minutes, faults: %s, folder %s"
                 % (a.seed, a.engine, a.minutes, ",".join(a.faults) or "none", self.base))
        self.setup()
        self.loop(a.minutes * 60, True, True)
        self.log("faults end; putting back what they took")
        self.faults.undo_all()
        for c in self.world.ctls:
            if not c.service_alive():
                c.start_service(a.root)
        settled = self.settle(120)
        self.log("queue %s; final stop" % ("settled" if settled else "NOT settled after 120 s"))
        self.sample(time.time())
        stopped = self.world.stop_all(60)
        time.sleep(2)
        return self.check(settled, stopped)

    def stored_messages(self):
        text = ""
        t = self.queue.table("KVR200MSG")
        for row in self.queue.run("select MSGTXT from %s" % t, timeout=10):
            text += row[0] + "\n"
        if os.path.exists(self.world.fallback_file):
            with open(self.world.fallback_file, "rb") as f:
                text += f.read().decode("cp1252", errors="replace")
        return text.replace("\u00fc", "u")  # ü differs between file and table

    def check(self, settled, stopped):
        end = time.time()
        self.faults.unmount()
        records = self.work.read_records()
        queue = checks.queue_rows(self.queue)
        main_logs = [c.log_text("KVRJOBCTL") for c in self.world.ctls]
        results = [
            checks.Result("queue settled and the services stopped in time", settled and stopped,
                          "settled %s, stopped %s" % (settled, stopped)),
            checks.exactly_once(self.work, queue, records, main_logs, self.faults.halts),
            checks.start_waits(self.work, records),
            checks.closed_while_running(self.work, queue, records),
            checks.no_leftovers(self.world),
            checks.decoy_untouched(self.work, records),
            checks.final_states(self.work, queue),
            checks.messages(zip([c.name for c in self.world.ctls], main_logs),
                            self.stored_messages().replace("Laufzeit\u00fc", "Laufzeit"),
                            self.faults.kills),
            checks.pass_gaps(self.world, self.faults.excused, self.a.gap_bound, end),
            checks.pass_rate(self.world, 100),
            checks.one_worker(self.world),
            checks.resources(self.samples),
        ]
        self.report(results, queue, records)
        return all(r.passed for r in results)

    def report(self, results, queue, records):
        a = self.a
        print("\n== faults injected (seed %d, %s, %.1f min)" % (a.seed, a.engine, a.minutes))
        for kind in a.faults:
            print("  %-12s %4d" % (kind, self.faults.injected.get(kind, 0) if kind != "badrow"
                                   else sum(1 for r in self.work.rows if r.kind == "bad")))
        rows01 = [r for r in self.work.rows if r.rty == "01" and r.posted_at]
        started = sum(1 for r in rows01 if any(e[0] == "start" for e in records.get(r.key, [])))
        print("== workload: %d run type 01 rows (%d started), %d scheduled rows, %d rows in the queue"
              % (len(rows01), started, sum(1 for r in self.work.rows if r.rty == "07"), len(queue)))
        print("== invariants")
        for r in results:
            print("  %-4s %-62s %s" % ("ok" if r.passed else "FAIL", r.name, r.figure))
            for d in r.details[:12] if not r.passed else []:
                print("         " + d)
            if not r.passed and len(r.details) > 12:
                print("         ... %d more" % (len(r.details) - 12))
        ok = all(r.passed for r in results)
        extra = "" if a.kinds == KINDS else " --kinds " + ",".join(a.kinds)
        if a.stop_seconds != 45:
            extra += " --stop-seconds %g" % a.stop_seconds
        print("== %s; replay: scripts/chaos.sh --engine %s --minutes %g --seed %d --faults %s%s"
              % ("PASSED" if ok else "FAILED", a.engine, a.minutes, a.seed,
                 ",".join(a.faults) or "none", extra))
        print("   folder: %s" % self.base)

    def cleanup(self, keep):
        try:
            self.world.stop_all(5)
        except Exception:
            pass
        if self.work and self.work.decoy:
            self.work.decoy.kill()
        for pid, _ in self.world.job_processes() if self.world else []:
            try:
                os.kill(pid, 9)
            except OSError:
                pass
        self.queue.stop()
        if getattr(self.faults, "tmpfs", False):
            os.system("umount -l '%s' 2>/dev/null" % self.world.fallback_dir)
        if not keep:
            shutil.rmtree(self.base, ignore_errors=True)


def main(argv):
    args = parse_args(argv)
    run = Run(args)
    run.world = run.work = run.faults = run.queue = None
    ok = False
    try:
        ok = run.main()
    except KeyboardInterrupt:
        print("interrupted")
    finally:
        if run.queue is not None:
            run.cleanup(args.keep or not ok)
    if not ok:
        print("chaos run FAILED (seed %d); its folder is kept" % args.seed)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
