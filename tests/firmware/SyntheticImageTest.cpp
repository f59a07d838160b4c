// The build's synthetic images never reach a real controller: the reader
// refuses them (status 6) unless the emulation is really there.

#include <gtest/gtest.h>

#include "firmware/ChunkFile.h"
#include "firmware/EmulatedBus.h"
#include "firmware/SyntheticImage.h"
#include "tests/firmware/FirmwareTestSupport.h"
#include "tools/ChunkWriter.h"

namespace {

TEST(EmulatedBus, ADeclarationCountsOnlyWithTheEmulationItNames) {
    EXPECT_FALSE(IsEmulatedBus({}));
    EXPECT_TRUE(IsEmulatedBus({.declared = "umockdev", .umockdevPreloaded = true, .umockdevTestBed = true}));
    EXPECT_FALSE(IsEmulatedBus({.declared = "umockdev", .umockdevPreloaded = true}))
        << "umockdev preloaded without a test bed serves no devices";
    EXPECT_FALSE(IsEmulatedBus({.declared = "umockdev", .umockdevTestBed = true}));
    EXPECT_FALSE(IsEmulatedBus({.declared = "umockdev", .dummyHostController = true}));
    EXPECT_TRUE(IsEmulatedBus({.declared = "dummy_hcd", .dummyHostController = true}));
    EXPECT_FALSE(IsEmulatedBus({.declared = "dummy_hcd", .umockdevPreloaded = true, .umockdevTestBed = true}));
    // Everything present, but not declared (or declared as something else):
    // a user's machine may well have umockdev or dummy_hcd for other reasons.
    const EmulatedBusEvidence everything{
        .declared = "", .umockdevPreloaded = true, .umockdevTestBed = true, .dummyHostController = true};
    for (const char* declared : {"", "1", "yes", "UMOCKDEV", "umockdev ", "dummy-hcd"}) {
        EmulatedBusEvidence evidence = everything;
        evidence.declared = declared;
        EXPECT_FALSE(IsEmulatedBus(evidence)) << '"' << declared << '"';
    }
}

TEST(EmulatedBus, ThisTestProcessIsNotEmulatedEvenWhenItSaysSo) {
    // Not run under umockdev-wrapper: the preload library is not mapped.
    ScopedEnvironment declared(kEmulatedBusVariable, "umockdev");
    TempFolder bed;
    ScopedEnvironment testBed("UMOCKDEV_DIR", bed.string());
    const EmulatedBusEvidence evidence = GatherEmulatedBusEvidence();
    EXPECT_EQ(evidence.declared, "umockdev");
    EXPECT_TRUE(evidence.umockdevTestBed);
    EXPECT_FALSE(evidence.umockdevPreloaded);
    EXPECT_FALSE(RunsOnEmulatedBus());
}

class SyntheticImageTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    std::string Store(const std::vector<std::uint8_t>& bytes) {
        std::string path = m_folder.file("app0.dat");
        WriteBytes(path, bytes);
        return path;
    }

    TempFolder m_folder;
    const FirmwareImage m_image = NoiseBytes(4000);
};

TEST_F(SyntheticImageTest, TheMarkFollowsTheStoredDataAndLeavesTheImageAlone) {
    const auto plain = MakeChunkFile(m_image);
    const auto marked = MakeChunkFile(m_image, ChunkMark::Synthetic);
    ASSERT_EQ(marked.size(), plain.size() + kSyntheticImageMark.size());
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), marked.begin()));
    EXPECT_TRUE(StartsWithSyntheticImageMark(std::span(marked).subspan(plain.size())));
    EXPECT_FALSE(StartsWithSyntheticImageMark(std::span(marked).subspan(plain.size(), 20))) << "a cut mark";

    // The in-memory reader (the development tools' path) reads it as it is.
    FirmwareImage read;
    ConsoleCapture console;
    ReadFirmwareImageFromMemory(marked, read, kBootProgrammerImageMaxSize);
    EXPECT_EQ(read, m_image);
}

TEST_F(SyntheticImageTest, RefusedWithStatus6OnARealBus) {
    const std::string path = Store(MakeChunkFile(m_image, ChunkMark::Synthetic));
    // Even declared as emulated: umockdev is not loaded into this process.
    ScopedEnvironment declared(kEmulatedBusVariable, "umockdev");
    EXPECT_EXIT(
        {
            FirmwareImage image;
            ReadFirmwareImage(path, image, kBootProgrammerImageMaxSize);
        },
        ::testing::ExitedWithCode(kFirmwareRefusedExitStatus),
        "tyvo-reset: .*app0.dat is a synthetic firmware image .*\n"
        "tyvo-reset: it is never loaded into a real controller.*--firmware-dir DIR");
}

TEST_F(SyntheticImageTest, AnUnmarkedFileWithOtherTrailingBytesIsRead) {
    // A real file may carry anything after its stored data; only the mark
    // itself, in full, makes it synthetic.
    auto chunk = MakeChunkFile(m_image);
    const std::string_view almost = kSyntheticImageMark.substr(0, kSyntheticImageMark.size() - 1);
    chunk.insert(chunk.end(), almost.begin(), almost.end());
    const std::string path = Store(chunk);
    ConsoleCapture console;
    FirmwareImage image;
    ReadFirmwareImage(path, image, kBootProgrammerImageMaxSize);
    EXPECT_EQ(image, m_image);
    EXPECT_EQ(console.out(), "");
}

}  // namespace
