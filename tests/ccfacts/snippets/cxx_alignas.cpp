struct alignas(8) S { int x; };
