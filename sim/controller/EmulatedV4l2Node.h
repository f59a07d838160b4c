#pragma once
// One emulated /dev/videoN: answers the V4L2 requests a capture client makes
// (capabilities, formats and frame sizes, controls, memory-mapped buffers,
// streaming) as the kernel's UVC driver would, for a camera backend that
// supplies the controls and the frames.
//
// umockdev does not intercept mmap: the node is a plain file, the buffers
// lie at page-aligned offsets in it, and each frame is written into the file
// at its buffer's offset before the buffer is handed back. poll always
// reports the file readable, so frames are paced in DQBUF: a dequeue before
// the next frame is due answers EAGAIN.

#include <linux/videodev2.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace tyvo::sim {

struct FrameSize {
    uint32_t width = 0;
    uint32_t height = 0;
    bool operator==(const FrameSize&) const = default;
};

// The camera behind a node. Called on umockdev's thread with the node's lock
// held; errors are errno values.
class V4l2CameraBackend {
public:
    enum class FrameFate { Deliver, Withhold, Vanish };

    virtual ~V4l2CameraBackend() = default;
    virtual std::string cardName() const = 0;
    virtual std::vector<FrameSize> frameSizes() const = 0;
    virtual std::chrono::nanoseconds frameInterval() const = 0;
    virtual int queryControl(v4l2_queryctrl& query) = 0;
    virtual int getControl(uint32_t id, int32_t& value) = 0;
    virtual int setControl(uint32_t id, int32_t value) = 0;
    // What becomes of the frame about to be delivered (faults).
    virtual FrameFate nextFrame(uint64_t sequence) = 0;
    // Fills a YUYV frame of width x height pixels (2 x width bytes a line).
    virtual void renderFrame(uint8_t* out, FrameSize size, uint64_t sequence) = 0;
};

struct V4l2NodeStats {
    std::size_t ioctls = 0;
    std::size_t controlRequests = 0;
    std::size_t framesDelivered = 0;
    std::size_t streamOns = 0;
    std::vector<FrameSize> formatsSet;
};

class EmulatedV4l2Node {
public:
    // The node refers to its camera weakly (the camera owns its nodes); once
    // the camera is gone the node answers as a gone device.
    EmulatedV4l2Node(const std::shared_ptr<V4l2CameraBackend>& backend, std::string filePath);
    ~EmulatedV4l2Node();
    EmulatedV4l2Node(const EmulatedV4l2Node&) = delete;
    EmulatedV4l2Node& operator=(const EmulatedV4l2Node&) = delete;

    // umockdev's handle-ioctl; always answers the client.
    void handleIoctl(UMockdevIoctlClient* client);

    // The device has gone: every request answers ENODEV from now on.
    void disconnect();
    bool gone() const;
    V4l2NodeStats stats() const;

private:
    int handle(V4l2CameraBackend& backend, unsigned long request, void* argument);
    int setFormat(V4l2CameraBackend& backend, v4l2_format& format, bool apply);
    int requestBuffers(v4l2_requestbuffers& request);
    int queryBuffer(v4l2_buffer& buffer) const;
    int queueBuffer(const v4l2_buffer& buffer);
    int dequeueBuffer(V4l2CameraBackend& backend, v4l2_buffer& buffer);
    void fillBuffer(v4l2_buffer& buffer, uint32_t index) const;
    std::size_t frameBytes() const { return std::size_t{m_format.width} * m_format.height * 2; }

    const std::weak_ptr<V4l2CameraBackend> m_backend;
    const std::string m_filePath;
    mutable std::mutex m_nodeLock;  // everything below
    int m_file = -1;
    bool m_gone = false;
    FrameSize m_format;
    std::size_t m_bufferStride = 0;  // page-aligned
    uint32_t m_bufferCount = 0;
    std::vector<bool> m_queued;
    std::deque<uint32_t> m_queue;
    bool m_streaming = false;
    std::chrono::steady_clock::time_point m_due{};
    uint64_t m_sequence = 0;
    std::vector<uint8_t> m_frame;
    V4l2NodeStats m_stats;
};

}  // namespace tyvo::sim
