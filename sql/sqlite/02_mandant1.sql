-- The tables of the client schema MANDANT1, stored as "MANDANT1.T". Safe to
-- apply twice.

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

-- MANDANT1.KVR303SBE: users (the first two columns are the user name and the personnel number)
CREATE TABLE IF NOT EXISTS "MANDANT1.KVR303SBE" (
  SBEDTQ varchar(20),
  SBEPNR varchar(8),
  SBEQEV integer,
  PRIMARY KEY (SBEDTQ)
);
CREATE INDEX IF NOT EXISTS "MANDANT1.KVR303SBE_QEV" ON "MANDANT1.KVR303SBE" (SBEQEV);
