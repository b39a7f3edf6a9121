thread_local int t;
