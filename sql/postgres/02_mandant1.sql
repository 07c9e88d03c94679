-- The tables of the client schema MANDANT1 (also the model of every other
-- client schema: kvrjobctl init --client NAME puts NAME in its place). Safe to apply twice.
CREATE SCHEMA IF NOT EXISTS mandant1;

-- MANDANT1.KVR300PNR: persons
CREATE TABLE IF NOT EXISTS mandant1.kvr300pnr (
  pnrnum varchar(8) COLLATE "C",
  pnrnam varchar(50) COLLATE "C",
  PRIMARY KEY (pnrnum)
);

-- MANDANT1.KVR701PLG: planning groups
CREATE TABLE IF NOT EXISTS mandant1.kvr701plg (
  plgnum varchar(10) COLLATE "C",
  plgbez varchar(50) COLLATE "C",
  PRIMARY KEY (plgnum)
);

-- MANDANT1.KVR303SBE: users. SBEDTQ is the user name (20 characters) and
-- SBEPNR the personnel number (8); the users with SBEQEV = 1 get their own
-- standing programs, read as "select SbeDtq ,SbePnr  from Kvr303Sbe where
-- SbeQev=1".
CREATE TABLE IF NOT EXISTS mandant1.kvr303sbe (
  sbedtq varchar(20) COLLATE "C",
  sbepnr varchar(8) COLLATE "C",
  sbeqev integer,
  PRIMARY KEY (sbedtq)
);
CREATE INDEX IF NOT EXISTS kvr303sbe_qev ON mandant1.kvr303sbe (sbeqev);
