#pragma once

#include <cstdint>
#include <vector>

// The bytes of one firmware image as it is loaded or flashed: an FX3 boot
// image once expanded from its chunk file. Empty means "no usable image";
// the loaders refuse an empty image.
using FirmwareImage = std::vector<std::uint8_t>;
