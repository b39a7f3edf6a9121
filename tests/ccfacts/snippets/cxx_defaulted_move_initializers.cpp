struct S { S() {} S(S &&) = default; };
