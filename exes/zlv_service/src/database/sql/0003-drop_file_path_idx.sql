DROP INDEX IF EXISTS file_path_idx;
