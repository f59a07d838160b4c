#pragma once

#include <iostream>

// The reader and the personalisation print to the console on every refused
// input; fuzzing millions of inputs only wants the verdicts.
inline void QuietConsole() {
    static const bool quiet = [] {
        std::cout.rdbuf(nullptr);
        std::cerr.rdbuf(nullptr);
        return true;
    }();
    (void)quiet;
}
