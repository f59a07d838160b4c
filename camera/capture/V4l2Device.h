#pragma once

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One open V4L2 video node: the few requests the capture needs, each
// returning 0 or the errno of the failed call (EINTR is retried). Streaming
// uses memory-mapped buffers. Not thread-safe by itself: the capture object
// decides who may call what (control requests from any thread only through
// the plain descriptor, see controlFd).
class V4l2Device {
public:
    struct MappedBuffer {
        void* start = nullptr;
        std::size_t length = 0;
    };

    V4l2Device() = default;
    ~V4l2Device();
    V4l2Device(const V4l2Device&) = delete;
    V4l2Device& operator=(const V4l2Device&) = delete;

    // Non-blocking, so that the stream can wait for frames and wake-ups in
    // one poll.
    int open(const std::string& path);
    int fd() const { return m_fd; }

    // A video capture device that streams.
    int queryCapture(bool& isCapture);

    // Control requests on a descriptor (callable from any thread while the
    // descriptor is open).
    static int getControl(int fd, std::uint32_t id, std::int32_t& value);
    static int setControl(int fd, std::uint32_t id, std::int32_t value);
    int queryControl(std::uint32_t id, v4l2_queryctrl& query);

    // Whether the device lists the YUYV format at exactly this frame size.
    bool offersYuyv(std::uint32_t width, std::uint32_t height);
    // Sets YUYV at this size; EINVAL when the driver chose another format.
    int setYuyv(std::uint32_t width, std::uint32_t height);

    // Requests and maps `count` buffers (fewer when the driver gives fewer).
    int mapBuffers(unsigned count);
    std::size_t bufferCount() const { return m_buffers.size(); }
    const MappedBuffer& buffer(unsigned index) const { return m_buffers[index]; }
    int queueBuffer(unsigned index);
    // EAGAIN when no frame is ready.
    int dequeueBuffer(v4l2_buffer& buffer);

    int streamOn();
    int streamOff();
    bool streaming() const { return m_streaming; }

private:
    int request(unsigned long code, void* argument);
    static int request(int fd, unsigned long code, void* argument);
    void unmapBuffers();

    int m_fd = -1;
    std::vector<MappedBuffer> m_buffers;
    bool m_streaming = false;
};
