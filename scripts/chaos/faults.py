"""The faults, injected at random moments drawn from the seed. Each fault
has a kind, a start and a duration; `undo` puts back what it took away.
Faults that keep a controller from working on purpose (killed, stopped,
service ended) are noted as excused intervals for the pass-gap check."""

import os
import signal
import sqlite3
import subprocess
import threading
import time

SQLITE_FAULTS = ["kill", "stop", "term", "busy", "msgtable", "fallback", "lockfile"]
PG_FAULTS = ["kill", "stop", "term", "pgfast", "pgimmediate", "pgfailover", "msgtable", "fallback"]
DESCRIPTIONS = {
    "kill": "SIGKILL of the active controller (its service starts it again)",
    "stop": "SIGSTOP of the active controller for --stop-seconds, then SIGCONT",
    "term": "SIGTERM of a service (the controller ends its jobs); started again after a while",
    "busy": "the SQLite file held by another connection (BEGIN EXCLUSIVE) for 3-15 s",
    "pgfast": "PostgreSQL primary stopped with -m fast, started again after 2-10 s",
    "pgimmediate": "PostgreSQL primary stopped with -m immediate, started again after 2-10 s",
    "pgfailover": "primary stopped (fast), the standby promoted, a new standby made",
    "msgtable": "KVR200MSG renamed away for 5-20 s",
    "fallback": "the message fallback folder (a small tmpfs) filled for 10-30 s",
    "lockfile": "the queue's lock file removed",
    "badrow": "(workload) now and then a row with a value the controller cannot read",
}


class Injector:
    def __init__(self, world, rng, kinds, stop_seconds, log):
        self.world = world
        self.db = world.queue
        self.rng = rng
        self.kinds = [k for k in kinds if k != "badrow"]
        self.stop_seconds = stop_seconds
        self.log = log
        self.active = []      # (kind, undo-at, undo function)
        self.injected = {}    # kind -> count
        self.excused = {c.name: [] for c in world.ctls}  # name -> [[start, end-or-None]]
        self.kills = {}       # name -> [times of a SIGKILL]
        self.halts = []       # times a controller was SIGKILLed or SIGSTOPped
        self.next_at = time.time() + rng.uniform(8, 15)
        self.tmpfs = False
        self.pending_restarts = []  # (at, controller)

    # --- bookkeeping ----------------------------------------------------
    def excuse(self, ctl, until=None):
        self.excused[ctl.name].append([time.time(), until])

    def close_excuses(self):
        """Open excuses end once the controller runs again (seen by pid)."""
        for c in self.world.ctls:
            for iv in self.excused[c.name]:
                if iv[1] is None and c.controller_pid() and getattr(c, "since_pid", None):
                    if c.since_pid > iv[0]:
                        iv[1] = c.since_pid + 1

    def busy_with(self, prefix):
        return any(k.startswith(prefix) for k, _, _ in self.active)

    # --- the fault kinds ------------------------------------------------
    def inject(self, kind):
        handler = getattr(self, "do_" + kind)
        undo_in, undo = handler()
        if undo_in is None:
            return
        self.injected[kind] = self.injected.get(kind, 0) + 1
        self.log("fault %s%s" % (kind, "" if undo is None else " for %.0f s" % undo_in))
        if undo is not None:
            self.active.append((kind, time.time() + undo_in, undo))

    def target(self):
        return self.world.active() or self.rng.choice(self.world.ctls)

    def do_kill(self):
        c = self.target()
        pid = c.controller_pid()
        if not pid:
            return None, None
        self.excuse(c)
        os.kill(pid, signal.SIGKILL)
        self.kills.setdefault(c.name, []).append(time.time())
        self.halts.append(time.time())
        return 0, None

    def do_stop(self):
        c = self.target()
        pid = c.controller_pid()
        if not pid or self.busy_with("stop"):
            return None, None
        os.kill(pid, signal.SIGSTOP)
        start = time.time()
        self.halts.append(start)
        self.excused[c.name].append([start, None])
        iv = self.excused[c.name][-1]

        def undo():
            try:
                os.kill(pid, signal.SIGCONT)
            except ProcessLookupError:
                pass
            iv[1] = time.time() + 5
        return self.stop_seconds, undo

    def do_term(self):
        c = self.rng.choice(self.world.ctls)
        svc = c.svc
        if not c.service_alive() or getattr(c, "terminating", False):
            return None, None
        self.excuse(c)
        c.terminating = True
        c.signal_service(signal.SIGTERM)

        def undo():
            if svc.poll() is None:
                return False  # still ending its jobs: later
            c.terminating = False
            if c.svc is svc:
                c.start_service(self.root)
        return self.rng.uniform(3, 10), undo

    def do_busy(self):
        if self.busy_with("busy"):
            return None, None
        hold = self.rng.uniform(3, 15)
        done = threading.Event()

        def holder():
            try:
                con = sqlite3.connect(self.db.path, timeout=30, isolation_level=None)
                con.execute("begin exclusive")
                done.wait(hold)
                con.execute("rollback")
                con.close()
            except sqlite3.Error as e:
                self.log("busy holder: %s" % e)
        t = threading.Thread(target=holder, daemon=True)
        t.start()
        return hold, lambda: (done.set(), t.join(40))

    def pg_stop(self, mode):
        if self.busy_with("pg"):
            return None, None
        self.db.primary.stop(mode)
        return self.rng.uniform(2, 10), lambda: self.db.primary.start()

    def do_pgfast(self):
        return self.pg_stop("fast")

    def do_pgimmediate(self):
        return self.pg_stop("immediate")

    def do_pgfailover(self):
        if self.busy_with("pg"):
            return None, None
        # A fast stop sends all WAL to a streaming standby first, so no commit
        # is lost; a standby that has not caught up would lose some.
        deadline = time.time() + 10
        while not self.db.standby_caught_up():
            if time.time() > deadline:
                self.log("pgfailover left out: the standby has not caught up")
                return None, None
            time.sleep(0.5)
        self.db.primary.stop("fast")
        self.db.promote()
        return self.rng.uniform(2, 6), self.db.rebuild_standby

    def msg_table_names(self):
        """(the table, the table renamed, the new name as ALTER TABLE takes it)"""
        if self.db.engine == "sqlite":
            return ('"KVSYSTEM.KVR200MSG"', '"KVSYSTEM.KVR200MSG_AWAY"', '"KVSYSTEM.KVR200MSG_AWAY"')
        return "kvsystem.kvr200msg", "kvsystem.kvr200msg_away", "kvr200msg_away"

    def do_msgtable(self):
        if self.busy_with("msgtable"):
            return None, None
        table, away, away_name = self.msg_table_names()
        back_name = table if self.db.engine == "sqlite" else "kvr200msg"
        try:
            self.db.run("alter table %s rename to %s" % (table, away_name), timeout=10)
        except Exception as e:
            self.log("msgtable: %s" % e)
            return None, None

        def undo():
            try:
                self.db.run("alter table %s rename to %s" % (away, back_name), timeout=10)
            except Exception:
                return False  # the database is away: later
        return self.rng.uniform(5, 20), undo

    def mount_fallback(self):
        """A small tmpfs as the fallback folder, so it can be filled."""
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "kvrchaos",
                            self.world.fallback_dir], stderr=subprocess.PIPE, text=True)
        self.tmpfs = r.returncode == 0
        if not self.tmpfs:
            self.log("no tmpfs for the fallback folder (%s): filling it with a file up to "
                     "a limit of the volume is not possible; the fallback fault makes the "
                     "folder unwritable instead" % r.stderr.strip())

    def do_fallback(self):
        if self.busy_with("fallback"):
            return None, None
        d = self.world.fallback_dir
        filler = os.path.join(d, ".filler")
        if self.tmpfs:
            fd = os.open(filler, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
            try:
                while os.write(fd, b"\0" * 4096) > 0:
                    pass
            except OSError:
                pass  # full
            os.close(fd)

            def undo():
                os.unlink(filler)
        else:
            os.chmod(d, 0o500)

            def undo():
                os.chmod(d, 0o755)
        return self.rng.uniform(10, 30), undo

    def do_lockfile(self):
        try:
            os.unlink(self.db.lock_file)
        except FileNotFoundError:
            return None, None
        return 0, None

    # --- the loop -------------------------------------------------------
    def tick(self, now, injecting):
        for item in list(self.active):
            if now >= item[1]:
                self.active.remove(item)
                try:
                    if item[2]() is False:  # not yet possible
                        self.active.append((item[0], now + 1, item[2]))
                except Exception as e:
                    self.log("undo %s: %s" % (item[0], e))
        self.close_excuses()
        if injecting and self.kinds and now >= self.next_at:
            self.inject(self.rng.choice(self.kinds))
            self.next_at = now + self.rng.uniform(6, 20)

    def undo_all(self, seconds=90):
        deadline = time.time() + seconds
        while self.active and time.time() < deadline:
            self.tick(max(i[1] for i in self.active), False)
            if self.active:
                time.sleep(0.5)
        for item in self.active:
            self.log("could not undo %s" % item[0])

    def unmount(self):
        if self.tmpfs:
            # keep what the folder holds for the checks: copy it out first
            keep = os.path.join(self.world.base, "fallback-kept")
            os.makedirs(keep, exist_ok=True)
            for f in os.listdir(self.world.fallback_dir):
                if not f.startswith(".filler"):
                    subprocess.run(["cp", "-a", os.path.join(self.world.fallback_dir, f), keep])
            subprocess.run(["umount", "-l", self.world.fallback_dir])
            for f in os.listdir(keep):
                subprocess.run(["cp", "-a", os.path.join(keep, f), self.world.fallback_dir])
