#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class ProgressSink;
class RestoreObserver;

// The two stages of restoring a controller whose firmware is damaged. Each
// runs inside the constructor of its device object, on the device monitor's
// thread, and writes its console lines to standard output, each flushed.
//
// Stage 1 (the FX3 in its boot loader, 0x04B4/0x00F3): app0.dat, the boot
// programmer, goes into the chip's RAM and is started; the chip then comes
// back as the boot programmer (0x04B4/0x4720).
// Stage 2 (the boot programmer): app1.dat, personalised, goes into the
// controller's SPI flash.

// The fixed serial number the restored firmware is personalised with.
inline constexpr const char kRestoreSerialNumber[] = "QK90352817466";

struct RestoreStageSettings {
    // How long one transfer may take before it is abandoned.
    uint32_t transferTimeoutMs = 10000;
    // How long a sector erase may keep the flash busy.
    std::chrono::milliseconds flashEraseTimeout{10000};
    // What follows a successful stage 2: by default the user's Enter, then
    // the end of the process (QuitAfterEnter).
    std::function<void()> finishRestore;
    // After stage 2 has written the flash, read it back and compare (see
    // FlashVerify.h); a difference that a rewrite does not mend fails the
    // stage.
    bool verify = false;
    // Told how far each stage has come; none by default.
    std::shared_ptr<ProgressSink> progress;
    // Told what happens; none by default.
    std::shared_ptr<RestoreObserver> observer;
};

// Stage 1 proper: reads app0.dat, opens the first device of the driver,
// loads the image into RAM and starts it. Prints "..." and throws
// device_exception when the device cannot be opened (with a hint on
// standard error when that is a matter of permissions); prints the error
// line and throws scorch_exception("Firmware update failed.") when the load
// fails. The device is closed on every way out.
void RunBootLoaderStage(const RestoreStageSettings& settings = {});

// Stage 2 proper: builds the personalised image from app1.dat (app2.dat is
// read too), opens the first device of the driver, which must be the boot
// programmer, and writes the image into its SPI flash. Failures as for
// stage 1, with "(2/2)" in the error line.
void RunBootProgrammerStage(const RestoreStageSettings& settings = {});

// After a successful restore: waits for Enter and ends the process with
// status 0, without destroying anything other threads may still use.
[[noreturn]] void QuitAfterEnter();
