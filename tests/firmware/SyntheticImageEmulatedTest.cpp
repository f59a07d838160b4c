// Under the emulation (this test runs under umockdev-wrapper) the build's
// synthetic images are read like any other, once the bus declares itself.

#include <gtest/gtest.h>

#include "firmware/ChunkFile.h"
#include "firmware/EmulatedBus.h"
#include "firmware/SyntheticImage.h"
#include "tests/firmware/FirmwareTestSupport.h"
#include "tools/ChunkWriter.h"

namespace {

class SyntheticImageEmulatedTest : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        WriteBytes(m_path, MakeChunkFile(m_image, ChunkMark::Synthetic));
    }

    TempFolder m_folder;
    TempFolder m_testBed;
    ScopedEnvironment m_bed{"UMOCKDEV_DIR", m_testBed.string()};
    const std::string m_path = m_folder.file("app1.dat");
    const FirmwareImage m_image = NoiseBytes(3000);
};

TEST_F(SyntheticImageEmulatedTest, AcceptedOnTheDeclaredEmulatedBus) {
    ScopedEnvironment declared(kEmulatedBusVariable, "umockdev");
    ASSERT_TRUE(GatherEmulatedBusEvidence().umockdevPreloaded) << "run under umockdev-wrapper";
    ASSERT_TRUE(RunsOnEmulatedBus());
    ConsoleCapture console;
    FirmwareImage image;
    ReadFirmwareImage(m_path, image, kControllerImageMaxSize);
    EXPECT_EQ(image, m_image);
    EXPECT_EQ(console.out(), "");
    EXPECT_EQ(console.err(), "");
}

TEST_F(SyntheticImageEmulatedTest, RefusedWhenTheBusDoesNotDeclareItself) {
    // umockdev loaded for some other reason is not the tool's emulation.
    ::unsetenv(kEmulatedBusVariable);
    EXPECT_EXIT(
        {
            FirmwareImage image;
            ReadFirmwareImage(m_path, image, kControllerImageMaxSize);
        },
        ::testing::ExitedWithCode(kFirmwareRefusedExitStatus), "app1.dat is a synthetic firmware image");
}

}  // namespace
