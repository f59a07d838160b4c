#pragma once

#include <chrono>
#include <cstdint>

class UVCInterface;

// The controllers' memory window on the control channel: control 9 is the
// address register and control 8 the data register, one byte per access.
// The devices build readMemory and writeMemory on these, holding their memory
// lock for the whole call.
//
// A refused request is retried after a short pause. The retries of one byte
// are bounded: when a byte has not gone through within the budget, the access
// fails with NotConnectedException (a controller that refuses its memory
// window for that long is as good as gone). The capture layer's own failures
// (stopping thread, vanished device) surface as NotConnectedException at once.
struct MemoryWindowLimits {
    std::chrono::milliseconds retryPause{2};
    std::chrono::milliseconds perByte{2000};
};

// Reads `length` bytes from `address` on: address register, then data
// register, each until accepted; the byte is the low 8 bits of the value.
void readMemoryWindow(UVCInterface& channel, std::uint32_t address, std::uint8_t* buffer, std::uint32_t length,
                      const MemoryWindowLimits& limits = {});

// Writes with a read-back of the address register before each byte, as the
// Cypress controller needs: an address that did not stick is written again.
void writeMemoryWindowVerified(UVCInterface& channel, std::uint32_t address, const std::uint8_t* buffer,
                               std::uint32_t length, const MemoryWindowLimits& limits = {});

// Writes without the read-back, as the embedded controller takes it.
void writeMemoryWindow(UVCInterface& channel, std::uint32_t address, const std::uint8_t* buffer, std::uint32_t length,
                       const MemoryWindowLimits& limits = {});
