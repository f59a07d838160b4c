#include "firmware/FX3Firmware.h"

#include <gtest/gtest.h>

#include <climits>

#include "firmware/FX3BootImage.h"
#include "tests/firmware/FirmwareTestSupport.h"
#include "tools/ChunkWriter.h"
#include "tools/SyntheticImages.h"

namespace {

const std::string kSerial = "QK90352817466";

FirmwareImage Personalised(FirmwareImage image, const std::string& serial) {
    EXPECT_TRUE(PersonaliseImage(image, serial));
    return image;
}

class FX3FirmwareTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_older = MakeControllerImage({.size = 32 * 1024, .firmwareVersion = 12, .seed = 11});
        m_newer = MakeControllerImage({.size = 40 * 1024, .firmwareVersion = 17, .seed = 22});
        Store(m_older, "app1.dat");
        Store(m_newer, "app2.dat");
    }

    void Store(const FirmwareImage& image, const std::string& name) {
        WriteBytes(m_folder.file(name), MakeChunkFile(image));
    }

    FX3Firmware Load() { return FX3Firmware(m_folder.file("app2.dat"), m_folder.file("app1.dat")); }

    TempFolder m_folder;
    FirmwareImage m_older;
    FirmwareImage m_newer;
};

TEST_F(FX3FirmwareTest, VersionThirteenIsTheBoundaryBetweenTheImages) {
    ConsoleCapture console;
    const FX3Firmware firmware = Load();
    EXPECT_EQ(firmware.newerImage(), m_newer);
    EXPECT_EQ(firmware.olderImage(), m_older);

    const FirmwareImage olderPersonalised = Personalised(m_older, kSerial);
    const FirmwareImage newerPersonalised = Personalised(m_newer, kSerial);
    EXPECT_EQ(firmware.ImageForDevice(12, kSerial), olderPersonalised);
    EXPECT_EQ(firmware.ImageForDevice(0, kSerial), olderPersonalised);
    EXPECT_EQ(firmware.ImageForDevice(INT_MIN, kSerial), olderPersonalised);
    EXPECT_EQ(firmware.ImageForDevice(13, kSerial), newerPersonalised);
    EXPECT_EQ(firmware.ImageForDevice(17, kSerial), newerPersonalised);
    EXPECT_EQ(console.out(), "");
}

TEST_F(FX3FirmwareTest, EachCallPersonalisesAFreshCopy) {
    const FX3Firmware firmware = Load();
    const FirmwareImage first = firmware.ImageForDevice(12, "MKT-21-0001");
    const FirmwareImage second = firmware.ImageForDevice(12, kSerial);
    EXPECT_EQ(second, Personalised(m_older, kSerial));
    EXPECT_NE(first, second);
    EXPECT_EQ(firmware.olderImage(), m_older);
}

TEST_F(FX3FirmwareTest, ImagesThatCannotBePersonalisedAreReturnedAsRead) {
    const FirmwareImage noMarker = MakeBootProgrammerImage({.size = 8192});
    Store(noMarker, "app1.dat");
    const FX3Firmware firmware = Load();
    EXPECT_EQ(firmware.ImageForDevice(12, kSerial), noMarker);

    ConsoleCapture console;
    EXPECT_EQ(firmware.ImageForDevice(13, ""), m_newer);
    EXPECT_EQ(console.out(),
              "There is something wrong with your device. Please contact Tyvo for support, and "
              "include your device ID.\n");
}

TEST_F(FX3FirmwareTest, MissingFilesLeaveEmptyImagesNewerReadFirst) {
    std::filesystem::remove(m_folder.file("app1.dat"));
    std::filesystem::remove(m_folder.file("app2.dat"));
    ConsoleCapture console;
    const FX3Firmware firmware = Load();
    EXPECT_EQ(console.out(), "cannot open firmware file\ncannot open firmware file\n");
    const std::string err = console.err();
    const auto newer = err.find("app2.dat");
    const auto older = err.find("app1.dat");
    ASSERT_NE(newer, std::string::npos);
    ASSERT_NE(older, std::string::npos);
    EXPECT_LT(newer, older);
    EXPECT_TRUE(firmware.ImageForDevice(13, kSerial).empty());
    EXPECT_TRUE(firmware.ImageForDevice(12, kSerial).empty());
}

TEST_F(FX3FirmwareTest, ImagesAboveTheCapAreRefused) {
    ConsoleCapture console;
    const FX3Firmware firmware(m_folder.file("app2.dat"), m_folder.file("app1.dat"),
                               static_cast<std::uint32_t>(m_older.size()));
    EXPECT_TRUE(firmware.newerImage().empty());
    EXPECT_EQ(firmware.olderImage(), m_older);
    EXPECT_EQ(console.out(), "error decompressing chunk.\n");
}

}  // namespace
