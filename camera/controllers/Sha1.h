#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The standard SHA-1 digest (FIPS 180). The controllers' authentication
// hashes one 20-byte message per camera opening; the routine is kept small
// and self-contained so that the tool needs no cryptographic library for it.

inline constexpr std::size_t kSha1DigestSize = 20;
using Sha1Digest = std::array<std::uint8_t, kSha1DigestSize>;

// The digest of `length` bytes at `data` (which may be null when length is 0).
Sha1Digest sha1(const std::uint8_t* data, std::size_t length);
