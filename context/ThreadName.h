#pragma once

// Names the calling thread for debuggers and tools such as top and gdb.
// Linux keeps at most 15 characters; longer names are cut.
void SetCurrentThreadName(const char* name);
