CREATE INDEX IF NOT EXISTS file_idx ON file (id_file);
CREATE INDEX IF NOT EXISTS file_path_idx ON file (path);
CREATE INDEX IF NOT EXISTS file_job_id_idx ON file (job_id);
CREATE INDEX IF NOT EXISTS version_idx ON version (id_version);
CREATE INDEX IF NOT EXISTS version_id_file_idx ON version (id_file);
CREATE TRIGGER IF NOT EXISTS [file_delete] BEFORE DELETE ON [file] FOR EACH ROW BEGIN DELETE FROM version WHERE version.id_file=old.id_file; END;
