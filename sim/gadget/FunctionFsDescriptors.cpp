#include "sim/gadget/FunctionFsDescriptors.h"

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include <stdexcept>

namespace tyvo::sim::gadget {
namespace {

void putLe32(Bytes& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void putLe16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void setLe32(Bytes& out, std::size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

// The interface descriptors of a configuration, each pointing at string 1.
std::vector<Bytes> interfacesOf(const Bytes& configuration) {
    if (configuration.size() < USB_DT_CONFIG_SIZE || configuration[1] != USB_DT_CONFIG)
        throw std::invalid_argument("the model's configuration descriptor does not parse");
    std::vector<Bytes> interfaces;
    std::size_t at = configuration[0];
    while (at + 2 <= configuration.size()) {
        const std::size_t length = configuration[at];
        if (length < 2 || at + length > configuration.size())
            throw std::invalid_argument("a descriptor of the model's configuration runs past its end");
        const uint8_t type = configuration[at + 1];
        if (type == USB_DT_ENDPOINT)
            throw std::invalid_argument("the model has endpoints besides ep0, which this function does not serve");
        if (type == USB_DT_INTERFACE) {
            if (length != USB_DT_INTERFACE_SIZE)
                throw std::invalid_argument("an interface descriptor of the model has the wrong length");
            Bytes interface(configuration.begin() + static_cast<std::ptrdiff_t>(at),
                            configuration.begin() + static_cast<std::ptrdiff_t>(at + length));
            interface[8] = 1;  // iInterface: the one string of the strings block
            interfaces.push_back(std::move(interface));
        }
        at += length;
    }
    if (interfaces.empty()) throw std::invalid_argument("the model's configuration has no interface");
    return interfaces;
}

}  // namespace

Bytes FunctionFsDescriptorBlock(const DeviceDescriptors& descriptors) {
    if (descriptors.configurations.empty()) throw std::invalid_argument("the model has no configuration");
    const std::vector<Bytes> interfaces = interfacesOf(descriptors.configurations.front());

    Bytes block;
    putLe32(block, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    putLe32(block, 0);  // total length, filled in below
    putLe32(block, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
    const auto count = static_cast<uint32_t>(interfaces.size());
    putLe32(block, count);  // full speed
    putLe32(block, count);  // high speed
    for (int speed = 0; speed < 2; ++speed)
        for (const Bytes& interface : interfaces) block.insert(block.end(), interface.begin(), interface.end());
    setLe32(block, 4, static_cast<uint32_t>(block.size()));
    return block;
}

Bytes FunctionFsStringsBlock(const std::string& interfaceName) {
    Bytes block;
    putLe32(block, FUNCTIONFS_STRINGS_MAGIC);
    putLe32(block, 0);  // total length, filled in below
    putLe32(block, 1);  // strings per language
    putLe32(block, 1);  // languages
    putLe16(block, 0x0409);
    block.insert(block.end(), interfaceName.begin(), interfaceName.end());
    block.push_back(0);
    setLe32(block, 4, static_cast<uint32_t>(block.size()));
    return block;
}

}  // namespace tyvo::sim::gadget
