#pragma once
// What the controller's SPI flash must hold after a restore, worked out by
// the emulation host itself from the plain controller image (app1.img): the
// serial number written over the marker, the model-flags byte, a fresh
// checksum, and the last page filled with the erased value. Written apart
// from the tool's own image code, so that a fault there shows.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tyvo::sim::host {

using Bytes = std::vector<uint8_t>;

inline constexpr std::string_view kRestoredSerial = "QK90352817466";
inline constexpr std::size_t kFlashPage = 256;
inline constexpr std::size_t kFlashSector = 64 * 1024;
inline constexpr uint8_t kErased = 0xFF;

// The model-flags byte a controller with this serial number gets.
uint8_t ModelFlagsFor(std::string_view serial);

// The image personalised for serial; nullopt with the reason in why when the
// image has no marker or its sections do not lead to a checksum field.
std::optional<Bytes> PersonalisedImage(const Bytes& image, std::string_view serial, std::string& why);

// The image as the flash must hold it: padded with the erased value up to
// the next whole page.
Bytes PaddedToPages(const Bytes& image);

// Compares a flash's contents with the expected padded image; everything
// from the image's end to the end of the last sector it touches must be
// erased. Empty when they agree, else what differs.
std::string CompareFlash(std::span<const uint8_t> flash, const Bytes& padded, std::size_t imageSize);

// The whole file, or nullopt.
std::optional<Bytes> ReadFile(const std::string& path);

}  // namespace tyvo::sim::host
