#pragma once
// What travels between the emulated bus and a device model: one transfer as
// the device sees it (setup packet, data stage) and the device's answer.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tyvo::sim {

enum class UsbSpeed { Low, Full, High, Super };

enum class TransferType : uint8_t { Control, Isochronous, Bulk, Interrupt };

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    bool deviceToHost() const { return (bmRequestType & 0x80) != 0; }
    // Bits 6-5: 0 standard, 1 class, 2 vendor.
    uint8_t requestType() const { return (bmRequestType >> 5) & 3; }
    uint8_t recipient() const { return bmRequestType & 0x1F; }
};

struct TransferRequest {
    TransferType type = TransferType::Control;
    uint8_t endpoint = 0;      // address with the direction bit
    SetupPacket setup;         // control transfers only
    std::vector<uint8_t> out;  // host-to-device data
    std::size_t inLength = 0;  // room the host gave for device-to-host data
    uint32_t isoPackets = 0;   // isochronous transfers only

    bool deviceToHost() const { return type == TransferType::Control ? setup.deviceToHost() : (endpoint & 0x80) != 0; }
};

enum class TransferStatus {
    Completed,     // handshake ACK (status stage done for control)
    Stalled,       // STALL handshake
    Failed,        // protocol error on the wire (CRC, bit stuffing, babble)
    NoResponse,    // the device never finishes it: the host has to cancel
    Disconnected,  // the device left the bus during the transfer
};

struct TransferReply {
    TransferStatus status = TransferStatus::Completed;
    std::vector<uint8_t> in;                     // device-to-host data actually sent
    std::size_t outAccepted = 0;                 // host-to-device bytes taken
    std::chrono::nanoseconds deviceTime{0};      // modelled time until the handshake
    std::chrono::nanoseconds backgroundTime{0};  // modelled work after the handshake (an erase)

    static TransferReply stall() { return TransferReply{TransferStatus::Stalled, {}, 0, {}, {}}; }
    static TransferReply accepted(std::size_t n) { return TransferReply{TransferStatus::Completed, {}, n, {}, {}}; }
    static TransferReply data(std::vector<uint8_t> bytes) {
        return TransferReply{TransferStatus::Completed, std::move(bytes), 0, {}, {}};
    }
};

}  // namespace tyvo::sim
