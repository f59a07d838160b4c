#pragma once

#include <string>
#include <string_view>

// Whether the tool talks to emulated devices rather than real ones: only then
// may it load the build's synthetic firmware images (firmware/SyntheticImage.h).
//
// The emulation declares itself in TYVO_EMULATED_BUS, and the declaration
// counts only when the emulation is really there, so that a stray variable in
// a user's environment cannot let a synthetic image reach a real controller:
//   "umockdev"   the emulation host tyvo-sim (and the tests' in-process
//                buses): umockdev's preload library must be loaded into this
//                process and UMOCKDEV_DIR must name its test bed's folder;
//   "dummy_hcd"  the kernel's gadget side (make test-kernel): the dummy host
//                controller module must be loaded, so every device on it is
//                a program on this same machine.
inline constexpr char kEmulatedBusVariable[] = "TYVO_EMULATED_BUS";

// What the check looks at, gathered from the running process and system.
struct EmulatedBusEvidence {
    std::string declared;              // the value of TYVO_EMULATED_BUS
    bool umockdevPreloaded = false;    // libumockdev-preload is mapped into this process
    bool umockdevTestBed = false;      // UMOCKDEV_DIR names an existing folder
    bool dummyHostController = false;  // the dummy_hcd module is loaded
};

bool IsEmulatedBus(const EmulatedBusEvidence& evidence);

// The evidence of this process (EmulatedBusLinux.cpp).
EmulatedBusEvidence GatherEmulatedBusEvidence();

// IsEmulatedBus(GatherEmulatedBusEvidence()).
bool RunsOnEmulatedBus();
