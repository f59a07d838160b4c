#pragma once

#include <atomic>
#include <iosfwd>
#include <string>
#include <vector>

// The command-line client of the service links:
//
//   tyvo-client [--host HOST] [--port PORT] [--timeout MS] COMMAND
//     get [KEY...]        print settings as KEY = JSON (every setting without keys)
//     set KEY VALUE       change a setting; VALUE is JSON, or else taken as text
//     watch [--seconds N] print log, configuration and mode events as they come
//     devices             list the attached devices
//
// Exit status: 0 done, 1 the service refused or lacked something (an unknown
// key, a setting it did not take), 2 bad usage, 3 no answer from the service.
// `stop` ends a watch early (set from a signal handler).
int runClient(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              const std::atomic<bool>& stop);
