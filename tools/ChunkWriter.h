#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Produces firmware chunk files, the form in which the tool reads app0.dat,
// app1.dat and app2.dat (see firmware/ChunkFile.h for the layout): the image
// compressed with zlib, scrambled with the chunk key, behind the 8-byte header.

// Whether the file carries the synthetic-image mark after its stored data
// (firmware/SyntheticImage.h): the build's development images do, so that the
// tool refuses them on a real controller.
enum class ChunkMark { None, Synthetic };

// The bytes of the chunk file for image. Throws std::length_error for an image
// whose size does not fit the header's 32-bit fields.
std::vector<std::uint8_t> MakeChunkFile(std::span<const std::uint8_t> image, ChunkMark mark = ChunkMark::None);

// MakeChunkFile written to path (through a temporary file). On failure returns
// false with the reason in error.
bool WriteChunkFile(std::span<const std::uint8_t> image, const std::string& path, std::string& error,
                    ChunkMark mark = ChunkMark::None);
