"""The queue's database as the harness sees it: an SQLite file, or a
PostgreSQL primary with a streaming standby (run as the postgres user), and
short statements against it from outside the controllers."""

import glob
import os
import shutil
import sqlite3
import subprocess
import time

PG_USER = "kvrchaos"
PG_PASSWORD = "kvrchaos"
PG_DB = "kvr"


class DbError(Exception):
    pass


class SqliteQueue:
    engine = "sqlite"

    def __init__(self, base):
        self.dir = os.path.join(base, "queue")
        os.makedirs(self.dir, exist_ok=True)
        self.path = os.path.join(self.dir, "kvr.db")
        self.lock_file = self.path + ".lock"

    def service(self):
        return "sqlite:" + self.path

    def table(self, name):
        return '"KVSYSTEM.%s"' % name

    def run(self, sql, timeout=2.0):
        """Runs one statement; the rows of a select. DbError on failure."""
        try:
            con = sqlite3.connect(self.path, timeout=timeout, isolation_level=None)
            try:
                rows = con.execute(sql).fetchall()
            finally:
                con.close()
            return [tuple("" if v is None else str(v) for v in r) for r in rows]
        except sqlite3.IntegrityError as e:
            raise DbError("duplicate: %s" % e)
        except sqlite3.Error as e:
            raise DbError(str(e))

    def bad_value_sql(self, da1, key, cmd, variant):
        """A run type 01 row as another program might write it: bytes that
        are no UTF-8 at the end of the command, or text in an integer column."""
        t = self.table("KVR500JOB")
        if variant == 0:
            return ("insert into %s (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTV) values "
                    "('%s','%s','',CAST(x'%s' AS TEXT),0,'01',0)"
                    % (t, da1, key, (cmd + " 0 ").encode().hex() + "c0ff"))
        return ("insert into %s (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTV) values "
                "('%s','%s','','%s','abc','01',0)" % (t, da1, key, cmd))

    def stop(self):
        pass


def _as_postgres(args, **kw):
    if os.getuid() == 0:
        args = ["runuser", "-u", "postgres", "--"] + args
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def _free_port():
    import socket
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class PgServer:
    def __init__(self, bin_dir, data, port, log):
        self.bin, self.data, self.port, self.log = bin_dir, data, port, log

    def ctl(self, *args, timeout=90):
        r = _as_postgres([self.bin + "/pg_ctl", "-D", self.data, "-l", self.log, "-w", "-t", "60"]
                         + list(args), timeout=timeout)
        return r.returncode == 0, r.stdout

    def start(self):
        opts = ("-p %d -k %s -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=100 "
                "-c wal_keep_size=256MB" % (self.port, os.path.dirname(self.data)))
        return self.ctl("-o", opts, "start")

    def stop(self, mode):
        return self.ctl("-m", mode, "stop")

    def running(self):
        return os.path.exists(os.path.join(self.data, "postmaster.pid"))


class PgQueue:
    """A primary and a standby; `primary` and `standby` swap at a failover."""
    engine = "postgres"

    def __init__(self, base):
        bins = sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=lambda p: int(p.split("/")[-2]))
        if not bins:
            raise DbError("no PostgreSQL server installed")
        self.bin = bins[-1]
        self.dir = os.path.join(base, "pg")
        os.makedirs(self.dir)
        if os.getuid() == 0:
            shutil.chown(self.dir, "postgres")
        self.servers = []
        for name in ("a", "b"):
            d = os.path.join(self.dir, name)
            os.makedirs(d)
            if os.getuid() == 0:
                shutil.chown(d, "postgres")
            self.servers.append(PgServer(self.bin, d + "/data", _free_port(), d + "/server.log"))
        self.primary, self.standby = self.servers
        self.env = dict(os.environ, PGPASSWORD=PG_PASSWORD, PGCLIENTENCODING="UTF8",
                        PGCONNECT_TIMEOUT="3")
        self._init_primary()
        self.rebuild_standby()

    def _init_primary(self):
        pw = os.path.join(self.dir, "pwfile")
        with open(pw, "w") as f:
            f.write(PG_PASSWORD + "\n")
        os.chmod(pw, 0o644)
        r = _as_postgres([self.bin + "/initdb", "-D", self.primary.data, "-U", PG_USER,
                          "--pwfile=" + pw, "--auth=scram-sha-256", "-E", "UTF8",
                          "--locale=C.UTF-8"])
        if r.returncode != 0:
            raise DbError("initdb: " + r.stdout)
        ok, out = self.primary.start()
        if not ok:
            raise DbError("primary start: " + out)
        self.psql("create database %s" % PG_DB, db="postgres")

    def rebuild_standby(self):
        """Makes the standby anew from the primary (pg_basebackup -R)."""
        sb = self.standby
        if sb.running():
            sb.stop("immediate")
        shutil.rmtree(sb.data, ignore_errors=True)
        r = _as_postgres(["env", "PGPASSWORD=" + PG_PASSWORD, self.bin + "/pg_basebackup",
                          "-h", "127.0.0.1", "-p", str(self.primary.port), "-U", PG_USER,
                          "-D", sb.data, "-R", "-X", "stream", "-c", "fast"], timeout=120)
        if r.returncode != 0:
            raise DbError("pg_basebackup: " + r.stdout)
        ok, out = sb.start()
        if not ok:
            raise DbError("standby start: " + out)

    def standby_caught_up(self):
        """True when the standby streams from the primary and has received
        all its WAL, so a fast stop and a promotion lose no commit."""
        try:
            rows = self.psql("select state, pg_current_wal_lsn() = flush_lsn "
                             "from pg_stat_replication")
        except DbError:
            return False
        return any(r[0] == "streaming" and r[1] == "t" for r in rows)

    def promote(self):
        r = _as_postgres([self.bin + "/pg_ctl", "-D", self.standby.data, "-w", "promote"])
        if r.returncode != 0:
            raise DbError("promote: " + r.stdout)
        self.primary, self.standby = self.standby, self.primary

    def service(self):
        """A libpq service name: the connect text must stay short, and the
        service lists both servers, so a client finds whichever is primary."""
        path = os.path.join(self.dir, "pg_service.conf")
        with open(path, "w") as f:
            f.write("[kvrchaos]\nhost=127.0.0.1,127.0.0.1\nport=%s\ndbname=%s\n"
                    "target_session_attrs=read-write\nconnect_timeout=3\n"
                    % (",".join(str(s.port) for s in self.servers), PG_DB))
        os.chmod(path, 0o644)
        self.service_file = path
        return "kvrchaos"

    def table(self, name):
        return "kvsystem.%s" % name.lower()

    def psql(self, sql, db=PG_DB, timeout=15):
        conn = ("postgresql://%s@127.0.0.1:%d/%s" % (PG_USER, self.primary.port, db))
        try:
            r = subprocess.run(["psql", "-X", "-q", "-At", "-F", "\t", "-v", "ON_ERROR_STOP=1",
                                "-d", conn, "-c", sql], env=self.env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, timeout=timeout,
                               errors="replace")
        except subprocess.TimeoutExpired:
            raise DbError("psql timed out")
        if r.returncode != 0:
            if "duplicate key" in r.stderr:
                raise DbError("duplicate: " + r.stderr.strip())
            raise DbError(r.stderr.strip())
        return [tuple(line.split("\t")) for line in r.stdout.splitlines() if line != ""]

    def run(self, sql, timeout=2.0):
        return self.psql(sql, timeout=max(timeout, 10))

    def bad_value_sql(self, da1, key, cmd, variant):
        """A run type 01 row as another program might write it: characters
        the controller's code page (WIN1252) does not have, in the command or
        in the origin."""
        t = self.table("KVR500JOB")
        if variant == 0:
            return ("insert into %s (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTV) values "
                    "('%s','%s','','%s' || U&' 0 \\4E2D',0,'01',0)" % (t, da1, key, cmd))
        return ("insert into %s (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTV) values "
                "('%s','%s',U&'\\6587','%s',0,'01',0)" % (t, da1, key, cmd))

    def stop(self):
        for s in self.servers:
            if s.running():
                s.stop("immediate")
