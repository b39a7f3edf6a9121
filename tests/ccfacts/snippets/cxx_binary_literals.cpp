int b = 0b101;
