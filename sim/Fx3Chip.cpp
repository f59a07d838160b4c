#include "sim/Fx3Chip.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tyvo::sim {
namespace {

DeviceDescriptors fx3Descriptors(uint16_t productId, const std::u16string& product, const std::u16string& serial) {
    DeviceDescriptors d;
    d.speed = UsbSpeed::High;
    DeviceLayout dev;
    dev.bcdUSB = 0x0200;
    dev.maxPacketSize0 = 64;
    dev.vendorId = Fx3Chip::kVendorId;
    dev.productId = productId;
    dev.bcdDevice = 0x0100;
    dev.iManufacturer = 1;
    dev.iProduct = 2;
    dev.iSerialNumber = serial.empty() ? 0 : 3;
    d.device = buildDeviceDescriptor(dev);
    ConfigurationLayout config;
    config.interfaces.push_back(InterfaceLayout{});  // one vendor-class interface, EP0 only
    d.configurations.push_back(buildConfiguration(config));
    d.strings[1] = u"Cypress";
    d.strings[2] = product;
    if (!serial.empty()) d.strings[3] = serial;
    return d;
}

uint32_t requestAddress(const SetupPacket& s) { return static_cast<uint32_t>(s.wIndex) << 16 | s.wValue; }

}  // namespace

Fx3Chip::Fx3Chip(Fx3Options options)
    : m_options(std::move(options)),
      m_flash(m_options.flashSize),
      m_systemRam(kSystemRamSize, 0),
      m_itcm(kItcmSize, 0),
      m_reenumerationDelay(m_options.reenumerationDelay),
      m_reenumerateNever(m_options.reenumerateNever) {
    m_flash.setEraseBusyPolls(m_options.eraseBusyPolls);
    m_flash.setStuckBusy(m_options.flashStuckBusy);
    if (m_options.timing.enabled) m_flash.setEraseRealTime(m_options.timing.sectorErase);
}

std::shared_ptr<Fx3Chip> Fx3Chip::create(Fx3Options options) {
    return std::shared_ptr<Fx3Chip>(new Fx3Chip(std::move(options)));
}

std::shared_ptr<UsbDeviceModel> Fx3Chip::powerUp() {
    // The flash lost power with the chip: an erase it was running is over.
    m_flash.powerCycle();
    // The ROM looks at the start of the flash first.
    const Bytes flash = m_flash.contents();
    const auto image = parseFx3BootImage(flash);
    {
        std::lock_guard lock(m_chipLock);
        std::fill(m_systemRam.begin(), m_systemRam.end(), 0);
        std::fill(m_itcm.begin(), m_itcm.end(), 0);
        m_mode = image ? Mode::Firmware : Mode::BootLoader;
    }
    if (image) return m_options.firmwareBoot ? m_options.firmwareBoot(*this, *image) : nullptr;
    auto loader = std::make_shared<Fx3BootLoader>(shared_from_this());
    loader->setTiming(m_options.timing);
    std::lock_guard lock(m_chipLock);
    m_bootLoader = loader;
    return loader;
}

Fx3Chip::Mode Fx3Chip::mode() const {
    std::lock_guard lock(m_chipLock);
    return m_mode;
}

void Fx3Chip::setReenumeration(std::chrono::milliseconds delay, bool never) {
    std::lock_guard lock(m_chipLock);
    m_reenumerationDelay = delay;
    m_reenumerateNever = never;
}

Bytes* Fx3Chip::regionFor(uint32_t address, std::size_t length, uint32_t& offset) {
    return const_cast<Bytes*>(std::as_const(*this).regionFor(address, length, offset));
}

const Bytes* Fx3Chip::regionFor(uint32_t address, std::size_t length, uint32_t& offset) const {
    if (address >= kSystemRamBase && address - kSystemRamBase <= kSystemRamSize &&
        length <= kSystemRamSize - (address - kSystemRamBase)) {
        offset = address - kSystemRamBase;
        return &m_systemRam;
    }
    if (address <= kItcmSize && length <= kItcmSize - address) {
        offset = address;
        return &m_itcm;
    }
    return nullptr;
}

std::optional<Bytes> Fx3Chip::readMemory(uint32_t address, std::size_t length) const {
    std::lock_guard lock(m_chipLock);
    uint32_t offset = 0;
    const Bytes* region = regionFor(address, length, offset);
    if (!region) return std::nullopt;
    return Bytes(region->begin() + offset, region->begin() + offset + static_cast<std::ptrdiff_t>(length));
}

bool Fx3Chip::writeMemory(uint32_t address, std::span<const uint8_t> data) {
    std::lock_guard lock(m_chipLock);
    uint32_t offset = 0;
    Bytes* region = regionFor(address, data.size(), offset);
    if (!region) return false;
    std::copy(data.begin(), data.end(), region->begin() + offset);
    return true;
}

std::vector<uint32_t> Fx3Chip::jumps() const {
    std::lock_guard lock(m_chipLock);
    return m_jumps;
}

std::shared_ptr<Fx3BootLoader> Fx3Chip::bootLoader() const {
    std::lock_guard lock(m_chipLock);
    return m_bootLoader.lock();
}

std::shared_ptr<Fx3BootProgrammer> Fx3Chip::bootProgrammer() const {
    std::lock_guard lock(m_chipLock);
    return m_bootProgrammer.lock();
}

std::chrono::nanoseconds Fx3Chip::modelledTime() const {
    std::lock_guard lock(m_chipLock);
    return m_modelled;
}

void Fx3Chip::account(std::chrono::nanoseconds modelled) {
    std::lock_guard lock(m_chipLock);
    m_modelled += modelled;
}

std::shared_ptr<Fx3BootProgrammer> Fx3Chip::jump(uint32_t entry, BusAttachment* attachment) {
    const std::size_t n = sizeof(kBootProgrammerSignature) - 1;
    const auto head = readMemory(entry, n);
    const bool programmer = head && std::equal(head->begin(), head->end(), kBootProgrammerSignature);
    std::shared_ptr<Fx3BootProgrammer> next;
    std::chrono::milliseconds delay;
    bool never;
    {
        std::lock_guard lock(m_chipLock);
        m_jumps.push_back(entry);
        m_mode = programmer ? Mode::BootProgrammer : Mode::Halted;
        delay = m_reenumerationDelay;
        never = m_reenumerateNever;
    }
    if (programmer) {
        next = std::make_shared<Fx3BootProgrammer>(shared_from_this());
        next->setTiming(m_options.timing);
        std::lock_guard lock(m_chipLock);
        m_bootProgrammer = next;
    }
    if (!attachment) return next;
    // Whatever runs at the entry address, the boot loader's USB stack is gone.
    if (programmer && !never)
        attachment->reenumerate(next, delay);
    else
        attachment->leaveBus();
    return next;
}

Fx3BootLoader::Fx3BootLoader(std::shared_ptr<Fx3Chip> chip)
    : StandardUsbDevice("FX3 boot loader", fx3Descriptors(Fx3Chip::kBootLoaderProductId, u"FX3 ROM Boot Loader",
                                                          chip->options().serialNumber)),
      m_chip(std::move(chip)) {}

TransferReply Fx3BootLoader::vendorRequest(const SetupPacket& s, const Bytes& out) {
    if (s.bRequest != 0xA0 || s.recipient() != 0) return TransferReply::stall();
    const uint32_t address = requestAddress(s);
    if (s.deviceToHost()) {
        auto data = m_chip->readMemory(address, s.wLength);
        return data ? TransferReply::data(std::move(*data)) : TransferReply::stall();
    }
    if (s.wLength == 0) {
        // The status stage completes before the CPU leaves the ROM.
        m_chip->jump(address, attachmentLocked().get());
        return TransferReply::accepted(0);
    }
    return m_chip->writeMemory(address, out) ? TransferReply::accepted(out.size()) : TransferReply::stall();
}

Fx3BootProgrammer::Fx3BootProgrammer(std::shared_ptr<Fx3Chip> chip)
    : StandardUsbDevice("FX3 boot programmer", fx3Descriptors(Fx3Chip::kBootProgrammerProductId, u"FX3 Boot Programmer",
                                                              chip->options().serialNumber)),
      m_chip(std::move(chip)) {}

TransferReply Fx3BootProgrammer::vendorRequest(const SetupPacket& s, const Bytes& out) {
    if (s.recipient() != 0) return TransferReply::stall();
    SpiFlashModel& flash = m_chip->flash();
    const uint32_t pageAddress = static_cast<uint32_t>(s.wIndex) * SpiFlashModel::kPageSize;
    switch (s.bRequest) {
        case 0xC2: {  // program at page wIndex
            if (s.deviceToHost() || !flash.program(pageAddress, out)) return TransferReply::stall();
            TransferReply reply = TransferReply::accepted(out.size());
            const std::size_t pages = (out.size() + SpiFlashModel::kPageSize - 1) / SpiFlashModel::kPageSize;
            reply.deviceTime = timingLocked().pageProgram * static_cast<long long>(pages);
            return reply;
        }
        case 0xC3: {  // read at page wIndex
            if (!s.deviceToHost()) return TransferReply::stall();
            auto data = flash.read(pageAddress, s.wLength);
            return data ? TransferReply::data(std::move(*data)) : TransferReply::stall();
        }
        case 0xC4:
            if (!s.deviceToHost()) {  // erase sector wIndex
                if (s.wValue != 1 || !out.empty() || !flash.startErase(s.wIndex)) return TransferReply::stall();
                TransferReply reply = TransferReply::accepted(0);
                reply.backgroundTime = timingLocked().sectorErase;
                return reply;
            }
            if (s.wValue != 0 || s.wLength < 1) return TransferReply::stall();
            return TransferReply::data({static_cast<uint8_t>(flash.pollBusy() ? 1 : 0)});
        default: return TransferReply::stall();
    }
}

}  // namespace tyvo::sim
