int f() { return [](auto x) { return x; }(1); }
