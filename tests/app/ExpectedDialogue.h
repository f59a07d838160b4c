#pragma once

// The dialogue as a user sees it, written out independently of the tool's
// own text tables.
inline const char* const kExpectedBanner =
    "Tyvo Firmware Reset tool\n"
    "===============================\n"
    "\n"
    "           ____________________________________________________\n"
    "          |                                                    |\n"
    "          |  Please select \"Pause Tracking\" in the Tyvo        |\n"
    "          |  Tray Icon.                                        |\n"
    "          |                                                    |\n"
    "          |              Press Enter to continue.              |\n"
    "          |____________________________________________________|\n"
    "\n";

inline const char* const kExpectedPlugIn =
    "Please plug in your Tyvo Controller.\n"
    "\n";
