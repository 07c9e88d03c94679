"""The invariants, checked after the final stop from the harness's records,
the queue, the logs and /proc. Each check gives (name, passed, figure,
details)."""

import re
import time

DONE_01 = ("90", "98", "99")
LINE_TIME = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)  ")


class Result:
    def __init__(self, name, passed, figure, details=()):
        self.name, self.passed, self.figure, self.details = name, passed, figure, list(details)


def queue_rows(db):
    t = db.table("KVR500JOB")
    rows = db.run("select JOBDA1, JOBKE2, JOBRTY, coalesce(JOBSTS,''), coalesce(JOBNUM,''), "
                  "coalesce(JOBEDA,'') "
                  "from %s" % t, timeout=10)
    return {r[1]: r for r in rows}


KEY = re.compile(r"\bCHAOS-\d+\b")
ENDED = re.compile(r"Prozess beendet: (\S+) ProcessID (\d+)")
# "Start PGM: <command> Cmd: <image read after the start>", and after it the
# failure of writing the process id when the row could not take it. A claim
# that failed before any process was created has no image (two blanks); a
# start that failed ends with "fehlgeschlagen!"; a full process table or a
# command that cannot be converted has no "Cmd:": none of them is a start.
STARTED = re.compile(r"Start PGM: (.*) Cmd: (\S.*?)( Fehler Update Kvr500Job RC: -?\d+)?$")
ID_WAIT = 10  # seconds from a start whose id was not written to the end of its process
# A successor's line for a row claimed for its start whose process it did
# not find, and the seconds from the claim to a SIGKILL or SIGSTOP of its
# controller within which the start may have been lost with it: the claim
# is committed before the process is created, so a controller halted in
# between leaves a claim that never ran, closed "98" (never run twice).
CLAIM_LOST = re.compile(r"(CHAOS-\d+): claimed for its start at (\d{14}), no process of it found")
CLAIM_WINDOW = 3


def lost_in_claim(main_logs, halts):
    """Keys of rows claimed shortly before a controller was halted, closed
    by a successor as claimed without a process."""
    keys = set()
    for text in _logs(main_logs):
        for key, stamp in CLAIM_LOST.findall(text):
            t = time.mktime(time.strptime(stamp, "%Y%m%d%H%M%S"))
            if any(t <= h < t + 1 + CLAIM_WINDOW for h in halts):
                keys.add(key)
    return keys


def _logs(main_logs):
    return [main_logs] if isinstance(main_logs, str) else list(main_logs)


def logged_starts(main_logs):
    """{row key: starts the controllers logged} (failed starts left out)."""
    out = {}
    for text in _logs(main_logs):
        for line in text.splitlines():
            m = STARTED.search(line)
            if m and not line.endswith("fehlgeschlagen!"):
                for key in set(KEY.findall(m.group(1))):
                    out[key] = out.get(key, 0) + 1
    return out


def _line_time(line):
    t = LINE_TIME.match(line)
    return t and time.mktime(time.strptime(t.group(1), "%Y-%m-%d %H:%M:%S"))


def ended_before_id(main_logs):
    """Keys of rows whose job was created but whose process id the row did
    not take (the database went away), and whose controller then logged the
    end of a process of that image within a few seconds: the row names no
    process, so only the log ties the end to the row."""
    keys = set()
    for text in _logs(main_logs):
        waiting = []  # (time, image, keys) of starts without their id written
        for line in text.splitlines():
            m = STARTED.search(line)
            if m and m.group(3):
                waiting.append((_line_time(line), m.group(2), set(KEY.findall(m.group(1)))))
                continue
            e = ENDED.search(line)
            t = _line_time(line)
            if not e or not t:
                continue
            for w in waiting:
                if w[1] == e.group(1) and w[0] and w[0] <= t <= w[0] + ID_WAIT:
                    keys |= w[2]
                    waiting.remove(w)
                    break
    return keys


def exactly_once(workload, queue, records, main_logs, halts=()):
    """Each harness run type 01 row ran once (missing programs: never, with
    status 90); unreadable rows either ran once or are named in a log. A
    start counts when the job recorded it or a controller logged it: a job
    its controller ended (status 99, or its pid logged as ended when the
    database was away, or its end logged right after a start whose id the
    row did not take) before the job's first line ran, once. `main_logs` is
    one text or a list of them, one per controller. A row claimed right
    before its controller was halted (`halts`: times of a SIGKILL or
    SIGSTOP) and closed "98" as claimed without a process counts as lost
    with its start, not as never started or a wrong failed start."""
    twice, never, bad_named, bad_silent, ran, wrong_90 = [], [], 0, [], 0, []
    bad_ran = cut = lost = 0
    logged = logged_starts(main_logs)
    lost_keys = lost_in_claim(main_logs, halts)
    ended = {pid for text in _logs(main_logs) for _, pid in ENDED.findall(text)}
    ended_keys = ended_before_id(main_logs)
    main_logs = "\n".join(_logs(main_logs))
    for row in workload.rows:
        if row.rty != "01" or row.posted_at is None:
            continue
        starts = [r for r in records.get(row.key, []) if r[0] == "start"]
        n = max(len(starts), logged.get(row.key, 0))
        q = queue.get(row.key)
        status = q[3] if q else "(row gone)"
        if status == "98" and row.key in lost_keys and not starts:
            lost += 1
            continue
        if row.kind == "missing":
            if status != "90":
                wrong_90.append("%s missing program, status %r" % (row.key, status))
            continue
        if n == 1 and (starts or status == "99" or (q and q[4] in ended)
                       or row.key in ended_keys):
            ran += 1
            bad_ran += row.kind == "bad"
            cut += not starts
            continue
        if n > 1:
            twice.append("%s (%s) started %d times (%d recorded, pids %s), status %r"
                         % (row.key, row.kind, n, len(starts), [s[1] for s in starts], status))
        elif row.kind == "bad" and not starts:
            if row.key in main_logs:
                bad_named += 1
            else:
                bad_silent.append("%s unreadable row, not run, not named in a log, status %r"
                                  % (row.key, status))
        else:
            never.append("%s (%s) never started%s, status %r" % (
                row.key, row.kind, " (only logged)" if n else "", status))
    bad = twice + never + bad_silent + wrong_90
    fig = ("%d ran once (%d ended by the controller before their first line), %d twice+, "
           "%d never, %d lost with a controller halted between claim and creation; "
           "unreadable rows: %d ran, %d set aside and named" % (
               ran, cut, len(twice), len(never) + len(bad_silent), lost, bad_ran, bad_named))
    return Result("each due 01 row ran exactly once", not bad, fig, bad)


def start_waits(workload, records):
    """How long due rows waited for their start (a figure only: the faults
    decide it, a hung controller without a watchdog most of all)."""
    waits = []
    for row in workload.rows:
        starts = [r[2] for r in records.get(row.key, []) if r[0] == "start"]
        if row.rty == "01" and row.posted_at and starts:
            waits.append((min(starts) - row.posted_at, row.key))
    if not waits:
        return Result("wait of a due 01 row for its start (figure only)", True, "no rows")
    waits.sort()
    return Result("wait of a due 01 row for its start (figure only)", True,
                  "median %.0f s, longest %.0f s (%s)" % (waits[len(waits) // 2][0], waits[-1][0],
                                                          waits[-1][1]))


def closed_while_running(workload, queue, records):
    """A run type 01 row closed as ended ("98") must not be closed before its
    job's own end (an exec chain or a daemonising job taken for gone)."""
    bad = []
    looked = 0
    for row in workload.rows:
        q = queue.get(row.key)
        if row.rty != "01" or not q or q[3] != "98" or len(q[5]) != 14:
            continue
        ends = [r[2] for r in records.get(row.key, []) if r[0] == "end"]
        if not ends:
            continue
        looked += 1
        closed = time.mktime(time.strptime(q[5], "%Y%m%d%H%M%S"))
        if max(ends) > closed + 2:
            bad.append("%s (%s) closed at %s, its job ended %.0f s later"
                       % (row.key, row.kind, q[5], max(ends) - closed))
    return Result("no row closed while its job still ran", not bad,
                  "%d of %d ended rows closed early" % (len(bad), looked), bad)


def no_leftovers(world):
    procs = world.job_processes()
    return Result("no job process alive after the final stop", not procs,
                  "%d alive" % len(procs), ["pid %d: %s" % p for p in procs])


def decoy_untouched(workload, records):
    sigs = [r for r in records.get("DECOY", []) if r[0] == "signal"]
    alive = workload.decoy is not None and workload.decoy.poll() is None
    details = [] if alive else ["the decoy (pid %d) is gone" % workload.decoy.pid]
    details += ["the decoy got a signal at %s" % time.strftime("%H:%M:%S", time.localtime(s[2]))
                for s in sigs]
    return Result("no process outside the jobs signalled (decoy)", alive and not sigs,
                  "decoy %s, %d signals" % ("alive" if alive else "GONE", len(sigs)), details)


def final_states(workload, queue):
    kinds = {r.key: r for r in workload.rows}
    bad = []
    for key, q in sorted(queue.items()):
        if key in ("CHAOS-DECOY", "VIVOROVOZE STATUSJOB"):
            continue
        rty, sts = q[2], q[3]
        if sts == "01":
            bad.append("%s run type %s still '01' (pid %s) after the final stop" % (key, rty, q[4]))
        elif key in kinds and rty == "01" and kinds[key].posted_at and sts not in DONE_01:
            if kinds[key].kind != "bad":
                bad.append("%s run type 01 ends in status %r" % (key, sts))
    return Result("every row in a final state, none '01'", not bad,
                  "%d rows, %d not final" % (len(queue), len(bad)), bad)


EXPECTED = [
    # (main log line pattern, the message it goes with)
    (re.compile(r"Start PGM: (.*) Cmd: +fehlgeschlagen!$"), "Der Job %s konnte nicht gestartet werden!"),
    (re.compile(r"END PGM: PGM (\S+) wird wegen Laufzeitueberschreitung beendet!"),
     "Programm %s wird wegen Laufzeit"),
    (re.compile(r"CheckDB: \*\*\* Beende Jobs \*\*\*!()"), "Datenbankverbindung unterbrochen%s"),
    (re.compile(r"Alle verwalteten Jobs beenden!()"), "Jobcontroller-Dienst antwortet nicht%s"),
]


# The controller's own line for a message it could put neither into the
# table nor into the fallback file (both away at once): a loss it reports.
KEEP_FAILED = "Fehler beim Schreiben der Nachricht (Msg) in die JOBCTLMSG.log"
CUT_SHORT = 3  # seconds from a message's log line to a SIGKILL that may undo its pass


def messages(logs, stored, kills):
    """Every message the logs (name, text) show was posted stands in
    KVR200MSG or in the fallback file (counted per text). Excused are as
    many as the logs report lost because neither could be written, and those
    logged by a controller SIGKILLed (`kills`: name -> times) within a few
    seconds after: its pass, and the message with it, may not have been
    committed. A loss beyond those is silent."""
    want, cut = {}, {}
    reported = 0
    for name, text in logs:
        for line in text.splitlines():
            reported += KEEP_FAILED in line
            for pat, msg in EXPECTED:
                m = pat.search(line)
                if not m:
                    continue
                key = msg % m.group(1)
                if len(key) > 100:  # refused as too long: posted nowhere
                    continue
                want[key] = want.get(key, 0) + 1
                t = LINE_TIME.match(line)
                t = t and time.mktime(time.strptime(t.group(1), "%Y-%m-%d %H:%M:%S"))
                if t and any(t <= k < t + CUT_SHORT for k in kills.get(name, [])):
                    cut[key] = cut.get(key, 0) + 1
    missing = []
    total = lost = lost_cut = 0
    for msg, n in sorted(want.items()):
        total += n
        have = stored.count(msg)
        if have < n:
            lost += n - have
            lost_cut += min(n - have, cut.get(msg, 0))
            missing.append("%dx posted, %dx stored: %s" % (n, have, msg))
    reported = min(reported, lost - lost_cut)
    silent = lost - lost_cut - reported
    fig = ("%d expected, %d missing, %d reported lost (table and fallback file away), "
           "%d in a pass cut short by SIGKILL" % (total, silent, reported, lost_cut))
    return Result("every posted message in KVR200MSG or the fallback file", not silent, fig,
                  missing)


STAMP = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)  Service kontaktiert!")


def contact_times(ctl):
    """The times of the passes in a controller's debug log, to the second."""
    times = []
    for line in ctl.log_text("KVRJOBDBG").splitlines():
        m = STAMP.match(line)
        if m:
            times.append(time.mktime(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S")))
    return times


def pass_rate(world, bound, window=10):
    """The most passes a controller made within `window` seconds: a loop
    that no longer waits between passes (two controllers waking each other,
    a wait that returns at once) burns a core while it looks busy."""
    figs, bad = [], []
    for c in world.ctls:
        times = contact_times(c)
        most, at, first = 0, None, 0
        for i, t in enumerate(times):
            while t - times[first] >= window:
                first += 1
            if i - first + 1 > most:
                most, at = i - first + 1, times[first]
        figs.append("%s %d" % (c.name, most))
        if most > bound:
            bad.append("%s: %d passes within %d s from %s" % (
                c.name, most, window, time.strftime("%H:%M:%S", time.localtime(at))))
    return Result("at most %d passes within %d s" % (bound, window), not bad,
                  ", ".join(figs), bad)


START = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)  Start PGM: ")
BANNER = re.compile(r"\*\* (Clusterdienst: JOBCONTROLLER \d+\.|Jobcontroller KVRJOBSTR wurde) "
                    r"gestartet \*\*")


def one_worker(world, window=5):
    """Only the controller holding the queue starts jobs: starts of the one,
    then the other, then the same process of the first again within
    `window` seconds mean both worked the queue at once. A takeover goes one
    way only; the first controller starting jobs again through a new
    process (its old one killed, the other's service gone meanwhile) is two
    takeovers, not two workers."""
    starts = []
    for c in world.ctls:
        life = 0  # the controller's process, counted by its banner lines
        for line in c.log_text("KVRJOBCTL").splitlines():
            life += bool(BANNER.search(line))
            m = START.match(line)
            if m:
                starts.append((time.mktime(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S")),
                               c.name, life))
    # The log times are whole seconds: a takeover within the second the
    # other was killed would look like an overlap, so only starts in three
    # different seconds count.
    seconds = sorted(set(starts))
    both = []
    for (t0, a, la), (t1, b, _), (t2, c, lc) in zip(seconds, seconds[1:], seconds[2:]):
        if (a == c != b and la == lc and t0 < t1 < t2 <= t0 + window
                and (not both or t0 > both[-1][0] + window)):
            both.append((t0, a, b))
    return Result("one controller at a time starts jobs", not both,
                  "%d starts, %d times both within %d s" % (len(starts), len(both), window),
                  ["%s and %s both started jobs around %s" % (
                      a, b, time.strftime("%H:%M:%S", time.localtime(t))) for t, a, b in both])


def pass_gaps(world, excused, bound, end_time):
    """Longest gap between two service contacts in each controller's debug
    log, leaving out gaps that overlap a stop made on purpose."""
    results = []
    for c in world.ctls:
        times = contact_times(c)
        ivs = [(a, b if b is not None else end_time) for a, b in excused.get(c.name, [])]
        worst, at = 0, None
        for a, b in zip(times, times[1:]):
            if any(s <= b and e >= a - 1 for s, e in ivs):
                continue
            if b - a > worst:
                worst, at = b - a, a
        results.append((c.name, worst, at, len(times)))
    bad = ["%s: %.0f s without a pass from %s" % (n, w, time.strftime("%H:%M:%S", time.localtime(a)))
           for n, w, a, _ in results if w > bound]
    fig = ", ".join("%s %.0f s (%d contacts)" % (n, w, k) for n, w, _, k in results)
    return Result("longest gap between passes <= %d s" % bound, not bad, fig, bad)


WARM_UP = 10  # seconds after a controller is first seen: start-up allocations
MIN_SPAN = 15  # seconds between a controller's first and last sample to compare them


def resources(samples, warm_up=WARM_UP, min_span=MIN_SPAN):
    """For each controller process (samples keyed by (pid, first seen)):
    RSS and descriptors at its last sample against its first sample after
    warming up. Fails when no controller was sampled long enough to compare:
    a check that looked at nothing proves nothing."""
    bad, figs = [], []
    for (pid, _), s in sorted(samples.items(), key=lambda kv: kv[1][0][0]):
        s = [x for x in s if x[0] - s[0][0] >= warm_up]
        if len(s) < 2 or s[-1][0] - s[0][0] < min_span:
            continue
        (t0, r0, f0, name), (t1, r1, f1, _) = s[0], s[-1]
        figs.append((t1 - t0, "%s pid %d: RSS %d->%d kB, fds %d->%d over %.0f s"
                     % (name, pid, r0, r1, f0, f1, t1 - t0)))
        if r1 > r0 * 1.5 + 8192 or f1 > f0 + 8:
            bad.append(figs[-1][1])
    name = "controller RSS and fds at the end within bounds of the start"
    if not figs:
        why = ("no controller process found" if not samples else
               "none of %d controller processes lived %d s past start-up" % (len(samples),
                                                                            warm_up + min_span))
        return Result(name, False, why, [why])
    longest = max(figs)
    fig = "%d of %d controller processes looked at, longest %s" % (len(figs), len(samples),
                                                                   longest[1])
    return Result(name, not bad, fig, bad)
