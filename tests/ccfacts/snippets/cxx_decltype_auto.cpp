int i;
decltype(auto) j = i;
