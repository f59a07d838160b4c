#include "sim/gadget/ConfigfsGadget.h"

#include <linux/usb/ch9.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace tyvo::sim::gadget {
namespace fs = std::filesystem;
namespace {

constexpr const char kStrings[] = "strings/0x409";
constexpr const char kConfig[] = "configs/c.1";

uint16_t le16(const Bytes& b, std::size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

std::string hex8(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

// The models' strings are plain ASCII; configfs takes UTF-8.
std::string narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::string stringAt(const DeviceDescriptors& d, uint8_t index) {
    const auto it = d.strings.find(index);
    return index == 0 || it == d.strings.end() ? std::string() : narrow(it->second);
}

void makeFolder(const fs::path& path) {
    std::error_code error;
    fs::create_directory(path, error);
    if (error) throw std::runtime_error("cannot make " + path.string() + ": " + error.message());
}

}  // namespace

std::string ConfigfsHex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

ConfigfsGadget::ConfigfsGadget(const fs::path& root, const std::string& name, std::string function)
    : m_folder(root / name), m_function(std::move(function)) {}

void ConfigfsGadget::write(const fs::path& relative, const std::string& value) const {
    const fs::path path = m_folder / relative;
    std::ofstream out(path);
    out << value << '\n';
    out.flush();
    if (!out) throw std::runtime_error("cannot write \"" + value + "\" to " + path.string());
}

void ConfigfsGadget::create(const DeviceDescriptors& descriptors) {
    makeFolder(m_folder);
    m_created = true;
    makeFolder(m_folder / "strings");
    makeFolder(m_folder / kStrings);
    makeFolder(m_folder / "configs");
    makeFolder(m_folder / kConfig);
    makeFolder(m_folder / kConfig / "strings");
    makeFolder(m_folder / kConfig / kStrings);
    makeFolder(m_folder / "functions");
    makeFolder(m_folder / "functions" / ("ffs." + m_function));
    setIdentity(descriptors);
    write(fs::path(kConfig) / kStrings / "configuration", "default");
    write(fs::path(kConfig) / "MaxPower", "100");
    std::error_code error;
    fs::create_directory_symlink(m_folder / "functions" / ("ffs." + m_function),
                                 m_folder / kConfig / ("ffs." + m_function), error);
    if (error) throw std::runtime_error("cannot put the function into the configuration: " + error.message());
}

void ConfigfsGadget::setIdentity(const DeviceDescriptors& d) {
    const Bytes& dev = d.device;
    if (dev.size() < USB_DT_DEVICE_SIZE) throw std::runtime_error("the model's device descriptor is too short");
    write("bcdUSB", ConfigfsHex16(le16(dev, 2)));
    write("bDeviceClass", hex8(dev[4]));
    write("bDeviceSubClass", hex8(dev[5]));
    write("bDeviceProtocol", hex8(dev[6]));
    write("bMaxPacketSize0", hex8(dev[7]));
    write("idVendor", ConfigfsHex16(le16(dev, 8)));
    write("idProduct", ConfigfsHex16(le16(dev, 10)));
    write("bcdDevice", ConfigfsHex16(le16(dev, 12)));
    // A string written, even an empty one, gets an index in the device
    // descriptor: the model's absent strings stay unwritten.
    const std::pair<const char*, uint8_t> strings[] = {
        {"manufacturer", dev[14]}, {"product", dev[15]}, {"serialnumber", dev[16]}};
    for (const auto& [file, index] : strings) {
        const std::string text = stringAt(d, index);
        if (!text.empty()) write(fs::path(kStrings) / file, text);
    }
}

void ConfigfsGadget::bind(const std::string& udc) {
    write("UDC", udc);
    m_bound = true;
}

void ConfigfsGadget::unbind() {
    if (!m_bound) return;
    m_bound = false;
    write("UDC", "");
}

void ConfigfsGadget::remove() {
    if (!m_created) return;
    try {
        unbind();
    } catch (const std::exception&) {
    }
    // configfs removes attribute files with their folder; a scratch folder
    // does not, which is why remove_all is the fallback.
    std::error_code error;
    fs::remove(m_folder / kConfig / ("ffs." + m_function), error);
    for (const fs::path& p : {m_folder / kConfig / kStrings, m_folder / kConfig,
                              m_folder / "functions" / ("ffs." + m_function), m_folder / kStrings, m_folder}) {
        if (!fs::remove(p, error)) fs::remove_all(p, error);
    }
    m_created = false;
}

std::string FirstUdc(const fs::path& udcClass) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(udcClass, error)) return entry.path().filename().string();
    return {};
}

}  // namespace tyvo::sim::gadget
