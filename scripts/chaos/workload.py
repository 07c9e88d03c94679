"""The workload: run type 01 rows of real jobs at random moments, a few
standing (04), timed (03) and scheduled (07) rows, now and then a row with a
value the controller cannot read, and a decoy process that a row names.
Every job records its own start and end in the harness's record file."""

import os
import shutil
import subprocess
import sys
import time

from database import DbError

KINDS = ["bin", "sh", "py", "daemon", "exit3", "overrun", "missing"]


def stamp(t=None):
    return time.strftime("%Y%m%d%H%M%S", time.localtime(t))


class Row:
    def __init__(self, key, kind, cmd, rty="01", mrt=0, origin=""):
        self.key, self.kind, self.cmd, self.rty, self.mrt, self.origin = key, kind, cmd, rty, mrt, origin
        self.da1 = stamp()
        self.posted_at = None  # when the insert that was seen to succeed began


class Workload:
    def __init__(self, world, rng, kinds, bad_rows, jobs_dir):
        self.world = world
        self.db = world.queue
        self.rng = rng
        self.kinds = kinds
        self.bad_rows = bad_rows
        self.jobs = jobs_dir
        self.records = os.path.join(world.base, "records.log")
        self.rows = []      # every row the harness wants in the queue
        self.pending = []   # rows whose insert has not yet succeeded
        self.count = 0
        self.next_at = time.time() + 2
        self.decoy = None

    # --- set-up ---------------------------------------------------------
    def prepare(self, root):
        os.makedirs(self.jobs, exist_ok=True)
        src = os.path.join(root, "scripts/chaos/jobs")
        subprocess.run(["cc", "-O2", "-o", os.path.join(self.jobs, "chaosjob"),
                        os.path.join(src, "chaosjob.c")], check=True)
        for f in ("job.sh", "job.py", "daemon.py", "decoy.py"):
            shutil.copy2(os.path.join(src, f), self.jobs)
        open(self.records, "a").close()

    def start_decoy(self):
        """A process the controller did not start, with a run type 01 row in
        status 01 that names it and a running time long past: ending it
        would be a kill of a foreign process."""
        env = {k: v for k, v in os.environ.items() if k != "KVRCHAOS_RUN"}
        self.decoy = subprocess.Popen([sys.executable, os.path.join(self.jobs, "decoy.py"),
                                       self.records, "DECOY"], env=env, stdin=subprocess.DEVNULL,
                                      start_new_session=True)
        time.sleep(0.3)
        exe = os.path.basename(os.readlink("/proc/%d/exe" % self.decoy.pid)).lower()
        t = self.db.table("KVR500JOB")
        self.insert_retry("insert into %s (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTS,JOBNAM,"
                          "JOBNUM,JOBSDA,JOBSTV) values ('%s','CHAOS-DECOY','','%s',5,'01','01',"
                          "'%s','%d','%s',1)" % (t, stamp(time.time() - 600), exe, exe,
                                                 self.decoy.pid, stamp(time.time() - 600)))

    def standing_and_timed(self):
        """Two standing jobs, two interval jobs (every minute), scheduled rows."""
        t = self.db.table("KVR500JOB")
        for i in range(2):
            self.insert_retry("insert into %s (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTV) "
                              "values ('%s','CHAOS-STAND-%d','CHAOS-STAND-%d','%s',0,'04',0)"
                              % (t, stamp(), i, i, self.job_cmd("bin", "STAND-%d" % i, 20000)))
            self.insert_retry("insert into %s (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTS,"
                              "JOBDLS,JOBNRT,JOBSTV) values ('%s','CHAOS-TIMED-%d','CHAOS-TIMED-%d',"
                              "'%s',0,'03','00',3,'%s',0)"
                              % (t, stamp(), i, i, self.job_cmd("py", "TIMED-%d" % i, 3000), stamp()))

    def insert_retry(self, sql, seconds=60):
        deadline = time.time() + seconds
        while True:
            try:
                self.db.run(sql)
                return
            except DbError as e:
                if "duplicate" in str(e):
                    return
                if time.time() > deadline:
                    raise
                time.sleep(1)

    # --- the rows -------------------------------------------------------
    def job_cmd(self, kind, key, ms):
        j, r = self.jobs, self.records
        if kind in ("bin", "overrun"):
            prog = os.path.join(j, "chaosjob")
            if kind == "overrun":  # a name of its own, so its message can be told apart
                prog = os.path.join(j, "ovr%s" % key.replace("-", "").lower())
                shutil.copy2(os.path.join(j, "chaosjob"), prog)
            return "%s %s %s %d" % (prog, r, key, ms)
        if kind == "exit3":
            return "%s/chaosjob %s %s %d 3" % (j, r, key, ms)
        if kind == "sh":
            return "%s/job.sh %s %s %d" % (j, r, key, ms)
        if kind == "py":
            return "%s/job.py %s %s %d" % (j, r, key, ms)
        if kind == "daemon":
            return "%s/daemon.py %s %s %d" % (j, r, key, ms)
        # A bare name that is found nowhere; short, so its message fits.
        return "chaos_missing_%s %s" % (key.replace("CHAOS-", "").lower(), r)

    def new_row(self, now):
        self.count += 1
        key = "CHAOS-%05d" % self.count
        bad = self.bad_rows and self.rng.random() < 0.04
        kind = "bad" if bad else self.rng.choice(self.kinds)
        ms = self.rng.randint(200, 6000)
        mrt = 0 if self.rng.random() < 0.5 else 120
        if kind == "overrun":
            ms, mrt = 60000, self.rng.randint(2, 4)
        origin = self.rng.choice(["", "", "", "CHAOS-ORIGIN-A", "CHAOS-ORIGIN-B"])
        cmd = self.job_cmd("bin" if bad else kind, key, ms)
        row = Row(key, kind, cmd, mrt=mrt, origin=origin)
        if bad:
            row.variant = self.rng.randint(0, 1)
        self.rows.append(row)
        self.pending.append(row)

    def insert_sql(self, row):
        t = self.db.table("KVR500JOB")
        if row.kind == "bad":
            return self.db.bad_value_sql(row.da1, row.key, row.cmd, row.variant)
        if self.rng.random() < 0.1:  # as some programs write it: a status of two blanks
            return ("insert into %s (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTS,JOBSTV) "
                    "values ('%s','%s','%s','%s',%d,'01','  ',0)"
                    % (t, row.da1, row.key, row.origin, row.cmd, row.mrt))
        return ("insert into %s (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTV) values "
                "('%s','%s','%s','%s',%d,'01',0)" % (t, row.da1, row.key, row.origin, row.cmd, row.mrt))

    def scheduled_row(self):
        t = self.db.table("KVR500JOB")
        self.count += 1
        key = "CHAOS-SCHED-%05d" % self.count
        row = Row(key, "sched", self.job_cmd("bin", key, 1000), rty="07")
        self.rows.append(row)
        self.pending.append(row)
        row.sql = ("insert into %s (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTS,JOBDLS,JOBNRT,"
                   "JOBSTV) values ('%s','%s','','%s',0,'07','00',0,'%s',0)"
                   % (t, row.da1, key, row.cmd, stamp()))

    def tick(self, now, inserting):
        """Adds rows when it is time and tries the pending inserts."""
        if inserting and now >= self.next_at:
            if self.rng.random() < 0.05:
                self.scheduled_row()
            else:
                self.new_row(now)
            self.next_at = now + self.rng.uniform(0.2, 3.0)
        still = []
        for row in self.pending:
            # A controller may start the job before the insert's own call
            # returns (a psql process takes a while to end): its wait is
            # counted from the moment the insert began.
            began = time.time()
            try:
                self.db.run(getattr(row, "sql", None) or self.insert_sql(row), timeout=0.5)
                row.posted_at = began
            except DbError as e:
                if "duplicate" in str(e):
                    row.posted_at = row.posted_at or began
                else:
                    i = self.pending.index(row)
                    still.extend(self.pending[i:])  # the database is away: later
                    break
        self.pending = still

    def read_records(self):
        """{key: [(event, pid, time)]} from the record file."""
        out = {}
        with open(self.records) as f:
            for line in f:
                parts = line.split()
                if len(parts) >= 4:
                    out.setdefault(parts[1], []).append((parts[0], int(parts[2]), int(parts[3])))
        return out
