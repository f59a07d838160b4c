#include "context/ThreadName.h"

#include <pthread.h>

#include <cstring>

void SetCurrentThreadName(const char* name) {
    if (!name || !*name) return;
    char truncated[16];
    std::strncpy(truncated, name, sizeof truncated - 1);
    truncated[sizeof truncated - 1] = '\0';
    // Naming is a debugging aid; a failure changes nothing else.
    (void)pthread_setname_np(pthread_self(), truncated);
}
