#include <atomic>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "tools/client/ClientCommands.h"

namespace {
std::atomic<bool> g_stop{false};
extern "C" void onSignal(int) { g_stop.store(true); }
}  // namespace

int main(int argc, char** argv) {
    // Ctrl+C ends a watch cleanly instead of killing it mid-line.
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::vector<std::string> args(argv + 1, argv + argc);
    return runClient(args, std::cout, std::cerr, g_stop);
}
