long long v = 0;
