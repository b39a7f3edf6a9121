inline namespace v1 { int x; }
