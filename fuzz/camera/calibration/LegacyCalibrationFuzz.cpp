// Legacy calibration files from arbitrary bytes: the loader must never throw,
// crash or allocate beyond its bounds, and must either keep the default
// record or load one. The first byte chooses what the rest is:
//   0: the whole file;
//   1: the message inside a well-formed file (reaches the message parser);
//   2: the floats of two cameras inside a well-formed message (reaches the
//      lens model and the inverse fit), the second byte choosing which parts
//      of the message to leave out.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <sstream>
#include <string>

#include "camera/calibration/LegacyLoader.h"
#include "fuzz/firmware/QuietConsole.h"
#include "source/DataStructures/Tyvo.pb.h"
#include "tools/ChunkWriter.h"

namespace {

std::string wrap(const std::string& payload) {
    const auto chunk = MakeChunkFile(std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()));
    return "HEAD" + std::string(chunk.begin(), chunk.end());
}

// Floats taken from the input, 4 bytes each, zero when the input runs out.
class Floats {
public:
    Floats(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::string take(std::size_t count) {
        std::string bytes(4 * count, '\0');
        for (std::size_t i = 0; i < bytes.size() && m_at < m_size; ++i) bytes[i] = static_cast<char>(m_data[m_at++]);
        return bytes;
    }
    double number() {
        float f = 0;
        const std::string b = take(1);
        std::memcpy(&f, b.data(), 4);
        return f;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

std::string cameraFile(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return {};
    const std::uint8_t leaveOut = data[0];
    Floats floats(data + 1, size - 1);
    Tyvo::Message::LegacyCalibrationHeader header;
    for (int c = 0; c < 2; ++c) {
        auto* camera = header.add_cameras();
        camera->set_camera(c);
        if (!(leaveOut & (1 << (3 * c)))) {
            auto* lens = camera->mutable_map_x();
            lens->set_width(11);
            lens->set_height(1);
            lens->set_data(floats.take(11));
        }
        if (!(leaveOut & (2 << (3 * c)))) {
            auto* rectified = camera->mutable_map_y();
            rectified->set_width(3);
            rectified->set_height(1);
            rectified->set_data(floats.take(3));
        }
        if (!(leaveOut & (4 << (3 * c)))) {
            auto* extrinsic = camera->mutable_extrinsic();
            extrinsic->set_param_1(c);
            extrinsic->set_param_4(floats.number());
            extrinsic->set_param_5(floats.number());
            extrinsic->set_param_6(floats.number());
            extrinsic->set_param_7(floats.number());
            extrinsic->set_param_8(floats.number());
        }
    }
    return wrap(header.SerializeAsString());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QuietConsole();
    if (size < 1) return 0;
    std::string file;
    switch (data[0] % 3) {
        case 0: file.assign(reinterpret_cast<const char*>(data + 1), size - 1); break;
        case 1: file = wrap(std::string(reinterpret_cast<const char*>(data + 1), size - 1)); break;
        default: file = cameraFile(data + 1, size - 1); break;
    }
    std::istringstream in(file);
    const LegacyLoader loader(in);
    // Either the file's record or the default one, never something between.
    if (!loader.loaded() && loader.calibration().camera[0][LensParam::RectifiedFocal] != 1.0f) {
        std::abort();
    }
    return 0;
}
