CREATE TABLE prepost_backup_script (id INTEGER PRIMARY KEY, script TEXT);
ALTER TABLE job ADD COLUMN pre_backup_script_id INTEGER;
ALTER TABLE job ADD COLUMN post_backup_script_id INTEGER;
