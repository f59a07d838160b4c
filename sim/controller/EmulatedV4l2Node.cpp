#include "sim/controller/EmulatedV4l2Node.h"

#include <umockdev.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tyvo::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxBuffers = 8;

std::size_t pageSize() {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

void copyText(uint8_t* field, std::size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::copy_n(text.data(), std::min(size - 1, text.size()), field);
}

}  // namespace

EmulatedV4l2Node::EmulatedV4l2Node(const std::shared_ptr<V4l2CameraBackend>& backend, std::string filePath)
    : m_backend(backend), m_filePath(std::move(filePath)) {
    const auto sizes = backend->frameSizes();
    if (!sizes.empty()) m_format = sizes.front();
}

EmulatedV4l2Node::~EmulatedV4l2Node() {
    if (m_file >= 0) ::close(m_file);
}

void EmulatedV4l2Node::disconnect() {
    std::lock_guard lock(m_nodeLock);
    m_gone = true;
    m_streaming = false;
}

bool EmulatedV4l2Node::gone() const {
    std::lock_guard lock(m_nodeLock);
    return m_gone;
}

V4l2NodeStats EmulatedV4l2Node::stats() const {
    std::lock_guard lock(m_nodeLock);
    return m_stats;
}

void EmulatedV4l2Node::handleIoctl(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    const std::size_t size = _IOC_SIZE(request);
    if (_IOC_TYPE(request) != 'V' || size == 0) {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return;
    }
    // The argument is the caller's pointer; follow it to the structure.
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, &error);
    if (error) g_error_free(error);
    if (data == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    int result = ENODEV;
    if (const auto backend = m_backend.lock()) {
        std::lock_guard lock(m_nodeLock);
        ++m_stats.ioctls;
        if (!m_gone) result = handle(*backend, request, data->data);
    }
    umockdev_ioctl_data_unref(data);
    umockdev_ioctl_client_complete(client, result == 0 ? 0 : -1, result);
}

int EmulatedV4l2Node::handle(V4l2CameraBackend& backend, unsigned long request, void* argument) {
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto& cap = *static_cast<v4l2_capability*>(argument);
            std::memset(&cap, 0, sizeof cap);
            copyText(cap.driver, sizeof cap.driver, "uvcvideo");
            copyText(cap.card, sizeof cap.card, backend.cardName());
            copyText(cap.bus_info, sizeof cap.bus_info, "usb-0000:00:14.0");
            cap.version = 0x00060100;
            cap.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
            cap.capabilities = cap.device_caps | V4L2_CAP_DEVICE_CAPS;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto& format = *static_cast<v4l2_fmtdesc*>(argument);
            if (format.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || format.index != 0) return EINVAL;
            format.flags = 0;
            format.pixelformat = V4L2_PIX_FMT_YUYV;
            copyText(format.description, sizeof format.description, "YUYV 4:2:2");
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto& size = *static_cast<v4l2_frmsizeenum*>(argument);
            const auto sizes = backend.frameSizes();
            if (size.pixel_format != V4L2_PIX_FMT_YUYV || size.index >= sizes.size()) return EINVAL;
            size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
            size.discrete.width = sizes[size.index].width;
            size.discrete.height = sizes[size.index].height;
            return 0;
        }
        case VIDIOC_G_FMT: {
            auto& format = *static_cast<v4l2_format*>(argument);
            if (format.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
            format.fmt.pix.width = m_format.width;
            format.fmt.pix.height = m_format.height;
            format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
            format.fmt.pix.field = V4L2_FIELD_NONE;
            format.fmt.pix.bytesperline = m_format.width * 2;
            format.fmt.pix.sizeimage = static_cast<uint32_t>(frameBytes());
            return 0;
        }
        case VIDIOC_S_FMT: return setFormat(backend, *static_cast<v4l2_format*>(argument), true);
        case VIDIOC_TRY_FMT: return setFormat(backend, *static_cast<v4l2_format*>(argument), false);
        case VIDIOC_REQBUFS: return requestBuffers(*static_cast<v4l2_requestbuffers*>(argument));
        case VIDIOC_QUERYBUF: return queryBuffer(*static_cast<v4l2_buffer*>(argument));
        case VIDIOC_QBUF: return queueBuffer(*static_cast<v4l2_buffer*>(argument));
        case VIDIOC_DQBUF: return dequeueBuffer(backend, *static_cast<v4l2_buffer*>(argument));
        case VIDIOC_STREAMON: {
            if (*static_cast<int*>(argument) != V4L2_BUF_TYPE_VIDEO_CAPTURE || m_bufferCount == 0) return EINVAL;
            if (!m_streaming) {
                m_streaming = true;
                m_due = Clock::now() + backend.frameInterval();
                ++m_stats.streamOns;
            }
            return 0;
        }
        case VIDIOC_STREAMOFF: {
            if (*static_cast<int*>(argument) != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
            m_streaming = false;
            m_queue.clear();
            std::fill(m_queued.begin(), m_queued.end(), false);
            return 0;
        }
        case VIDIOC_QUERYCTRL: return backend.queryControl(*static_cast<v4l2_queryctrl*>(argument));
        case VIDIOC_G_CTRL: {
            ++m_stats.controlRequests;
            auto& control = *static_cast<v4l2_control*>(argument);
            return backend.getControl(control.id, control.value);
        }
        case VIDIOC_S_CTRL: {
            ++m_stats.controlRequests;
            auto& control = *static_cast<v4l2_control*>(argument);
            return backend.setControl(control.id, control.value);
        }
        default: return ENOTTY;
    }
}

int EmulatedV4l2Node::setFormat(V4l2CameraBackend& backend, v4l2_format& format, bool apply) {
    if (format.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
    const auto sizes = backend.frameSizes();
    if (sizes.empty()) return EINVAL;
    // As the UVC driver does: the only format, at the listed size closest to
    // the one asked for.
    const auto distance = [&](const FrameSize& s) {
        return std::labs(static_cast<long>(s.width) - static_cast<long>(format.fmt.pix.width)) +
               std::labs(static_cast<long>(s.height) - static_cast<long>(format.fmt.pix.height));
    };
    const FrameSize chosen = *std::min_element(
        sizes.begin(), sizes.end(), [&](const FrameSize& a, const FrameSize& b) { return distance(a) < distance(b); });
    if (apply) {
        if (m_bufferCount > 0) return EBUSY;
        m_format = chosen;
        m_stats.formatsSet.push_back(chosen);
    }
    format.fmt.pix.width = chosen.width;
    format.fmt.pix.height = chosen.height;
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    format.fmt.pix.bytesperline = chosen.width * 2;
    format.fmt.pix.sizeimage = chosen.width * chosen.height * 2;
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
    return 0;
}

int EmulatedV4l2Node::requestBuffers(v4l2_requestbuffers& request) {
    if (request.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || request.memory != V4L2_MEMORY_MMAP) return EINVAL;
    if (m_streaming) return EBUSY;
    m_queue.clear();
    if (request.count == 0) {
        m_bufferCount = 0;
        m_queued.clear();
        return 0;
    }
    const uint32_t count = std::min(request.count, kMaxBuffers);
    const std::size_t page = pageSize();
    const std::size_t stride = (frameBytes() + page - 1) / page * page;
    if (m_file < 0) m_file = ::open(m_filePath.c_str(), O_RDWR | O_CLOEXEC);
    if (m_file < 0 || ::ftruncate(m_file, static_cast<off_t>(stride * count)) != 0) return ENOMEM;
    m_bufferStride = stride;
    m_bufferCount = count;
    m_queued.assign(count, false);
    request.count = count;
    request.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
    return 0;
}

void EmulatedV4l2Node::fillBuffer(v4l2_buffer& buffer, uint32_t index) const {
    buffer.index = index;
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.length = static_cast<uint32_t>(frameBytes());
    buffer.m.offset = static_cast<uint32_t>(index * m_bufferStride);
    buffer.field = V4L2_FIELD_NONE;
    buffer.flags =
        V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | (m_queued[index] ? V4L2_BUF_FLAG_QUEUED : 0u);
}

int EmulatedV4l2Node::queryBuffer(v4l2_buffer& buffer) const {
    if (buffer.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer.index >= m_bufferCount) return EINVAL;
    fillBuffer(buffer, buffer.index);
    return 0;
}

int EmulatedV4l2Node::queueBuffer(const v4l2_buffer& buffer) {
    if (buffer.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer.memory != V4L2_MEMORY_MMAP ||
        buffer.index >= m_bufferCount || m_queued[buffer.index])
        return EINVAL;
    m_queued[buffer.index] = true;
    m_queue.push_back(buffer.index);
    return 0;
}

int EmulatedV4l2Node::dequeueBuffer(V4l2CameraBackend& backend, v4l2_buffer& buffer) {
    if (buffer.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !m_streaming) return EINVAL;
    // Not due yet: EAGAIN at once. umockdev serves every node of the process
    // on one thread, so waiting here would hold up the control requests of
    // the other threads; the client paces its own retries.
    if (m_queue.empty() || Clock::now() < m_due) return EAGAIN;
    if (backend.nextFrame(m_sequence) != V4l2CameraBackend::FrameFate::Deliver) return EAGAIN;
    const uint32_t index = m_queue.front();
    m_queue.pop_front();
    m_queued[index] = false;
    m_frame.resize(frameBytes());
    backend.renderFrame(m_frame.data(), m_format, m_sequence);
    if (::pwrite(m_file, m_frame.data(), m_frame.size(), static_cast<off_t>(index * m_bufferStride)) !=
        static_cast<ssize_t>(m_frame.size()))
        return EIO;
    fillBuffer(buffer, index);
    buffer.flags |= V4L2_BUF_FLAG_DONE;
    buffer.bytesused = static_cast<uint32_t>(frameBytes());
    buffer.sequence = static_cast<uint32_t>(m_sequence);
    timespec stamp{};
    ::clock_gettime(CLOCK_MONOTONIC, &stamp);
    buffer.timestamp.tv_sec = stamp.tv_sec;
    buffer.timestamp.tv_usec = stamp.tv_nsec / 1000;
    ++m_sequence;
    ++m_stats.framesDelivered;
    // Keep the camera's cadence; a client far behind starts afresh.
    const auto interval = backend.frameInterval();
    m_due += std::chrono::duration_cast<Clock::duration>(interval);
    if (m_due + 4 * interval < Clock::now()) m_due = Clock::now() + interval;
    return 0;
}

}  // namespace tyvo::sim
