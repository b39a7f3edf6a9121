[[deprecated]] void old_call();
