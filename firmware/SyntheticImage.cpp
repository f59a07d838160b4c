#include "firmware/SyntheticImage.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "firmware/FirmwareLocation.h"

bool StartsWithSyntheticImageMark(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= kSyntheticImageMark.size() &&
           std::equal(kSyntheticImageMark.begin(), kSyntheticImageMark.end(), bytes.begin(),
                      [](char mark, std::uint8_t byte) { return static_cast<std::uint8_t>(mark) == byte; });
}

namespace {

std::atomic<SyntheticImageRefusalEnd> g_refusalEnd{nullptr};

}  // namespace

void SetSyntheticImageRefusalEnd(SyntheticImageRefusalEnd end) { g_refusalEnd.store(end); }

void RefuseSyntheticImage(const std::string& path) {
    std::cerr << "tyvo-reset: " << path
              << " is a synthetic firmware image that the build made for the emulated hardware;\n"
                 "tyvo-reset: it is never loaded into a real controller. Put the controller's firmware files\n"
                 "tyvo-reset: (app0.dat, app1.dat, app2.dat) in "
              << InstalledFirmwareFolder() << " or name their folder with --firmware-dir DIR." << std::endl;
    if (const SyntheticImageRefusalEnd end = g_refusalEnd.load()) {
        end(path);
        std::abort();  // it must not return: loading the image is not an option
    }
    // The device monitor's thread may be the one reading the files while the
    // other threads run on: end without destroying what they use, as the
    // end of a restore does.
    std::cout.flush();
    std::fflush(nullptr);
    std::quick_exit(kFirmwareRefusedExitStatus);
}
