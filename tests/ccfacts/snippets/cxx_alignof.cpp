int a = alignof(double);
