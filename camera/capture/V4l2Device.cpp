#include "camera/capture/V4l2Device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

V4l2Device::~V4l2Device() {
    if (m_fd < 0) return;
    if (m_streaming) streamOff();
    unmapBuffers();
    ::close(m_fd);
}

int V4l2Device::open(const std::string& path) {
    m_fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return m_fd < 0 ? errno : 0;
}

int V4l2Device::request(int fd, unsigned long code, void* argument) {
    for (;;) {
        if (::ioctl(fd, code, argument) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

int V4l2Device::request(unsigned long code, void* argument) { return request(m_fd, code, argument); }

int V4l2Device::queryCapture(bool& isCapture) {
    v4l2_capability capability{};
    isCapture = false;
    if (const int error = request(VIDIOC_QUERYCAP, &capability)) return error;
    const std::uint32_t caps =
        (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? capability.device_caps : capability.capabilities;
    // A UVC camera also has a metadata node; only the capture node streams
    // frames.
    isCapture = (caps & V4L2_CAP_VIDEO_CAPTURE) != 0 && (caps & V4L2_CAP_STREAMING) != 0;
    return 0;
}

int V4l2Device::getControl(int fd, std::uint32_t id, std::int32_t& value) {
    v4l2_control control{};
    control.id = id;
    const int error = request(fd, VIDIOC_G_CTRL, &control);
    if (error == 0) value = control.value;
    return error;
}

int V4l2Device::setControl(int fd, std::uint32_t id, std::int32_t value) {
    v4l2_control control{};
    control.id = id;
    control.value = value;
    return request(fd, VIDIOC_S_CTRL, &control);
}

int V4l2Device::queryControl(std::uint32_t id, v4l2_queryctrl& query) {
    query = v4l2_queryctrl{};
    query.id = id;
    return request(VIDIOC_QUERYCTRL, &query);
}

bool V4l2Device::offersYuyv(std::uint32_t width, std::uint32_t height) {
    for (std::uint32_t index = 0;; ++index) {
        v4l2_fmtdesc format{};
        format.index = index;
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (request(VIDIOC_ENUM_FMT, &format) != 0) return false;
        if (format.pixelformat != V4L2_PIX_FMT_YUYV) continue;
        for (std::uint32_t sizeIndex = 0;; ++sizeIndex) {
            v4l2_frmsizeenum size{};
            size.index = sizeIndex;
            size.pixel_format = V4L2_PIX_FMT_YUYV;
            if (request(VIDIOC_ENUM_FRAMESIZES, &size) != 0) break;
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                if (size.discrete.width == width && size.discrete.height == height) return true;
                continue;
            }
            // Stepwise or continuous: one entry describes every size.
            const v4l2_frmsize_stepwise& s = size.stepwise;
            const bool inRange =
                width >= s.min_width && width <= s.max_width && height >= s.min_height && height <= s.max_height;
            const bool onStep = (s.step_width == 0 || (width - s.min_width) % s.step_width == 0) &&
                                (s.step_height == 0 || (height - s.min_height) % s.step_height == 0);
            return inRange && onStep;
        }
    }
}

int V4l2Device::setYuyv(std::uint32_t width, std::uint32_t height) {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = width;
    format.fmt.pix.height = height;
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    if (const int error = request(VIDIOC_S_FMT, &format)) return error;
    const bool exact = format.fmt.pix.width == width && format.fmt.pix.height == height &&
                       format.fmt.pix.pixelformat == V4L2_PIX_FMT_YUYV;
    return exact ? 0 : EINVAL;
}

int V4l2Device::mapBuffers(unsigned count) {
    v4l2_requestbuffers buffers{};
    buffers.count = count;
    buffers.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffers.memory = V4L2_MEMORY_MMAP;
    if (const int error = request(VIDIOC_REQBUFS, &buffers)) return error;
    if (buffers.count == 0) return ENOMEM;
    for (unsigned index = 0; index < buffers.count; ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (const int error = request(VIDIOC_QUERYBUF, &buffer)) return error;
        void* start = ::mmap(nullptr, buffer.length, PROT_READ, MAP_SHARED, m_fd, buffer.m.offset);
        if (start == MAP_FAILED) return errno;
        m_buffers.push_back(MappedBuffer{start, buffer.length});
    }
    return 0;
}

void V4l2Device::unmapBuffers() {
    for (const MappedBuffer& buffer : m_buffers) ::munmap(buffer.start, buffer.length);
    if (m_buffers.empty()) return;
    m_buffers.clear();
    // Hands the buffers back to the driver; the result does not matter any
    // more.
    v4l2_requestbuffers none{};
    none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    none.memory = V4L2_MEMORY_MMAP;
    (void)request(VIDIOC_REQBUFS, &none);
}

int V4l2Device::queueBuffer(unsigned index) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    return request(VIDIOC_QBUF, &buffer);
}

int V4l2Device::dequeueBuffer(v4l2_buffer& buffer) {
    buffer = v4l2_buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    const int error = request(VIDIOC_DQBUF, &buffer);
    if (error == 0 && buffer.index >= m_buffers.size()) return EINVAL;
    return error;
}

int V4l2Device::streamOn() {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const int error = request(VIDIOC_STREAMON, &type);
    if (error == 0) m_streaming = true;
    return error;
}

int V4l2Device::streamOff() {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    m_streaming = false;
    return request(VIDIOC_STREAMOFF, &type);
}
