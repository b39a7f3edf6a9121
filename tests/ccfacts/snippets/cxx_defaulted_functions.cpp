struct S { S() = default; int v; };
