-- The tables of the KVSYSTEM schema, one file for every schema: table T of
-- schema S is stored as "S.T". Oracle DATE columns hold text
-- 'YYYY-MM-DD HH:MM:SS'. Safe to apply twice.

-- KVSYSTEM.KVR500JOB: the job queue
CREATE TABLE IF NOT EXISTS "KVSYSTEM.KVR500JOB" (
  JOBDA1 varchar(14) NOT NULL,
  JOBKE2 varchar(32) NOT NULL,
  JOBURV varchar(256),
  JOBCMD varchar(256),
  JOBCDI varchar(256),
  JOBPRM varchar(512),
  JOBRUS varchar(128),
  JOBMRT integer,
  JOBRTY varchar(2),
  JOBPRI integer,
  JOBDLS integer,
  JOBDLT varchar(14),
  JOBBEM varchar(256),
  JOBSCD varchar(10),
  JOBSTS varchar(2),
  JOBNAM varchar(64),
  JOBUSR varchar(128),
  JOBNUM varchar(8),
  JOBSDA varchar(14),
  JOBEDA varchar(14),
  JOBNRT varchar(14),
  JOBSTV integer,
  PRIMARY KEY (JOBDA1, JOBKE2)
);
CREATE INDEX IF NOT EXISTS "KVSYSTEM.KVR500JOB_RTY_STS" ON "KVSYSTEM.KVR500JOB" (JOBRTY, JOBSTS, JOBDA1, JOBKE2);
CREATE INDEX IF NOT EXISTS "KVSYSTEM.KVR500JOB_STS" ON "KVSYSTEM.KVR500JOB" (JOBSTS, JOBDA1, JOBKE2);
-- The waiting rows of run types 01 and 05: their selections test the status
-- with an OR, for which SQLite would otherwise read every row of the run type.
CREATE INDEX IF NOT EXISTS "KVSYSTEM.KVR500JOB_WAITING" ON "KVSYSTEM.KVR500JOB" (JOBRTY, JOBDA1, JOBKE2)
  WHERE JOBSTS IS NULL OR JOBSTS = '  ';
-- The waiting rows of the timed run types in the order of their next run:
-- their selection tests the next run with an OR, and the columns here let
-- SQLite skip the rows not due without reading them.
CREATE INDEX IF NOT EXISTS "KVSYSTEM.KVR500JOB_NEXT_RUN" ON "KVSYSTEM.KVR500JOB" (JOBRTY, JOBNRT, JOBURV, JOBDA1, JOBKE2)
  WHERE JOBSTS IS NULL OR JOBSTS = '  ' OR JOBSTS = '00';
-- Rows with a run request, which every pass looks for.
CREATE INDEX IF NOT EXISTS "KVSYSTEM.KVR500JOB_REQUEST" ON "KVSYSTEM.KVR500JOB" (JOBRTY, JOBDA1, JOBKE2)
  WHERE JOBDLS = 1;

-- KVSYSTEM.KVR200MSG: user messages
CREATE TABLE IF NOT EXISTS "KVSYSTEM.KVR200MSG" (
  MSGUID varchar(24) NOT NULL,
  MSGTNR integer,
  MSGTXT varchar(250),
  MSGLNK varchar(250),
  MSGMOD varchar(50),
  MSGSRC varchar(50),
  MSGSCH varchar(20),
  MSGCAT varchar(25),
  MSGADR varchar(10),
  MSGBER varchar(20),
  MSGPRI integer,
  MSGTYP varchar(5),
  MSGBRK varchar(5),
  MSGVAL integer,
  MSGDBG varchar(1024),
  MSGMND varchar(5),
  MSGLIZ varchar(5),
  MSGTIN varchar(14),
  MSGSTS integer,
  MSGERF varchar(50),
  PRIMARY KEY (MSGUID)
);

-- KVSYSTEM.KVR112MND: clients
CREATE TABLE IF NOT EXISTS "KVSYSTEM.KVR112MND" (
  MNDLIZ varchar(5),
  MNDNUM varchar(5),
  MNDSCH varchar(20),
  MNDNA1 varchar(50),
  MNDKON integer,
  MNDT01 integer,
  MNDT02 integer,
  MNDT03 integer,
  MNDT04 integer,
  MNDT05 integer,
  MNDT06 integer,
  MNDT07 integer,
  MNDT08 integer,
  MNDT09 integer,
  MNDT10 integer,
  MNDT11 integer,
  MNDT12 integer,
  MNDD01 integer,
  MNDD02 integer,
  MNDD03 integer,
  MNDD04 integer,
  MNDD05 integer,
  MNDD06 integer,
  MNDD07 integer,
  MNDD08 integer,
  MNDD09 integer,
  MNDD10 integer,
  MNDD11 integer,
  MNDD12 integer,
  PRIMARY KEY (MNDLIZ, MNDNUM)
);

-- KVSYSTEM.KVR139TPL: time plans of timed jobs
CREATE TABLE IF NOT EXISTS "KVSYSTEM.KVR139TPL" (
  TPLZPL varchar(10) NOT NULL,
  TPLWTG integer NOT NULL,
  TPLVON integer NOT NULL,
  TPLBIS integer,
  TPLVRZ integer,
  TPLSTA integer,
  PRIMARY KEY (TPLZPL, TPLWTG, TPLVON)
);

-- KVSYSTEM.KVR141DZT: time plans of timed jobs (second kind)
CREATE TABLE IF NOT EXISTS "KVSYSTEM.KVR141DZT" (
  DZTZPL varchar(10) NOT NULL,
  DZTWTG integer NOT NULL,
  DZTVON integer NOT NULL,
  DZTBIS integer,
  DZTVRZ integer,
  DZTSTA integer,
  PRIMARY KEY (DZTZPL, DZTWTG, DZTVON)
);

-- KVSYSTEM.KVR800SCD: schedules of run type 07 jobs
CREATE TABLE IF NOT EXISTS "KVSYSTEM.KVR800SCD" (
  SCDNAM varchar(50) NOT NULL,
  SCDSBE varchar(8) NOT NULL,
  SCDLIZ varchar(5) NOT NULL,
  SCDMND varchar(5) NOT NULL,
  SCDART integer,
  SCDTYP integer,
  SCDTAG varchar(7),
  SCDDTM text,
  SCDUHR text,
  SCDDWH varchar(50),
  SCDBIS text,
  PRIMARY KEY (SCDNAM, SCDSBE, SCDLIZ, SCDMND)
);

-- KVSYSTEM.KVRAUTODNL: downloads of the terminal component
CREATE TABLE IF NOT EXISTS "KVSYSTEM.KVRAUTODNL" (
  DNLKEY integer,
  DNLPOS integer,
  DNLUSR varchar(50),
  DNLSTA integer,
  DNLERR integer,
  PRIMARY KEY (DNLKEY, DNLPOS)
);
CREATE INDEX IF NOT EXISTS "KVSYSTEM.KVRAUTODNL_USR_KEY" ON "KVSYSTEM.KVRAUTODNL" (DNLUSR, DNLKEY);

-- KVSYSTEM.KVR510RUN: the controller's record of each run of a job (one row
-- per start that ended), kept for a number of days.
CREATE TABLE IF NOT EXISTS "KVSYSTEM.KVR510RUN" (
  RUNDA1 varchar(14) NOT NULL,
  RUNKE2 varchar(32) NOT NULL,
  RUNSDA varchar(14) NOT NULL,
  RUNNUM varchar(8) NOT NULL,
  RUNRTY varchar(2),
  RUNCMD varchar(256),
  RUNEDA varchar(14),
  RUNEND varchar(10),
  RUNCOD integer,
  RUNOUT varchar(256),
  PRIMARY KEY (RUNDA1, RUNKE2, RUNSDA, RUNNUM)
);
CREATE INDEX IF NOT EXISTS "KVSYSTEM.KVR510RUN_EDA" ON "KVSYSTEM.KVR510RUN" (RUNEDA);
