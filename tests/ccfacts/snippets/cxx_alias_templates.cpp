template <typename T> using ptr = T *;
ptr<int> p = 0;
