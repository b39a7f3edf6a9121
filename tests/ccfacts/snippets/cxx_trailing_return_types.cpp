auto f() -> int { return 1; }
