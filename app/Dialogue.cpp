#include "app/Dialogue.h"

namespace {

const char* const kBanner[] = {
    "Tyvo Firmware Reset tool",
    "===============================",
    "",
    "           ____________________________________________________",
    "          |                                                    |",
    "          |  Please select \"Pause Tracking\" in the Tyvo        |",
    "          |  Tray Icon.                                        |",
    "          |                                                    |",
    "          |              Press Enter to continue.              |",
    "          |____________________________________________________|",
    "",
};

const char* const kPlugIn[] = {
    "Please plug in your Tyvo Controller.",
    "",
};

template <size_t N>
void WriteLines(std::ostream& out, const char* const (&lines)[N]) {
    for (const char* line : lines) out << line << std::endl;
}

}  // namespace

void WriteBanner(std::ostream& out) { WriteLines(out, kBanner); }

void WriteTitle(std::ostream& out) {
    for (std::size_t i = 0; i < 3; ++i) out << kBanner[i] << std::endl;
}

void WaitForEnter(std::istream& in) { in.get(); }

void WritePlugInRequest(std::ostream& out) { WriteLines(out, kPlugIn); }
