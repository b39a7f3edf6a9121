auto f() { return 1; }
