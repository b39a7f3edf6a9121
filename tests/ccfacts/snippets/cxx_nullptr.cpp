int *p = nullptr;
