DROP TABLE IF EXISTS selectionrestore;
