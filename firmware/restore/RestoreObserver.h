#pragma once

#include <cstdint>
#include <string>

// What happens in a restore, told as it happens to whoever runs it without a
// person at the console (the unattended mode of the tool). The default
// dialogue has no observer: the stages print their lines and the tool waits
// for a replug after a failure.
struct RestoreEvent {
    enum class Kind {
        StageStarted,       // a boot-mode device was taken; its stage begins
        StageDone,          // stage 1 jumped to the boot programmer; stage 2 wrote the flash
        StageFailed,        // the load ended with `code` (the number the user sees)
        DeviceUnopened,     // the device could not be opened; `error` is the errno value
        VerifyUnavailable,  // the boot programmer cannot read the flash back
        Verified,           // the flash read back as written
        VerifyFailed,       // still different at `address` after rewriting
    };
    Kind kind = Kind::StageStarted;
    int stage = 1;
    int code = 0;
    uint32_t error = 0;
    uint32_t address = 0;
    std::string message;  // the text printed for it, or a detail for the log
};

class RestoreObserver {
public:
    virtual ~RestoreObserver() = default;
    // Called on the device monitor's thread, where the stages run.
    virtual void onRestoreEvent(const RestoreEvent& event) = 0;
};
