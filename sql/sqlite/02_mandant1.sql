-- The tables of the client schema MANDANT1, stored as "MANDANT1.T" (also the
-- model of every other client schema: kvrjobctl init --client NAME puts NAME
-- in its place). Safe to apply twice.

-- MANDANT1.KVR300PNR: persons
CREATE TABLE IF NOT EXISTS "MANDANT1.KVR300PNR" (
  PNRNUM varchar(8),
  PNRNAM varchar(50),
  PRIMARY KEY (PNRNUM)
);

-- MANDANT1.KVR701PLG: planning groups
CREATE TABLE IF NOT EXISTS "MANDANT1.KVR701PLG" (
  PLGNUM varchar(10),
  PLGBEZ varchar(50),
  PRIMARY KEY (PLGNUM)
);

-- MANDANT1.KVR303SBE: users. SBEDTQ is the user name (20 characters) and
-- SBEPNR the personnel number (8); the users with SBEQEV = 1 get their own
-- standing programs, read as "select SbeDtq ,SbePnr  from Kvr303Sbe where
-- SbeQev=1".
CREATE TABLE IF NOT EXISTS "MANDANT1.KVR303SBE" (
  SBEDTQ varchar(20),
  SBEPNR varchar(8),
  SBEQEV integer,
  PRIMARY KEY (SBEDTQ)
);
CREATE INDEX IF NOT EXISTS "MANDANT1.KVR303SBE_QEV" ON "MANDANT1.KVR303SBE" (SBEQEV);
