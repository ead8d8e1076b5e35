ALTER TABLE file ADD COLUMN lastwrite INTEGER DEFAULT NULL;
UPDATE file SET lastwrite = (SELECT lastwrite FROM version AS v WHERE v.id_version = (SELECT MAX(id_version) FROM version WHERE version.id_file = file.id_file));
DROP TRIGGER IF EXISTS file_delete;
DROP TABLE IF EXISTS version;
