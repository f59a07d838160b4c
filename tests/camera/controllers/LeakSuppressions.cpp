// The emulated controller computes its SHA-1 with OpenSSL on umockdev's
// worker thread, which the emulation never ends: the per-thread state
// OpenSSL keeps for it is still there at exit. Nothing of the tool is
// involved, so the leak checker is told to look past it.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:libcrypto.so\n";
}
