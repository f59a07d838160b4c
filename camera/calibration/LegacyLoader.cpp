#include "camera/calibration/LegacyLoader.h"

#include <cstdint>
#include <exception>
#include <fstream>
#include <iostream>
#include <vector>

#include "camera/calibration/CameraCalibration.h"
#include "config/DataFolder.h"
#include "devices/core/DeviceExceptions.h"
#include "firmware/ChunkFile.h"
#include "firmware/ScrambleKey.h"
#include "logging/ConsoleLine.h"
#include "source/DataStructures/Tyvo.pb.h"

namespace {

constexpr char kNotFound[] = "Calibration file not found. Please run Recalibrate tool.";
constexpr char kReadFailed[] = "error reading compressed chunk, file reported bad()";
constexpr char kExpandFailed[] = "error decompress chunk.";

bool readWord(std::istream& in, std::uint32_t& value) {
    unsigned char bytes[4];
    if (!in.read(reinterpret_cast<char*>(bytes), 4)) return false;
    value = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
            static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    return true;
}

// Bytes left in the stream from the current position; -1 when the stream
// cannot tell.
std::streamoff remaining(std::istream& in) {
    const std::streampos here = in.tellg();
    if (here == std::streampos(-1)) return -1;
    in.seekg(0, std::ios::end);
    const std::streampos end = in.tellg();
    in.seekg(here);
    if (end == std::streampos(-1) || !in) return -1;
    return end - here;
}

}  // namespace

LegacyLoader::LegacyLoader(const std::string& path) {
    try {
        std::ifstream file;
        if (!path.empty()) file.open(path, std::ios::binary);
        if (!file.is_open()) throw calibration_exception(kNotFound);
        read(file);
    } catch (const std::exception& e) {
        // The caller decides from the record; the reason is kept for it.
        keepDefault(e.what());
    } catch (...) {
        keepDefault("unexpected failure");
    }
}

LegacyLoader::LegacyLoader(std::istream& file) {
    try {
        read(file);
    } catch (const std::exception& e) {
        keepDefault(e.what());
    } catch (...) {
        keepDefault("unexpected failure");
    }
}

void LegacyLoader::keepDefault(const char* why) {
    m_calibration = Calibration(1.0f);
    m_loaded = false;
    m_failure = why;
}

void LegacyLoader::read(std::istream& file) {
    char signature[4] = {};
    if (!file.read(signature, 4) || std::string(signature, 4) != "HEAD") {
        keepDefault("not a calibration file");
        return;
    }

    std::uint32_t expandedSize = 0;
    std::uint32_t storedSize = 0;
    const bool header = readWord(file, expandedSize) && readWord(file, storedSize);
    // The stored chunk must be in the file: a size beyond what is there is
    // refused before anything is allocated for it.
    const std::streamoff left = header ? remaining(file) : -1;
    if (!header || storedSize > kMaxStoredSize || (left >= 0 && static_cast<std::streamoff>(storedSize) > left)) {
        WriteConsoleLine(std::cout, kReadFailed);
        keepDefault(kReadFailed);
        return;
    }
    if (expandedSize > kMaxExpandedSize) {
        WriteConsoleLine(std::cout, kExpandFailed);
        keepDefault(kExpandFailed);
        return;
    }

    std::vector<std::uint8_t> chunk(storedSize);
    // A short read is as bad as a failing one: the chunk is incomplete.
    if (!file.read(reinterpret_cast<char*>(chunk.data()), storedSize) || file.bad()) {
        WriteConsoleLine(std::cout, kReadFailed);
        keepDefault(kReadFailed);
        return;
    }

    DescrambleChunk(chunk.data(), chunk.data(), chunk.size(), BuildScrambleKey());
    std::vector<std::uint8_t> expanded;
    if (!ExpandChunk(chunk, expandedSize, expanded)) {
        WriteConsoleLine(std::cout, kExpandFailed);
        keepDefault(kExpandFailed);
        return;
    }

    Tyvo::Message::LegacyCalibrationHeader message;
    if (!message.ParseFromArray(expanded.data(), static_cast<int>(expanded.size()))) {
        keepDefault("calibration file holds no calibration");
        return;
    }
    if (message.cameras_size() < 2) {
        keepDefault("Calibration file holds an incomplete camera");
        return;
    }
    const CameraCalibration first(message.cameras(0));
    const CameraCalibration second(message.cameras(1));
    m_calibration =
        Calibration(0, first.revision(), first.stereoS(), first.stereoU(), first.parameters(), second.parameters());
    m_loaded = true;
    m_failure.clear();
}

std::string LegacyLoader::pathForSerial(const std::string& serial) {
    if (serial.empty() || serial == "." || serial == ".." ||
        serial.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
        return {};
    }
    return Config::dataFilePath(serial);
}
