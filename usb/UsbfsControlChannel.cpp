#include "usb/UsbfsControlChannel.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace tyvo::usb {

UsbfsControlChannel::UsbfsControlChannel(std::string devNode) : m_devNode(std::move(devNode)) {}

UsbfsControlChannel::~UsbfsControlChannel() {
    if (m_fd >= 0) ::close(m_fd);
}

uint32_t UsbfsControlChannel::openNode() {
    if (m_fd >= 0) return 0;
    m_fd = ::open(m_devNode.c_str(), O_RDWR | O_CLOEXEC);
    if (m_fd >= 0) return 0;
    return errno == ENOENT ? ENODEV : static_cast<uint32_t>(errno);
}

uint32_t UsbfsControlChannel::submit(usbdevfs_urb& urb) {
    if (const uint32_t error = openNode()) return error;
    if (::ioctl(m_fd, USBDEVFS_SUBMITURB, &urb) == 0) return 0;
    return static_cast<uint32_t>(errno);
}

usbdevfs_urb* UsbfsControlChannel::reap(uint32_t& error) {
    error = 0;
    if (m_fd < 0) return nullptr;
    void* done = nullptr;
    if (::ioctl(m_fd, USBDEVFS_REAPURBNDELAY, &done) == 0) return static_cast<usbdevfs_urb*>(done);
    if (errno != EAGAIN) error = static_cast<uint32_t>(errno);
    return nullptr;
}

uint32_t UsbfsControlChannel::discard(usbdevfs_urb& urb) {
    if (m_fd < 0) return EBADF;
    if (::ioctl(m_fd, USBDEVFS_DISCARDURB, &urb) == 0) return 0;
    return static_cast<uint32_t>(errno);
}

}  // namespace tyvo::usb
