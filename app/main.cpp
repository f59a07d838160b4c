// tyvo-reset: restores the firmware of a Tyvo controller.
//
// The entry point only assembles the platform in the global context and leads
// the user through the dialogue; the restore itself runs on the device
// monitor's thread when the controller is plugged in, inside the
// constructors of the device objects. The main thread never returns: the
// process ends when the restore has succeeded and the user presses Enter, or
// when the user stops it.

#include <chrono>
#include <iostream>
#include <thread>

#include "app/Dialogue.h"
#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "devices/DeviceModelManifest.h"

int main() {
    // The slots live on this stack for the life of the process.
    AutoRequired<DeviceModelManifest> manifest;

    WriteBanner(std::cout);
    WaitForEnter(std::cin);
    WritePlugInRequest(std::cout);

    CoreContext::Current()->Initiate();

    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
