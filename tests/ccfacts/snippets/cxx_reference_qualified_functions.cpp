struct S { int f() & { return 1; } };
