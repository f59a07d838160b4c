#pragma once
// A USB gadget made through the kernel's configfs: one configuration holding
// one FunctionFS function, the device's identity (vendor and product ids,
// release, strings) taken from a model's device descriptor, and the device
// controller (UDC) it is bound to. Binding puts the device on the bus,
// unbinding takes it off; changing the identity in between is how a chip
// restarting into another program re-enumerates.
//
// The kernel makes configfs attribute files appear as directories are made;
// everything here is plain file writes under the root given, so a scratch
// folder stands in for configfs in tests.

#include "sim/UsbDescriptors.h"

#include <filesystem>
#include <string>

namespace tyvo::sim::gadget {

class ConfigfsGadget {
public:
    // root: the usb_gadget folder of configfs; name: this gadget's folder;
    // function: the FunctionFS instance name (what the function file system
    // is then mounted with).
    ConfigfsGadget(const std::filesystem::path& root, const std::string& name, std::string function);

    // Makes the gadget's folders, the configuration and the function, with
    // the identity of descriptors. Throws std::runtime_error on failure.
    void create(const DeviceDescriptors& descriptors);
    // Writes the device descriptor's fields and strings.
    void setIdentity(const DeviceDescriptors& descriptors);
    void bind(const std::string& udc);
    void unbind();
    bool bound() const { return m_bound; }
    // Unbinds and removes what create made (configfs wants it undone in the
    // reverse order, folder by folder).
    void remove();

    const std::filesystem::path& folder() const { return m_folder; }
    const std::string& functionName() const { return m_function; }

private:
    void write(const std::filesystem::path& relative, const std::string& value) const;

    std::filesystem::path m_folder;
    std::string m_function;
    bool m_bound = false;
    bool m_created = false;
};

// The first device controller the kernel offers (/sys/class/udc), or empty.
std::string FirstUdc(const std::filesystem::path& udcClass = "/sys/class/udc");

// A 16-bit field as configfs takes it: "0x04b4".
std::string ConfigfsHex16(uint16_t value);

}  // namespace tyvo::sim::gadget
