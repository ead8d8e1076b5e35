DROP TABLE selection;
