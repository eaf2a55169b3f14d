-- Schema of the two databases, PostgreSQL dialect.
-- Columns are listed in the positional order in which rows are inserted.
-- Every column is text: the service reads and writes all values as text.
-- Names stay unquoted, so the server folds them to lower case in the schema
-- and in the service's statements alike (ZKList and zklist are one table).
-- Tables, columns and their order must match schema/sqlite.sql.

-- [OstrPro]
CREATE TABLE rdrmain (
  tag_name        TEXT PRIMARY KEY,
  logical_point   INTEGER,  -- numeric, so that "order by logical_point" runs 1, 2, ... 128
  spare3          TEXT,
  controller_type TEXT,
  state           TEXT,
  active          TEXT,
  description     TEXT,
  Acc_TZ0 TEXT DEFAULT 'No Acc', Acc_TZ1 TEXT DEFAULT 'No Acc', Acc_TZ2 TEXT DEFAULT 'No Acc',
  Acc_TZ3 TEXT DEFAULT 'No Acc', Acc_TZ4 TEXT DEFAULT 'No Acc', Acc_TZ5 TEXT DEFAULT 'No Acc',
  Acc_TZ6 TEXT DEFAULT 'No Acc', Acc_TZ7 TEXT DEFAULT 'No Acc', Acc_TZ8 TEXT DEFAULT 'No Acc',
  Acc_TZ9 TEXT DEFAULT 'No Acc'
);
CREATE TABLE flrdet (point_tag TEXT, state TEXT);
CREATE TABLE ox_ini (i_user TEXT, i_group TEXT, i_entry TEXT, i_value TEXT);
-- I/O point tables: an output or input point and the controller it is attached to.
CREATE TABLE outputs (tag_name TEXT PRIMARY KEY, AttachDevice TEXT, description TEXT);
CREATE TABLE inputs (tag_name TEXT PRIMARY KEY, AttachDevice TEXT, description TEXT);
CREATE TABLE trans (
  trans_id     TEXT,
  trans_time   TEXT,
  card_number  TEXT,
  trans_date   TEXT,
  tag_name     TEXT,
  spare1       TEXT,
  name         TEXT,
  staff_number TEXT,
  user1        TEXT,
  user2        TEXT,
  user3        TEXT,
  spare2       TEXT,
  trans_code   TEXT,
  spare3       TEXT,
  status       TEXT
);
CREATE INDEX trans_date_idx ON trans (trans_date, trans_time);
CREATE TABLE cards (
  card_number  TEXT PRIMARY KEY,
  staff_number TEXT,
  name         TEXT,
  user1        TEXT,
  user2        TEXT,
  user3        TEXT
);
CREATE TABLE trcode (trans_code TEXT, description TEXT);
CREATE TABLE Audit_Trail (a_date TEXT, a_time TEXT, action TEXT, detail TEXT, source TEXT);
CREATE TABLE sysopr (userID TEXT PRIMARY KEY, Password TEXT, name TEXT);
CREATE TABLE ZKList (Z_Card TEXT, Z_Data TEXT, Z_Ver TEXT);
CREATE TABLE tzones (
  tag_name TEXT PRIMARY KEY,
  Sunday_Timer TEXT, Monday_Timer TEXT, Tuesday_Timer TEXT, Wednesday_Timer TEXT,
  Thursday_Timer TEXT, Friday_Timer TEXT, Saturday_Timer TEXT
);
CREATE TABLE timers (tag_name TEXT PRIMARY KEY, StartTimer1 TEXT, EndTimer1 TEXT);

-- [OstrTimeSQL]
CREATE TABLE ot_tmclk (
  staff_number TEXT,
  clk_date     TEXT,
  clk_time     TEXT,
  clk_seq      TEXT,
  in_out       TEXT,
  card_number  TEXT,
  spare1       TEXT,
  clk_type     TEXT,
  clk_source   TEXT,
  terminal     TEXT,
  origin       TEXT
);
