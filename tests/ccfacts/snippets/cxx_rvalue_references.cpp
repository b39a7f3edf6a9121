void f(int &&) {}
