#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The build makes synthetic development images (app0.dat, app1.dat, app2.dat)
// for the emulated hardware. Loaded into a real FX3, the synthetic boot
// programmer would run whatever pseudo-random code it holds, and a synthetic
// controller image would leave a controller that no longer works. So the
// build marks them: the mark follows the chunk's stored data, where a chunk
// file may carry anything (readers never look past the stored data), so the
// images themselves stay byte for byte what the emulators expect.
inline constexpr std::string_view kSyntheticImageMark =
    "TYVO-SYNTHETIC-IMAGE: made by the build for the emulated hardware; never for a real controller\n";

// True when bytes (what follows a chunk's stored data) begin with the mark.
bool StartsWithSyntheticImageMark(std::span<const std::uint8_t> bytes);

// The exit status of a run that cannot use its firmware files.
inline constexpr int kFirmwareRefusedExitStatus = 6;

// Says on standard error that the synthetic image at path is not loaded into
// a real controller and where the real files belong, then ends the process
// with kFirmwareRefusedExitStatus. Nothing has reached the device yet, and
// waiting for another plug-in would only meet the same files again.
[[noreturn]] void RefuseSyntheticImage(const std::string& path);

// What ends the process once the refusal has been said, in place of the
// plain end: an unattended run ends with its outcome object, as it does for
// every other way out. Called on the thread that read the file; it must not
// return. Set before the threads that read firmware start; nullptr restores
// the plain end.
using SyntheticImageRefusalEnd = void (*)(const std::string& path);
void SetSyntheticImageRefusalEnd(SyntheticImageRefusalEnd end);
