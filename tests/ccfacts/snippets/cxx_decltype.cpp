int i;
decltype(i) j = 0;
