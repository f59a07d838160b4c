#include "camera/calibration/LegacyLoader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "source/DataStructures/Tyvo.pb.h"
#include "tests/camera/calibration/CalibrationTestSupport.h"
#include "tests/support/TempFolder.h"
#include "tools/ChunkWriter.h"

namespace {

namespace msg = Tyvo::Message;

void putFloats(msg::FloatImage* image, std::initializer_list<float> values, int width = -1) {
    std::string data;
    for (float v : values)
        for (int k = 0; k < 4; ++k) data.push_back(static_cast<char>(std::bit_cast<std::uint32_t>(v) >> (8 * k)));
    image->set_width(width < 0 ? static_cast<int>(values.size()) : width);
    image->set_height(1);
    image->set_data(data);
}

// Camera 0 mild with revision 12, s 0.04, u 1.5; camera 1 wide, with other
// stereo values that must not be taken.
msg::LegacyCalibrationHeader twoCameras() {
    using L = LensParam;
    msg::LegacyCalibrationHeader header;
    int index = 0;
    for (const CameraParameters& p : {mildLens(), wideLens()}) {
        msg::LegacyCalibration* camera = header.add_cameras();
        camera->set_camera(index);
        putFloats(camera->mutable_map_x(), {p[L::Focal], p[L::CentreX], p[L::CentreY], p[L::P1], p[L::P2], p[L::K1],
                                            p[L::K2], p[L::K3], p[L::K4], p[L::K5], p[L::K6]});
        putFloats(camera->mutable_map_y(), {p[L::RectifiedFocal], p[L::RectifiedCentreX], p[L::RectifiedCentreY]});
        msg::CameraExtrinsic* e = camera->mutable_extrinsic();
        e->set_param_1(12 + index);
        e->set_param_4(p[L::RotationA]);
        e->set_param_5(p[L::RotationB]);
        e->set_param_6(p[L::RotationC]);
        e->set_param_7(index == 0 ? 0.04 : 9.0);
        e->set_param_8(index == 0 ? 1.5 : 9.0);
        ++index;
    }
    return header;
}

std::string legacyFile(const std::string& payload) {
    const auto chunk = MakeChunkFile(std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()));
    return "HEAD" + std::string(chunk.begin(), chunk.end());
}

// Loads from memory; expects the default record unless told otherwise, and
// returns what went to standard output.
std::string loadExpectingDefault(const std::string& bytes) {
    std::istringstream in(bytes);
    testing::internal::CaptureStdout();
    const LegacyLoader loader(in);
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(loader.loaded());
    EXPECT_EQ(loader.calibration().camera[0][LensParam::RectifiedFocal], 1.0f);
    EXPECT_EQ(loader.calibration().camera[0][LensParam::Focal], 100.0f);
    return output;
}

}  // namespace

TEST(LegacyLoader, ReadsBothCameras) {
    std::istringstream in(legacyFile(twoCameras().SerializeAsString()));
    testing::internal::CaptureStdout();
    const LegacyLoader loader(in);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_TRUE(loader.loaded()) << loader.failure();
    const Calibration& c = loader.calibration();
    EXPECT_EQ(c.version, 0);
    EXPECT_EQ(c.revision, 12);
    EXPECT_EQ(c.stereoS, 0.04f);
    EXPECT_EQ(c.stereoU, 1.5f);
    EXPECT_NEAR(double(c.created), double(calibrationNow()), 2.0);
    const Calibration expected(0, 12, 0.04f, 1.5f, fitted(mildLens()), fitted(wideLens()));
    EXPECT_EQ(c.camera, expected.camera);
    EXPECT_EQ(c.matrices, expected.matrices);
    EXPECT_GT(c.camera[0][LensParam::RectifiedFocal], 1.0f);  // what the device checks
}

TEST(LegacyLoader, KeepsTheDefaultForAnyOtherFileAndReportsDamage) {
    const std::string readFailed = "error reading compressed chunk, file reported bad()\n";
    const std::string expandFailed = "error decompress chunk.\n";
    const std::string good = legacyFile(twoCameras().SerializeAsString());
    auto with = [&good](std::size_t at, const std::string& bytes) {
        return std::string(good).replace(at, bytes.size(), bytes);
    };
    const std::pair<std::string, std::string> cases[] = {
        {with(3, "X"), ""},  // not ours: quietly the default
        {"", ""},
        {"HE", ""},
        {good.substr(0, good.size() - 10), readFailed},                   // cut short
        {good.substr(0, 9), readFailed},                                  // cut inside the sizes
        {with(8, "\xff\xff\xff\xff"), readFailed},                        // 4 GB stored: refused before allocating
        {with(4, "\xff\xff\xff\xff"), expandFailed},                      // 4 GB expanded: refused before allocating
        {with(20, std::string(1, char(good[20] ^ 0x5A))), expandFailed},  // damaged stream
        {with(4, std::string(1, char(good[4] + 1))), expandFailed},       // size the stream does not give
    };
    for (const auto& [bytes, message] : cases) EXPECT_EQ(loadExpectingDefault(bytes), message);
}

TEST(LegacyLoader, NeedsTwoCompleteCameras) {
    std::vector<msg::LegacyCalibrationHeader> broken(5, twoCameras());
    broken[0].mutable_cameras(1)->clear_map_y();
    broken[1].mutable_cameras(0)->clear_extrinsic();
    broken[2].mutable_cameras()->RemoveLast();
    // Fewer values than the lens needs, or fewer bytes than claimed.
    putFloats(broken[3].mutable_cameras(0)->mutable_map_y(), {200.0f, 0.0f});
    putFloats(broken[4].mutable_cameras(0)->mutable_map_x(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 11);
    for (const auto& header : broken) EXPECT_EQ(loadExpectingDefault(legacyFile(header.SerializeAsString())), "");
    EXPECT_EQ(loadExpectingDefault(legacyFile(std::string("\xff\xff\xff\xff", 4))), "");  // not a message
}

TEST(LegacyLoader, FileOfASerialInTheUsersDataFolder) {
    EXPECT_EQ(LegacyLoader("/nonexistent/tyvo/MKT-21000000001").failure(),
              "Calibration file not found. Please run Recalibrate tool.");

    const TempFolder folder("tyvo-legacy");
    const std::string home = folder.string();
    const ScopedEnvironment appData("APPDATA", home);
    const std::string path = LegacyLoader::pathForSerial("MKT-36123456789");
    EXPECT_EQ(path, home + "/Tyvo/MKT-36123456789");
    std::ofstream(path, std::ios::binary) << legacyFile(twoCameras().SerializeAsString());
    const LegacyLoader loader(path);
    EXPECT_TRUE(loader.loaded()) << loader.failure();
    // A serial is a file name, never a path.
    for (const char* serial : {"", "..", "../../etc/passwd", "MKT-21\\..\\x"}) {
        EXPECT_EQ(LegacyLoader::pathForSerial(serial), "") << serial;
    }
}
