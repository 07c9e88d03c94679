-- The tables of the KVSYSTEM schema. Text columns compare byte by byte
-- (COLLATE "C"); Oracle DATE columns are timestamps. Safe to apply twice.
CREATE SCHEMA IF NOT EXISTS kvsystem;

-- KVSYSTEM.KVR500JOB: the job queue
CREATE TABLE IF NOT EXISTS kvsystem.kvr500job (
  jobda1 varchar(14) COLLATE "C",
  jobke2 varchar(32) COLLATE "C",
  joburv varchar(256) COLLATE "C",
  jobcmd varchar(256) COLLATE "C",
  jobcdi varchar(256) COLLATE "C",
  jobprm varchar(512) COLLATE "C",
  jobrus varchar(128) COLLATE "C",
  jobmrt integer,
  jobrty varchar(2) COLLATE "C",
  jobpri integer,
  jobdls integer,
  jobdlt varchar(14) COLLATE "C",
  jobbem varchar(256) COLLATE "C",
  jobscd varchar(10) COLLATE "C",
  jobsts varchar(2) COLLATE "C",
  jobnam varchar(64) COLLATE "C",
  jobusr varchar(128) COLLATE "C",
  jobnum varchar(8) COLLATE "C",
  jobsda varchar(14) COLLATE "C",
  jobeda varchar(14) COLLATE "C",
  jobnrt varchar(14) COLLATE "C",
  jobstv integer,
  PRIMARY KEY (jobda1, jobke2)
);
CREATE INDEX IF NOT EXISTS kvr500job_rty_sts ON kvsystem.kvr500job (jobrty, jobsts, jobda1, jobke2);
CREATE INDEX IF NOT EXISTS kvr500job_sts ON kvsystem.kvr500job (jobsts, jobda1, jobke2);
-- Rows with a run request, which every pass looks for.
CREATE INDEX IF NOT EXISTS kvr500job_request ON kvsystem.kvr500job (jobrty, jobda1, jobke2)
  WHERE jobdls = 1;
-- A row that may have become due is told to the controller at once: every
-- statement that inserts rows, and every update that changes a value of the
-- columns that make a row due, notifies the channel kvr500job, which the
-- controller listens on while it waits between passes. An update that
-- writes the same values again (the controller's status row, every pass)
-- notifies nobody. Notifications carry no payload; those of one
-- transaction arrive as one.
CREATE OR REPLACE FUNCTION kvsystem.kvr500job_notify() RETURNS trigger
  LANGUAGE plpgsql AS 'BEGIN PERFORM pg_notify(''kvr500job'', ''''); RETURN NULL; END';
CREATE OR REPLACE TRIGGER kvr500job_notify
  AFTER INSERT ON kvsystem.kvr500job
  FOR EACH STATEMENT EXECUTE FUNCTION kvsystem.kvr500job_notify();
CREATE OR REPLACE TRIGGER kvr500job_notify_change
  AFTER UPDATE OF jobsts, jobdls, jobnrt, jobdlt ON kvsystem.kvr500job
  FOR EACH ROW WHEN (OLD.jobsts IS DISTINCT FROM NEW.jobsts OR OLD.jobdls IS DISTINCT FROM NEW.jobdls
    OR OLD.jobnrt IS DISTINCT FROM NEW.jobnrt OR OLD.jobdlt IS DISTINCT FROM NEW.jobdlt)
  EXECUTE FUNCTION kvsystem.kvr500job_notify();

-- KVSYSTEM.KVR200MSG: user messages
CREATE TABLE IF NOT EXISTS kvsystem.kvr200msg (
  msguid varchar(24) COLLATE "C",
  msgtnr integer,
  msgtxt varchar(250) COLLATE "C",
  msglnk varchar(250) COLLATE "C",
  msgmod varchar(50) COLLATE "C",
  msgsrc varchar(50) COLLATE "C",
  msgsch varchar(20) COLLATE "C",
  msgcat varchar(25) COLLATE "C",
  msgadr varchar(10) COLLATE "C",
  msgber varchar(20) COLLATE "C",
  msgpri integer,
  msgtyp varchar(5) COLLATE "C",
  msgbrk varchar(5) COLLATE "C",
  msgval integer,
  msgdbg varchar(1024) COLLATE "C",
  msgmnd varchar(5) COLLATE "C",
  msgliz varchar(5) COLLATE "C",
  msgtin varchar(14) COLLATE "C",
  msgsts integer,
  msgerf varchar(50) COLLATE "C",
  PRIMARY KEY (msguid)
);

-- KVSYSTEM.KVR112MND: clients
CREATE TABLE IF NOT EXISTS kvsystem.kvr112mnd (
  mndliz varchar(5) COLLATE "C",
  mndnum varchar(5) COLLATE "C",
  mndsch varchar(20) COLLATE "C",
  mndna1 varchar(50) COLLATE "C",
  mndkon integer,
  mndt01 integer,
  mndt02 integer,
  mndt03 integer,
  mndt04 integer,
  mndt05 integer,
  mndt06 integer,
  mndt07 integer,
  mndt08 integer,
  mndt09 integer,
  mndt10 integer,
  mndt11 integer,
  mndt12 integer,
  mndd01 integer,
  mndd02 integer,
  mndd03 integer,
  mndd04 integer,
  mndd05 integer,
  mndd06 integer,
  mndd07 integer,
  mndd08 integer,
  mndd09 integer,
  mndd10 integer,
  mndd11 integer,
  mndd12 integer,
  PRIMARY KEY (mndliz, mndnum)
);

-- KVSYSTEM.KVR139TPL: time plans of timed jobs
CREATE TABLE IF NOT EXISTS kvsystem.kvr139tpl (
  tplzpl varchar(10) COLLATE "C",
  tplwtg integer,
  tplvon integer,
  tplbis integer,
  tplvrz integer,
  tplsta integer,
  PRIMARY KEY (tplzpl, tplwtg, tplvon)
);

-- KVSYSTEM.KVR141DZT: time plans of timed jobs (second kind)
CREATE TABLE IF NOT EXISTS kvsystem.kvr141dzt (
  dztzpl varchar(10) COLLATE "C",
  dztwtg integer,
  dztvon integer,
  dztbis integer,
  dztvrz integer,
  dztsta integer,
  PRIMARY KEY (dztzpl, dztwtg, dztvon)
);

-- KVSYSTEM.KVR800SCD: schedules of run type 07 jobs
CREATE TABLE IF NOT EXISTS kvsystem.kvr800scd (
  scdnam varchar(50) COLLATE "C",
  scdsbe varchar(8) COLLATE "C",
  scdliz varchar(5) COLLATE "C",
  scdmnd varchar(5) COLLATE "C",
  scdart integer,
  scdtyp integer,
  scdtag varchar(7) COLLATE "C",
  scddtm timestamp,
  scduhr timestamp,
  scddwh varchar(50) COLLATE "C",
  scdbis timestamp,
  PRIMARY KEY (scdnam, scdsbe, scdliz, scdmnd)
);

-- KVSYSTEM.KVRAUTODNL: downloads of the terminal component
CREATE TABLE IF NOT EXISTS kvsystem.kvrautodnl (
  dnlkey integer,
  dnlpos integer,
  dnlusr varchar(50) COLLATE "C",
  dnlsta integer,
  dnlerr integer,
  PRIMARY KEY (dnlkey, dnlpos)
);
CREATE INDEX IF NOT EXISTS kvrautodnl_usr_key ON kvsystem.kvrautodnl (dnlusr, dnlkey);

-- KVSYSTEM.KVR510RUN: the controller's record of each run of a job (one row
-- per start that ended), kept for a number of days.
CREATE TABLE IF NOT EXISTS kvsystem.kvr510run (
  runda1 varchar(14) COLLATE "C",
  runke2 varchar(32) COLLATE "C",
  runsda varchar(14) COLLATE "C",
  runnum varchar(8) COLLATE "C",
  runrty varchar(2) COLLATE "C",
  runcmd varchar(256) COLLATE "C",
  runeda varchar(14) COLLATE "C",
  runend varchar(10) COLLATE "C",
  runcod integer,
  runout varchar(256) COLLATE "C",
  PRIMARY KEY (runda1, runke2, runsda, runnum)
);
CREATE INDEX IF NOT EXISTS kvr510run_eda ON kvsystem.kvr510run (runeda);
