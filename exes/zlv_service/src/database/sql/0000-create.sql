CREATE TABLE forfait (forfait BIGINT, used BIGINT);
CREATE TABLE SEQUENCE (SEQ_NAME VARCHAR(50) NOT NULL primary key, SEQ_COUNT NUMBER(19));
CREATE TABLE options (g3enabled BOOL, bandwdiththresold INT, prebackup varchar(256), postbackup varchar(256), options_is64System BOOL, options_isDebug BOOL);
INSERT INTO options VALUES (0,100,NULL,NULL,1,1);
CREATE TABLE credential (
  mail varchar(64),
  name varchar(128),
  hash char(32),
  remember smallint,
  license_agent INTEGER,
  license_storage INTEGER,
  datanode varchar(256),
  cryptkey char(32),
  box_ip varchar(256)
);
CREATE TABLE scheduler (
  sched_isLocal BOOL NOT NULL default 0,
  sched_id BIGINT NOT NULL,
  sched_min smallint,
  sched_hour smallint,
  sched_day_of_month smallint,
  sched_month smallint,
  sched_day_of_week smallint,
  is_periodic BOOL NOT NULL,
  CONSTRAINT scheduler_pk PRIMARY KEY (sched_id, sched_isLocal)
);
CREATE TABLE job (
  job_isLocal BOOL NOT NULL default 0,
  job_id BIGINT NOT NULL,
  job_name TEXT DEFAULT NULL,
  sched_id BIGINT NOT NULL,
  sched_isLocal BOOL NOT NULL default 0,
  config_max_num_versions_to_save smallint NOT NULL,
  config_externalize BOOL NOT NULL,
  job_ctime INTEGER NOT NULL,
  config_retention_days INTEGER NOT NULL DEFAULT 0,
  CONSTRAINT job_pk PRIMARY KEY (job_id, job_isLocal),
  CONSTRAINT scheduler_fk FOREIGN KEY (sched_id, sched_isLocal) REFERENCES scheduler (sched_id, sched_isLocal)
);
CREATE TABLE sel_tem (
  sel_tem_id BIGINT NOT NULL,
  sel_tem_isLocal BOOL NOT NULL default 0,
  is_sel BOOL NOT NULL DEFAULT FALSE,
  PRIMARY KEY (sel_tem_id, sel_tem_isLocal)
);
CREATE TABLE job_x_sel_tem (
  job_id bigint NOT NULL,
  sel_tem_id bigint NOT NULL,
  job_isLocal BOOL NOT NULL default 0,
  sel_tem_isLocal BOOL NOT NULL default 0,
  PRIMARY KEY (job_id, sel_tem_id, job_isLocal, sel_tem_isLocal),
  FOREIGN KEY (job_id, job_isLocal) REFERENCES job (job_id, job_isLocal),
  FOREIGN KEY (sel_tem_id, sel_tem_isLocal) REFERENCES sel_tem (sel_tem_id, sel_tem_isLocal)
);
CREATE TABLE config_x_sel_tem (
  config_id bigint NOT NULL,
  sel_tem_id bigint NOT NULL,
  config_isLocal BOOL NOT NULL default 0,
  sel_tem_isLocal BOOL NOT NULL default 0,
  PRIMARY KEY (config_id, sel_tem_id, config_isLocal, sel_tem_isLocal),
  FOREIGN KEY (sel_tem_id, sel_tem_isLocal) REFERENCES sel_tem (sel_tem_id, sel_tem_isLocal)
);
CREATE TABLE pattern (
  pattern_id BIGINT NOT NULL,
  pattern_isLocal BOOL NOT NULL default 0,
  pattern_data TEXT NOT NULL,
  pattern_type smallint,
  PRIMARY KEY (pattern_id, pattern_isLocal)
);
CREATE TABLE pattern_x_sel_tem (
  sel_tem_id BIGINT NOT NULL,
  sel_tem_isLocal BOOL NOT NULL default 0,
  pattern_id BIGINT NOT NULL,
  pattern_isLocal BOOL NOT NULL default 0,
  PRIMARY KEY (sel_tem_id, pattern_id, sel_tem_isLocal, pattern_isLocal),
  FOREIGN KEY (pattern_id, pattern_isLocal) REFERENCES pattern (pattern_id, pattern_isLocal),
  FOREIGN KEY (sel_tem_id, sel_tem_isLocal) REFERENCES sel_tem (sel_tem_id, sel_tem_isLocal)
);
CREATE TABLE selectionrestore (id_select INT, restore_id char(32), path TEXT, include NUM, lastwrite INT, job_id INTEGER NOT NULL DEFAULT 0, job_isLocal BOOL NOT NULL default 0);
CREATE TABLE selection (id INTEGER PRIMARY KEY, path TEXT, include NUM, job_id BIGINT NOT NULL DEFAULT 0, job_isLocal BOOL NOT NULL default 0, volume character NOT NULL DEFAULT 'c');
CREATE TABLE file (
  id_file INTEGER PRIMARY KEY,
  path TEXT NOT NULL,
  job_id BIGINT NOT NULL,
  job_isLocal BOOL NOT NULL default 0,
  delete_time INTEGER NOT NULL default 0,
  path_hash TEXT NOT NULL DEFAULT '-1'
);
CREATE TABLE version (id_version INTEGER PRIMARY KEY, id_file INTEGER, lastwrite INTEGER, size BIGINT);
CREATE TABLE signature (id_sign INTEGER PRIMARY KEY, id_version INTEGER, signdata BLOB);
CREATE TABLE backup (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  start_time INT,
  last_time INT,
  status INT,
  job_id BIGINT NOT NULL,
  job_isLocal BOOL NOT NULL default 0,
  bLimitExceded BOOL NOT NULL DEFAULT 0,
  nUnchangedFiles INTEGER NOT NULL DEFAULT 0,
  nModifiedFiles INTEGER NOT NULL DEFAULT 0,
  nNewFiles INTEGER NOT NULL DEFAULT 0,
  nErrors INTEGER NOT NULL DEFAULT 0,
  active_file TEXT,
  active_file_size BIGINT NOT NULL DEFAULT 0,
  active_file_processed BIGINT NOT NULL DEFAULT 0
);
CREATE TABLE restoration (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  id_restore character(32),
  restoration_size bigint,
  start_time integer NOT NULL,
  last_time integer,
  status integer,
  job_id BIGINT NOT NULL,
  job_isLocal BOOL NOT NULL default 0,
  total_files integer NOT NULL DEFAULT 0,
  processed_files integer NOT NULL DEFAULT 0,
  error_count integer NOT NULL DEFAULT 0,
  active_file TEXT,
  active_file_size bigint NOT NULL DEFAULT 0,
  active_file_processed bigint NOT NULL DEFAULT 0
);
CREATE TABLE suppression (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  id_restore character(32),
  suppression_size bigint,
  start_time integer NOT NULL,
  last_time integer,
  status integer,
  job_id BIGINT NOT NULL,
  job_isLocal BOOL NOT NULL default 0,
  total_files integer NOT NULL DEFAULT 0,
  processed_files integer NOT NULL DEFAULT 0,
  error_count integer NOT NULL DEFAULT 0,
  active_file TEXT
);
CREATE INDEX file_idx ON file (id_file);
CREATE INDEX file_path_idx ON file (path);
CREATE INDEX file_job_id_idx ON file (job_id);
CREATE INDEX version_idx ON version (id_version);
CREATE INDEX version_id_file_idx ON version (id_file);
CREATE TRIGGER [file_delete] BEFORE DELETE ON [file] FOR EACH ROW BEGIN DELETE FROM version WHERE version.id_file=old.id_file; END;
