"""The installation under test: two program directories on one queue, each
watched by its own kvrjobsvc with its own instance number, sockets apart
from every other installation, and a look at the controllers through /proc."""

import os
import shutil
import signal
import subprocess
import time

INI = ("[JOBATR]\nMAXJOBS=8\nDBGLOG=1\nMAXLOGSIZE=50\nINTERVALLJOBZYKLUS=1\n")


def read_proc(pid, name):
    try:
        with open("/proc/%d/%s" % (pid, name), "rb") as f:
            return f.read()
    except OSError:
        return None


def proc_state(pid):
    stat = read_proc(pid, "stat")
    if stat is None:
        return None
    rest = stat[stat.rindex(b")") + 2:].split()
    return rest[0].decode(), int(rest[1])  # state, parent


def alive(pid):
    st = proc_state(pid)
    return st is not None and st[0] != "Z"


def all_pids():
    return [int(d) for d in os.listdir("/proc") if d.isdigit()]


def rss_kb(pid):
    status = read_proc(pid, "status")
    if status is None:
        return None
    for line in status.decode(errors="replace").splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return None


def fd_count(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return None


class Controller:
    """One program directory with its service (and the controller under it)."""

    def __init__(self, world, number):
        self.world = world
        self.instance = world.instance_base + number
        self.dir = os.path.join(world.base, "ctl%d" % number)
        self.name = "ctl%d" % number
        self.svc = None
        self.svc_log = None

    def install(self, root, service):
        os.makedirs(self.dir)
        for prog in ("KVRJOBSTR", "kvrjobctl"):
            shutil.copy2(os.path.join(root, "build/bin", prog), self.dir)
        with open(os.path.join(self.dir, "KVRJOBCTL.INI"), "w") as f:
            f.write(INI)
        subprocess.run(["./kvrjobctl", "credentials", "--file", "VELTRONIA.INI", "--service", service,
                        "--schema", "KVSYSTEM", "--login", "kvrchaos", "--password", "kvrchaos",
                        "--db-system", "ORACLE"], cwd=self.dir, check=True,
                       stdout=subprocess.DEVNULL)

    def init_tables(self, root):
        subprocess.run(["./kvrjobctl", "init", "--sql-dir", os.path.join(root, "sql")],
                       cwd=self.dir, check=True, stdout=subprocess.DEVNULL, env=self.world.env)

    def start_service(self, root):
        self.svc_log = open(os.path.join(self.world.base, "%s.svc.log" % self.name), "ab")
        self.svc = subprocess.Popen(
            [os.path.join(root, "build/bin/kvrjobsvc"), str(self.instance), "--",
             os.path.join(self.dir, "KVRJOBSTR"), str(self.instance)],
            env=self.world.env, stdin=subprocess.DEVNULL, stdout=self.svc_log,
            stderr=subprocess.STDOUT, cwd=self.dir)

    def service_alive(self):
        return self.svc is not None and self.svc.poll() is None

    def controller_pid(self):
        """The KVRJOBSTR child of the service, or None."""
        if not self.service_alive():
            return None
        for pid in all_pids():
            st = proc_state(pid)
            if st and st[1] == self.svc.pid and st[0] != "Z":
                cmd = read_proc(pid, "cmdline") or b""
                if cmd.split(b"\0")[0].endswith(b"/KVRJOBSTR"):
                    return pid
        return None

    def signal_service(self, sig):
        if self.service_alive():
            self.svc.send_signal(sig)

    def wait_service(self, seconds):
        try:
            self.svc.wait(seconds)
            return True
        except subprocess.TimeoutExpired:
            return False

    def log_text(self, name):
        text = b""
        for suffix in (".BAK", ".LOG"):
            p = os.path.join(self.dir, name + suffix)
            if os.path.exists(p):
                with open(p, "rb") as f:
                    text += f.read()
        return text.decode("cp1252", errors="replace")


class World:
    def __init__(self, base, queue, run_id):
        self.base = base
        self.queue = queue
        self.run_id = run_id
        self.instance_base = 7000 + (os.getpid() % 900) * 10
        self.env = dict(os.environ)
        self.env["KVR_SERVICE_SOCKET_PREFIX"] = "kvrchaos%d-" % os.getpid()
        self.env["KVRJOBSVC_STOP_WAIT_SECONDS"] = "30"
        self.env["KVRCHAOS_RUN"] = run_id  # every job inherits it: leftovers are found by it
        self.ctls = [Controller(self, 1), Controller(self, 2)]
        self.fallback_dir = os.path.join(base, "veltronia_php", "log")
        self.fallback_file = os.path.join(self.fallback_dir, "JOBCTLMSG.log")

    def install(self, root):
        os.makedirs(self.fallback_dir)
        service = self.queue.service()
        if getattr(self.queue, "service_file", None):
            self.env["PGSERVICEFILE"] = self.queue.service_file
        for c in self.ctls:
            c.install(root, service)
        self.ctls[0].init_tables(root)

    def start(self, root):
        for c in self.ctls:
            c.start_service(root)
            time.sleep(1.5)  # the first one takes the queue

    def active(self):
        """The controller holding the queue lock, or None when it cannot be told."""
        pids = {c.controller_pid(): c for c in self.ctls}
        holder = None
        try:
            if self.queue.engine == "sqlite":
                with open(self.queue.lock_file) as f:
                    holder = int(f.read().split()[-1])
            else:
                rows = self.queue.run(
                    "select a.application_name from pg_locks l join pg_stat_activity a "
                    "on a.pid = l.pid where l.locktype = 'advisory' and l.granted")
                for r in rows:
                    if r[0].startswith("KVRJOBSTR"):
                        holder = int(r[0].split()[-1])
        except Exception:
            return None
        return pids.get(holder)

    def job_processes(self):
        """Live processes (not zombies) that carry this run's mark, other
        than the services and controllers themselves."""
        mark = ("KVRCHAOS_RUN=" + self.run_id).encode()
        keep = set()
        for c in self.ctls:
            if c.svc is not None:
                keep.add(c.svc.pid)
            p = c.controller_pid()
            if p:
                keep.add(p)
        found = []
        for pid in all_pids():
            if pid in keep or pid == os.getpid():
                continue
            env = read_proc(pid, "environ")
            if env and mark in env.split(b"\0") and alive(pid):
                cmd = (read_proc(pid, "cmdline") or b"").replace(b"\0", b" ").decode(errors="replace")
                found.append((pid, cmd.strip()))
        return found

    def stop_all(self, seconds):
        """SIGTERM to every service; SIGKILL after `seconds`. True when all
        stopped in time."""
        for c in self.ctls:
            c.signal_service(signal.SIGTERM)
        ok = True
        deadline = time.time() + seconds
        for c in self.ctls:
            if c.svc is None:
                continue
            if not c.wait_service(max(1, deadline - time.time())):
                ok = False
                c.svc.kill()
                c.svc.wait()
        return ok
