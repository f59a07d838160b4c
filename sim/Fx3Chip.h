#pragma once
// A Cypress FX3 as the host meets it: at power-up the ROM runs a valid image
// found in the SPI flash, otherwise it enumerates as the boot loader
// (0x04B4/0x00F3). A boot loader jump to a valid boot programmer in RAM makes
// the chip leave the bus and come back as the boot programmer (0x04B4/0x4720),
// which drives the SPI flash. The chip keeps RAM and flash across these
// changes, so their state can be checked at the end.

#include "sim/Fx3BootImageCheck.h"
#include "sim/SpiFlashModel.h"
#include "sim/TimingModel.h"
#include "sim/UsbDeviceModel.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace tyvo::sim {

class Fx3Chip;
class Fx3BootLoader;
class Fx3BootProgrammer;

// Contract with the synthetic boot programmer image: the 16 bytes of RAM at
// the jump's entry address hold this text.
inline constexpr char kBootProgrammerSignature[] = "TYVO-BOOTPROG-01";

struct Fx3Options {
    std::size_t flashSize = SpiFlashModel::kDefaultSize;
    unsigned eraseBusyPolls = 2;
    bool flashStuckBusy = false;
    std::chrono::milliseconds reenumerationDelay{0};
    bool reenumerateNever = false;
    TimingModel timing;
    // The USB serial-number string the boot loader and boot programmer
    // report; none when empty (as the FX3 ROM has none).
    std::u16string serialNumber;
    // Power-up with a valid image in flash: the model that enumerates for it,
    // or null when nothing enumerates (the default until a controller model
    // is plugged in here).
    std::function<std::shared_ptr<UsbDeviceModel>(Fx3Chip&, const Fx3BootImageInfo&)> firmwareBoot;
};

class Fx3Chip : public std::enable_shared_from_this<Fx3Chip> {
public:
    static constexpr uint16_t kVendorId = 0x04B4;
    static constexpr uint16_t kBootLoaderProductId = 0x00F3;
    static constexpr uint16_t kBootProgrammerProductId = 0x4720;
    static constexpr uint32_t kSystemRamBase = 0x40000000;
    static constexpr uint32_t kSystemRamSize = 512 * 1024;
    static constexpr uint32_t kItcmBase = 0;
    static constexpr uint32_t kItcmSize = 16 * 1024;

    enum class Mode { Off, BootLoader, BootProgrammer, Firmware, Halted };

    static std::shared_ptr<Fx3Chip> create(Fx3Options options = {});

    // Power-on: clears RAM and returns the model that enumerates, or null.
    std::shared_ptr<UsbDeviceModel> powerUp();

    Mode mode() const;
    SpiFlashModel& flash() { return m_flash; }
    const Fx3Options& options() const { return m_options; }
    void setReenumeration(std::chrono::milliseconds delay, bool never);

    // RAM as the CPU sees it; nullopt / false outside system RAM and I-TCM.
    std::optional<Bytes> readMemory(uint32_t address, std::size_t length) const;
    bool writeMemory(uint32_t address, std::span<const uint8_t> data);

    std::vector<uint32_t> jumps() const;
    std::shared_ptr<Fx3BootLoader> bootLoader() const;
    std::shared_ptr<Fx3BootProgrammer> bootProgrammer() const;
    // Modelled time of every program the chip ran since creation.
    std::chrono::nanoseconds modelledTime() const;

    // From the boot loader model: the CPU jumps to the entry address. With
    // a valid boot programmer there, returns its model (also handed to the
    // attachment to re-enumerate), else null.
    std::shared_ptr<Fx3BootProgrammer> jump(uint32_t entry, BusAttachment* attachment);
    // From the chip's models: modelled time of one transfer.
    void account(std::chrono::nanoseconds modelled);

private:
    explicit Fx3Chip(Fx3Options options);
    Bytes* regionFor(uint32_t address, std::size_t length, uint32_t& offset);
    const Bytes* regionFor(uint32_t address, std::size_t length, uint32_t& offset) const;

    const Fx3Options m_options;
    SpiFlashModel m_flash;
    mutable std::mutex m_chipLock;  // RAM, mode, jumps, model links
    Bytes m_systemRam;
    Bytes m_itcm;
    Mode m_mode = Mode::Off;
    std::chrono::milliseconds m_reenumerationDelay;
    bool m_reenumerateNever;
    std::vector<uint32_t> m_jumps;
    std::chrono::nanoseconds m_modelled{0};
    std::weak_ptr<Fx3BootLoader> m_bootLoader;
    std::weak_ptr<Fx3BootProgrammer> m_bootProgrammer;
};

// The ROM boot loader: 0xA0 writes and reads RAM at the 32-bit address in
// wIndex:wValue; a zero-length 0xA0 write jumps; everything else stalls.
class Fx3BootLoader : public StandardUsbDevice {
public:
    explicit Fx3BootLoader(std::shared_ptr<Fx3Chip> chip);

protected:
    TransferReply vendorRequest(const SetupPacket& setup, const Bytes& out) override;
    void accounted(std::chrono::nanoseconds modelled) override { m_chip->account(modelled); }

private:
    std::shared_ptr<Fx3Chip> m_chip;
};

// The boot programmer: 0xC2 programs at a page, 0xC3 reads at a page, 0xC4
// erases a sector (host-to-device, wValue 1) or reports the flash status
// (device-to-host, wValue 0, one byte, 0 = ready).
class Fx3BootProgrammer : public StandardUsbDevice {
public:
    explicit Fx3BootProgrammer(std::shared_ptr<Fx3Chip> chip);

protected:
    TransferReply vendorRequest(const SetupPacket& setup, const Bytes& out) override;
    void accounted(std::chrono::nanoseconds modelled) override { m_chip->account(modelled); }

private:
    std::shared_ptr<Fx3Chip> m_chip;
};

}  // namespace tyvo::sim
