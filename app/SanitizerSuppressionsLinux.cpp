// The tool's process-wide ThreadSanitizer list (a process has only one). The
// libraries named here are not built with the sanitizer and hand memory
// between their own threads through synchronisation it cannot see:
// - libusb frees devices on its event thread on reference counts kept in
//   atomics, while a hot-plug callback on the monitor thread still reads the
//   device's descriptor under libusb's own locks;
// - ZeroMQ passes messages between its I/O thread and ours through lock-free
//   queues.
// Accesses made by our own code stay checked.

#if defined(__SANITIZE_THREAD__)
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions() {
    // Races inside libusb only: ignoring everything libusb calls would also
    // hide the locks it takes, and with them the order of what libudev does
    // on its behalf.
    return "race:libusb-1.0.so.0\n"
           "called_from_lib:libzmq.so\n";
}
#endif
