[[noreturn]] void stop();
