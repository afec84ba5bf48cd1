-- The fleet store. Shaped for repetition: most files are the same on most
-- hosts and most do not change between scans, so a file's content (checksum,
-- size, type, version texts) is kept once per distinct content, paths once
-- in a dictionary, and a host's file is one open-ended row from the round it
-- appeared in until the round it changed or went (closed_round). A file that
-- stays the same costs nothing in a new round: no row written, none updated.
-- {{word}} stands for what the engine needs said its own way (see each
-- engine's schema_word). Migrations are numbered; each runs once, in order.

-- migration 1
CREATE TABLE fleet_meta (
  name  TEXT PRIMARY KEY,
  value TEXT NOT NULL
);
CREATE TABLE host_group (
  id           {{id}},
  name         TEXT NOT NULL UNIQUE,
  golden_host  TEXT,          -- where the golden passport was taken from
  golden_round BIGINT,        -- that host's round number
  golden_set   TEXT           -- when, UTC
);
CREATE TABLE host (
  id       {{id}},
  name     TEXT NOT NULL UNIQUE,
  group_id BIGINT NOT NULL REFERENCES host_group (id)
);
CREATE INDEX host_by_group ON host (group_id);
-- One per imported passport; seq counts a host's rounds from 1.
CREATE TABLE round (
  id        {{id}},
  host_id   BIGINT NOT NULL REFERENCES host (id),
  seq       BIGINT NOT NULL,
  unique_id TEXT NOT NULL,
  generated TEXT NOT NULL,
  sid       TEXT NOT NULL,
  imported  TEXT NOT NULL,
  entries   BIGINT NOT NULL,
  UNIQUE (host_id, seq),
  UNIQUE (host_id, unique_id)
);
-- Folders can be longer than an index entry may be: keyed by a digest.
CREATE TABLE folder (
  id     {{id}},
  digest TEXT NOT NULL UNIQUE,
  name   TEXT NOT NULL
);
CREATE TABLE path (
  id        {{id}},
  folder_id BIGINT NOT NULL REFERENCES folder (id),
  name      TEXT NOT NULL,
  UNIQUE (folder_id, name)
);
CREATE INDEX path_by_name ON path (name);
-- digest: of every column below, so equal contents meet in one row.
CREATE TABLE content (
  id              {{id}},
  digest          TEXT NOT NULL UNIQUE,
  checksum        TEXT NOT NULL,
  size            BIGINT NOT NULL,
  type            TEXT NOT NULL,
  description     TEXT NOT NULL,
  file_version    TEXT NOT NULL,
  company         TEXT NOT NULL,
  product         TEXT NOT NULL,
  product_version TEXT NOT NULL
);
CREATE INDEX content_by_checksum ON content (checksum);
-- ordinal: the n-th entry of one path in a passport. Only names the scan
-- service wrote with U+FFFD repeat; every other entry has ordinal 0.
CREATE TABLE host_file (
  host_id      BIGINT NOT NULL,
  path_id      BIGINT NOT NULL,
  ordinal      INTEGER NOT NULL,
  first_round  BIGINT NOT NULL,
  closed_round BIGINT,
  content_id   BIGINT NOT NULL,
  change_time  TEXT NOT NULL,
  PRIMARY KEY (host_id, path_id, ordinal, first_round)
) {{clustered}};
-- The questions across hosts ask about files as they are now.
CREATE INDEX host_file_by_content ON host_file (content_id) WHERE closed_round IS NULL;
CREATE INDEX host_file_by_path ON host_file (path_id) WHERE closed_round IS NULL;
CREATE TABLE golden (
  group_id   BIGINT NOT NULL,
  path_id    BIGINT NOT NULL,
  ordinal    INTEGER NOT NULL,
  content_id BIGINT NOT NULL,
  PRIMARY KEY (group_id, path_id, ordinal)
);
-- A deviation accepted for one host: the path as the host held it then
-- (content_id NULL: the file's absence). It stops counting once the host's
-- file differs from what was approved.
CREATE TABLE approval (
  id          {{id}},
  group_id    BIGINT NOT NULL,
  host_id     BIGINT NOT NULL,
  path_id     BIGINT NOT NULL,
  ordinal     INTEGER NOT NULL,
  content_id  BIGINT,
  kind        TEXT NOT NULL,
  approved_by TEXT NOT NULL,
  approved_at TEXT NOT NULL,
  reason      TEXT NOT NULL
);
CREATE INDEX approval_by_file ON approval (host_id, path_id, ordinal);

-- migration 2
-- Paths are keyed by digests of their names, as folders are: Windows
-- paths run to 32,767 characters, more than an index entry may hold.
-- folded_digest is of the name as Windows compares it (case folded), for
-- questions by file name. The engine fills both in for earlier rows.
ALTER TABLE path ADD COLUMN name_digest TEXT;
ALTER TABLE path ADD COLUMN folded_digest TEXT;
CREATE UNIQUE INDEX path_by_key ON path (folder_id, name_digest);
CREATE INDEX path_by_folded ON path (folded_digest);
DROP INDEX path_by_name;
{{drop_path_name_unique}}

-- migration 3
-- Each reverse index led by the host, so a passport writes into pages of
-- its own host's rows only, instead of into nearly every page of indexes
-- as large as the fleet; a question across hosts seeks once per host. The
-- key (host, path, ...) already finds a host's file by its path.
DROP INDEX host_file_by_content;
DROP INDEX host_file_by_path;
CREATE INDEX host_file_by_host_content ON host_file (host_id, content_id) WHERE closed_round IS NULL;
