struct S { S() {} S(const S &) = delete; };
