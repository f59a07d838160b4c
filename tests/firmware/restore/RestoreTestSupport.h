#pragma once
// The rig of the restore tests: firmware files in a temporary folder, an FX3
// on the emulated bus, the console captured, the texts the user must see,
// and what the flash must hold at the end (worked out by the emulation
// host's own code, not the tool's).

#include "firmware/FirmwareImage.h"
#include "firmware/restore/RestoreStages.h"
#include "sim/EmulatedUsbBus.h"
#include "sim/Fx3Chip.h"
#include "tests/firmware/FirmwareTestSupport.h"
#include "usb/UsbDriverPort.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace restoretest {

using tyvo::sim::Bytes;

// The console lines of the stages, written out from what the user is
// promised, apart from the tool's own code.
inline const std::string kStage1Header =
    "The entire process should take less than a couple of minutes.\n\nRestoring firmware (Part 1/2)\n";
inline const std::string kStage2Header = "Restoring firmware (Part 2/2)\n";
inline const std::string kDone = "   ... Done\n";
inline const std::string kNotOpened = "...\n";
inline const std::string kCannotOpenFile = "cannot open firmware file\n";
inline const std::string kClosingLines =
    "Firmware update succeeded. Press Enter to quit.\n"
    "\n"
    "After quitting, you must unplug and replug your Tyvo Controller.\n"
    "Then, select \"Resume Tracking\" in the Tyvo tray icon.\n";
std::string ErrorLine(int code, int stage);

// app0.dat, app1.dat and app2.dat made from synthetic images in a temporary
// folder, which is the tool's firmware folder while this lives.
class FirmwareFiles {
public:
    FirmwareFiles(std::size_t bootProgrammerSize, std::size_t controllerSize);
    ~FirmwareFiles();

    const FirmwareImage& bootProgrammer() const { return m_bootProgrammer; }
    const FirmwareImage& controller() const { return m_controller; }
    const std::string& folder() const { return m_folder.path().native(); }

    // Writes the chunk file of an image under the name, or removes it.
    void write(const std::string& name, const FirmwareImage& image);
    void remove(const std::string& name);
    // The three files as made at construction.
    void writeAll();

private:
    TempFolder m_folder;
    FirmwareImage m_bootProgrammer;
    FirmwareImage m_controller;
    FirmwareImage m_newerController;
};

// An FX3 controller that can be plugged into the bus, its flash starting
// with half of an old image (so the ROM falls back to the boot loader).
class Controller {
public:
    Controller(tyvo::sim::EmulatedUsbBus& bus, tyvo::sim::Fx3Options options = {});

    // Powers up and plugs in; returns the boot loader model.
    std::shared_ptr<tyvo::sim::StandardUsbDevice> plug();
    // Waits for a restart under way to finish first.
    void unplug();
    // Half of an old image over the start of the flash, as an update that
    // was cut short leaves it.
    void damageFlash();
    // The boot programmer once the chip has restarted into it and is on
    // the bus; null when it did not within the time.
    std::shared_ptr<tyvo::sim::StandardUsbDevice> awaitBootProgrammer(std::chrono::milliseconds timeout);
    tyvo::sim::Fx3Chip& chip() { return *m_chip; }

private:
    tyvo::sim::EmulatedUsbBus& m_bus;
    std::shared_ptr<tyvo::sim::Fx3Chip> m_chip;
    std::string m_port;
};

// Keeps libusb's udev listener open for as long as it lives, as the attach
// monitor's own libusb context does in the tool. Without it each stage's
// device would open and close the only listener, and umockdev 0.17 aborts
// when a listener goes away while the bus sends it an event (the chip's
// restart after stage 1).
class UdevListener {
private:
    UsbDriverPort m_port;
};

// Empty when the flash holds the controller image personalised for the
// restore's serial number, padded with the erased value to whole pages;
// else what differs.
std::string FlashProblem(tyvo::sim::Fx3Chip& chip, const FirmwareImage& controllerImage);

// Settings for tests: a successful stage 2 returns instead of ending the
// process; short time-outs where the test says so.
RestoreStageSettings TestSettings(uint32_t transferTimeoutMs = 10000,
                                  std::chrono::milliseconds eraseTimeout = std::chrono::milliseconds(10000));

struct Attempt {
    std::string out;
    std::string err;
    bool restored = false;  // stage 2 finished with its closing lines
};

// One plug-in as the attach monitor would take it: stage 1 and, when the
// chip came back as the boot programmer, stage 2. beforeStage2 may set up
// faults on the boot programmer.
Attempt RunAttempt(Controller& controller, const RestoreStageSettings& settings,
                   const std::function<void(tyvo::sim::StandardUsbDevice&)>& beforeStage2 = {});

// The output of a whole successful restore.
std::string SuccessfulRestoreOutput();

}  // namespace restoretest
