const char *name() { return __func__; }
