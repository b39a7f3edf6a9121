template <typename T> void g(T) {}
void f() { struct L {}; g(L()); }
