void f() noexcept {}
