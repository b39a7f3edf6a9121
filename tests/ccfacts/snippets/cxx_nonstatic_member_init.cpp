struct S { int x = 1; };
