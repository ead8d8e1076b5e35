DROP TABLE IF EXISTS config_x_sel_tem;
