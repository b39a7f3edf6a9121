const char *s = R"(a\b)";
