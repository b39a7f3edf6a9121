struct S { explicit operator bool() const { return true; } };
