// The statement texts the system sends, as data for the translation and
// conformance tests: the session's, the job table's, the selections (with
// the exclusion list "' '"), the message insert, the download count, and the
// readers of the timed, scheduled and closing jobs.
#pragma once

#include <vector>

namespace kvr::test {

struct SystemStatement {
  const char* name;
  const char* text;
  int inputs;
  int outputs;
  bool rownum;
};

inline const std::vector<SystemStatement>& SystemStatements() {
  static const std::vector<SystemStatement> kAll = {
      {"SetSchema", "ALTER SESSION SET CURRENT_SCHEMA=KVSYSTEM", 0, 0, false},
      {"UpdateJobRun",
       "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0,JOBNAM=:b1,JOBUSR=:b2,JOBNUM=:b3,JOBSDA=:b4,"
       "JOBEDA=:b5,JOBSTV=:b6 where (JOBDA1=:b7 and JOBKE2=:b8)",
       9, 0, false},
      {"UpdateJobStatus",
       "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0 where (JOBDA1=:b1 and JOBKE2=:b2)", 3, 0, false},
      {"InsertJob",
       "insert into KVSYSTEM.KVR500JOB (JobDa1,JobKe2,JobUrv,JobCmd,JobMrt,JobRty,JobStv) values "
       "(:b0,:b1,:b2,:b3,:b4,:b5,0)",
       6, 0, false},
      {"DeleteJob", "delete  from KVSYSTEM.KVR500JOB  where (JOBDA1=:b0 and JOBKE2=:b1)", 2, 0,
       false},
      {"DeleteExpiredRT01Jobs",
       "delete  from KVSYSTEM.KVR500JOB  where (((JOBRTY='01' and "
       "JOBDA1<=to_char((sysdate-30),'yyyymmdd')) and JOBDA1<>'20010101120000') and "
       "JOBKE2<>'MAP VERARBEITUNG')",
       0, 0, false},
      {"ResetRT04StartAttempts",
       "update KVSYSTEM.KVR500JOB  set JOBSTV=0 where (JOBRTY='04' and JOBSTV>1)", 0, 0, false},
      {"UpdateJobNextRun",
       "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0,JOBNRT=:b1 where (JOBDA1=:b2 and JOBKE2=:b3)", 4,
       0, false},
      {"UpdateJobStatusDls",
       "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0,JOBDLS=:b1 where (JOBDA1=:b2 and JOBKE2=:b3)", 4,
       0, false},
      {"RescheduleJob",
       "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0,JOBNRT=:b1,JOBSTV=0 where (JOBDA1=:b2 and "
       "JOBKE2=:b3)",
       4, 0, false},
      {"InsertTimedJob",
       "insert into KVSYSTEM.KVR500JOB (JobDa1,JobKe2,JobUrv,JobCmd,JobRty,JobStv,JobNrt) values "
       "(:b0,:b1,:b2,:b3,:b4,:b5,:b6)",
       7, 0, false},
      {"InsertTimedJobDls",
       "insert into KVSYSTEM.KVR500JOB (JobDa1,JobKe2,JobUrv,JobCmd,JobRty,JobStv,JobNrt,JobDls) "
       "values (:b0,:b1,:b2,:b3,:b4,:b5,:b6,:b7)",
       8, 0, false},
      {"InsertFullJob",
       "insert into KVSYSTEM.KVR500JOB (JobDa1,JobKe2,JobUrv,JobCmd,JobCdi,JobPrm,JobRus,JobMrt,"
       "JobRty,JobPri,JobDls,JobDlt,JobBem,JobScd,JobSts,JobNam,JobUsr,JobNum,JobSda,JobEda,JobNrt,"
       "JobStv) values (:b0,:b1,:b2,:b3,:b4,:b5,:b6,:b7,:b8,:b9,:b10,:b11,:b12,:b13,:b14,:b15,"
       ":b16,:b17,:b18,:b19,:b20,:b21)",
       22, 0, false},
      {"StartMAPJob",
       "update KVSYSTEM.KVR500JOB  set JOBSTS='  ',JOBSDA='',JOBEDA='',JOBSTV=0 where "
       "(((JOBDA1=:b0 and JOBKE2=:b1) and JOBPRM>'0') and JOBSTS>'90')",
       2, 0, false},
      {"StartMAPDeleteJob",
       "update KVSYSTEM.KVR500JOB  set JOBSTS='  ',JOBSDA='',JOBEDA='',JOBPRM='2',JOBSTV=0 where "
       "((JOBDA1=:b0 and JOBKE2=:b1) and JOBSTS>'90')",
       2, 0, false},
      {"RunningJobsCursor",
       "select JOBDA1 ,JOBKE2 ,JOBURV ,JOBRTY ,JOBSTS ,JOBNAM ,JOBUSR ,JOBNUM ,JOBSDA ,JOBEDA "
       ",JOBMRT ,JOBSTV  from KVSYSTEM.KVR500JOB where (JOBSTS=:b0 and JOBRTY<>'06')",
       1, 0, false},
      {"RunTypeCursor",
       "select JOBDA1 ,JOBKE2 ,JOBURV ,JOBRTY ,JOBSTS ,JOBNAM ,JOBUSR ,JOBNUM ,JOBSDA ,JOBEDA "
       ",JOBMRT ,JOBSTV  from KVSYSTEM.KVR500JOB where JOBRTY=:b0",
       1, 0, false},
      {"TimedJobCursor",
       "select JOBDA1 ,JOBKE2 ,JOBURV ,JOBCMD ,JOBMRT ,JOBRTY ,JOBPRI ,JOBSCD ,JOBSTS ,JOBSDA "
       ",JOBEDA ,JOBNRT ,JOBSTV , coalesce (JOBDLS,0)  from KvSystem.Kvr500Job where JobRty=:b0",
       1, 0, false},
      {"Select05",
       " SELECT       JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTS,JOBSDA,JOBEDA,JOBSTV "
       " FROM KVSYSTEM.KVR500JOB "
       " WHERE JOBRTY = '05' "
       " AND  (JOBDLT is null     OR JOBDLT <= to_char(sysdate, 'yyyymmddhh24miss')) "
       " AND  (JOBSTS is NULL     OR JOBSTS =  '  ') "
       " AND   ROWNUM = 1 "
       " AND ((JOBURV is not null AND JOBURV NOT IN ( ' ' )) or (JOBURV is null)) "
       " ORDER BY JOBDA1, JOBKE2 ",
       0, 0, true},
      {"Select04",
       " SELECT       JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTS,JOBSDA,JOBEDA,JOBSTV "
       " FROM KVSYSTEM.KVR500JOB "
       " WHERE JOBRTY = '04' "
       " AND  (JOBSTS is NULL OR JOBSTS = '  ' OR JOBSTS >= '90') "
       " AND   JOBSTV <= 10 "
       " AND   ROWNUM = 1 "
       " AND ((JOBURV is not null AND JOBURV NOT IN ( ' ' )) or (JOBURV is null)) "
       " ORDER BY JOBDA1, JOBKE2",
       0, 0, true},
      {"Select01",
       " SELECT       JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTS,JOBSDA,JOBEDA,JOBSTV "
       " FROM KVSYSTEM.KVR500JOB "
       " WHERE JOBRTY = '01' "
       " AND   (JOBSTS is NULL OR JOBSTS = '  ') "
       " AND   ROWNUM = 1 "
       " AND   ((JOBURV is not null AND JOBURV NOT IN ( 'ORIGIN1', 'O''X' )) or (JOBURV is null)) "
       " ORDER BY JOBDA1, JOBKE2 ",
       0, 0, true},
      {"Select09",
       " SELECT JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTS,JOBSDA,JOBEDA,JOBSTV "
       " FROM KVSYSTEM.KVR500JOB "
       " WHERE JOBRTY = '09' "
       " AND  (JOBSTS is NULL OR JOBSTS = '  ' OR JOBSTS >= '90') "
       " AND   ROWNUM = 1 "
       " AND ((JOBURV is not null AND JOBURV NOT IN ( NULL )) or (JOBURV is null)) "
       " ORDER BY JOBDA1, JOBKE2",
       0, 0, true},
      {"ReadKvr500Job",
       "SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY,        JOBSTS, JOBSDA, JOBEDA, "
       "JOBSTV   FROM KVSYSTEM.KVR500JOB  WHERE JOBRTY = '03'    AND (JOBSTS is NULL OR JOBSTS = "
       "'  ' OR JOBSTS = '00')    AND (JOBNRT <= '20261208120000' OR JOBNRT IS NULL)    AND "
       "((JOBURV is not null AND JOBURV NOT IN ( ' ' )) OR         (JOBURV is null))  ORDER BY "
       "JOBNRT, JOBDA1, JOBKE2 ",
       0, 0, false},
      {"MessageInsert",
       "INSERT INTO KVSYSTEM.KVR200MSG (MSGUID, MSGTNR, MSGTXT,  MSGLNK, MSGMOD, MSGSRC,  MSGSCH, "
       "MSGCAT, MSGADR,  MSGBER, MSGPRI, MSGTYP,  MSGBRK, MSGVAL, MSGDBG,  MSGMND, MSGLIZ, MSGTIN, "
       " "
       "MSGSTS, MSGERF) VALUES ('17650981234711',   0, '08.12.2026 00:43:12 Programm x.exe wird "
       "wegen Laufzeit\xFC"
       "berschreitung abgebrochen!',  '', 'main', 'KVRJOBSTR',  'KVSYSTEM', "
       "'WARNHINWEISE', 'GEN',  'ORBANEX',   0, '1',  '',   1, '',  '99999', '99999', "
       "'20261208004312',    0, 'SYSTEM')",
       0, 0, false},
      {"CountUnfinishedDnlJobs",
       "select count(*)  into :b0:b1  from KVSYSTEM.KVRAUTODNL where (DNLKEY=(select "
       "max(dnlkey)  from kvsystem.kvrautodnl where dnlusr<>'DNL-Plan Antrag') and (DNLSTA<7 or "
       "(DNLSTA=7 and DNLERR>10)))",
       0, 1, false},
      {"TimePlanWindow139",
       "select TPLVON ,TPLBIS ,TPLVRZ into :b0:b1,:b2:b3,:b4:b5  from KVSYSTEM.KVR139TPL where "
       "((((TPLZPL=:b6 and TPLWTG=:b7) and TPLVON<=:b8) and TPLBIS>:b8) and TPLSTA=1)",
       3, 3, false},
      {"TimePlanWindow141",
       "select DZTVON ,DZTBIS ,DZTVRZ into :b0:b1,:b2:b3,:b4:b5  from KVSYSTEM.KVR141DZT where "
       "((((DZTZPL=:b6 and DZTWTG=:b7) and DZTVON<=:b8) and DZTBIS>:b8) and DZTSTA=1)",
       3, 3, false},
      {"ReadKvr800Scd",
       "select SCDART ,SCDTYP ,SCDTAG ,TO_CHAR(SCDDTM,'yyyymmdd') ,TO_CHAR(SCDUHR,'HH24MISS') "
       ",SCDDWH ,TO_CHAR(SCDBIS,'yyyymmdd') into :b0:b1,:b2:b3,:b4:b5,:b6:b7,:b8:b9,:b10:b11,"
       ":b12:b13  from KVSYSTEM.KVR800SCD where (((SCDLIZ=:b14 and SCDMND=:b15) and SCDNAM=:b16) "
       "and SCDSBE=:b17)",
       4, 7, false},
      {"ReadKvr112Mnd",
       "select MNDT01 ,MNDT02 ,MNDT03 ,MNDT04 ,MNDT05 ,MNDT06 ,MNDT07 ,MNDT08 ,MNDT09 ,MNDT10 "
       ",MNDT11 ,MNDT12 ,MNDD01 ,MNDD02 ,MNDD03 ,MNDD04 ,MNDD05 ,MNDD06 ,MNDD07 ,MNDD08 ,MNDD09 "
       ",MNDD10 ,MNDD11 ,MNDD12 into :b0:b1,:b2:b3,:b4:b5,:b6:b7,:b8:b9,:b10:b11,:b12:b13,"
       ":b14:b15,:b16:b17,:b18:b19,:b20:b21,:b22:b23,:b24:b25,:b26:b27,:b28:b29,:b30:b31,:b32:b33,"
       ":b34:b35,:b36:b37,:b38:b39,:b40:b41,:b42:b43,:b44:b45,:b46:b47  from KvSystem.Kvr112Mnd "
       "where ((MndSch=:b48 and MNDKON=0) and (((((((((((((((((((((((MNDT01+MNDT02)+MNDT03)+MNDT04)"
       "+MNDT05)+MNDT06)+MNDT07)+MNDT08)+MNDT09)+MNDT10)+MNDT11)+MNDT12)+MNDD01)+MNDD02)+MNDD03)"
       "+MNDD04)+MNDD05)+MNDD06)+MNDD07)+MNDD08)+MNDD09)+MNDD10)+MNDD11)+MNDD12)>0)",
       1, 24, false},
      {"FirstClientTimes",
       "select MNDT01 ,MNDT02 ,MNDT03 ,MNDT04 ,MNDT05 ,MNDT06 ,MNDT07 ,MNDT08 ,MNDT09 ,MNDT10 "
       ",MNDT11 ,MNDT12 ,MNDD01 ,MNDD02 ,MNDD03 ,MNDD04 ,MNDD05 ,MNDD06 ,MNDD07 ,MNDD08 ,MNDD09 "
       ",MNDD10 ,MNDD11 ,MNDD12  from KvSystem.Kvr112Mnd where (MNDKON=0 and (((((((((((((((((((((("
       "(MNDT01+MNDT02)+MNDT03)+MNDT04)+MNDT05)+MNDT06)+MNDT07)+MNDT08)+MNDT09)+MNDT10)+MNDT11)"
       "+MNDT12)+MNDD01)+MNDD02)+MNDD03)+MNDD04)+MNDD05)+MNDD06)+MNDD07)+MNDD08)+MNDD09)+MNDD10)"
       "+MNDD11)+MNDD12)>0) order by MNDNUM",
       0, 0, false},
      {"SetTimingOfNewJob",
       "update KVSYSTEM.KVR500JOB  set JOBSCD=:b0,JOBDLS=:b1,JOBSTS=:b2 where (JOBDA1=:b3 and "
       "JOBKE2=:b4)",
       5, 0, false},
      {"Select09PassingOver",
       " SELECT JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTS,JOBSDA,JOBEDA,JOBSTV "
       " FROM KVSYSTEM.KVR500JOB "
       " WHERE JOBRTY = '09' "
       " AND  (JOBSTS is NULL OR JOBSTS = '  ' OR JOBSTS >= '90') "
       " AND   ROWNUM = 1 "
       " AND ((JOBURV is not null AND JOBURV NOT IN ( ' ' )) or (JOBURV is null)) "
       " AND NOT (JOBDA1 = '20260101000000' AND JOBKE2 = 'A''1') "
       " AND NOT (JOBDA1 = '20260101000000' AND JOBKE2 = 'B') "
       " ORDER BY JOBDA1, JOBKE2",
       0, 0, true},
      {"ClientCursor",
       "select MndSch ,MndLiz ,MndNum  from KvSystem.Kvr112Mnd where (MndKon<>1 and "
       "MndNa1<>'Firma 1')",
       0, 0, false},
      {"ClientCheck", "Select Count(*) from MANDANT1.Kvr300Pnr", 0, 0, false},
      {"PlanningGroupCount", "select count(*)  into :b0:b1  from KVR701PlG", 0, 1, false},
      {"PersonCursor", "select SbeDtq ,SbePnr  from Kvr303Sbe where SbeQev=1", 0, 0, false},
  };
  return kAll;
}

}  // namespace kvr::test
