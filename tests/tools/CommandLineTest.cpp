// The two executables and the firmware files the build makes with them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

#include "firmware/ChunkFile.h"
#include "firmware/FX3BootImage.h"
#include "firmware/SyntheticImage.h"
#include "tests/firmware/FirmwareTestSupport.h"
#include "tools/ChunkWriter.h"
#include "tools/SyntheticImages.h"

namespace {

int RunTool(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quote(const std::string& path) { return "'" + path + "'"; }

const std::string kMkImage = Quote(TYVO_MKIMAGE_EXE);
const std::string kChunk = Quote(TYVO_CHUNK_EXE);

// The build's files are synthetic: this test process runs on no emulated bus,
// so it reads them through the in-memory reader, which does not refuse them,
// and checks that each carries the mark that makes the tool refuse it.
FirmwareImage ReadBuiltChunk(const std::string& path, std::uint32_t cap) {
    const std::vector<std::uint8_t> file = ReadBytes(path);
    EXPECT_GE(file.size(), kSyntheticImageMark.size());
    if (file.size() < kSyntheticImageMark.size()) return {};
    EXPECT_TRUE(StartsWithSyntheticImageMark(std::span(file).last(kSyntheticImageMark.size())))
        << path << " is not marked synthetic";
    FirmwareImage image;
    ConsoleCapture console;
    ReadFirmwareImageFromMemory(file, image, cap);
    EXPECT_EQ(console.out(), "") << path;
    return image;
}

class CommandLineTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name) { return Quote(m_folder.file(name)); }

    TempFolder m_folder;
};

TEST_F(CommandLineTest, MkImageOptionsReachTheBuilder) {
    ASSERT_EQ(RunTool(kMkImage + " controller " + Path("c.img") + " --size 0x4000 --seed 5 --version 12"), 0);
    EXPECT_EQ(ReadBytes(m_folder.file("c.img")),
              MakeControllerImage({.size = 0x4000, .firmwareVersion = 12, .seed = 5}));

    ASSERT_EQ(RunTool(kMkImage + " bootprog " + Path("b.img")), 0);
    EXPECT_EQ(ReadBytes(m_folder.file("b.img")), MakeBootProgrammerImage({}));
}

TEST_F(CommandLineTest, MkImageRefusesBadArgumentsWithoutWriting) {
    EXPECT_EQ(RunTool(kMkImage), 2);
    EXPECT_EQ(RunTool(kMkImage + " firmware " + Path("x.img")), 2);
    EXPECT_EQ(RunTool(kMkImage + " controller " + Path("x.img") + " --size"), 2);
    EXPECT_EQ(RunTool(kMkImage + " controller " + Path("x.img") + " --size 12k"), 2);
    EXPECT_EQ(RunTool(kMkImage + " controller " + Path("x.img") + " --version 65536"), 2);
    EXPECT_EQ(RunTool(kMkImage + " bootprog " + Path("x.img") + " --version 12"), 2);
    EXPECT_EQ(RunTool(kMkImage + " controller " + Path("x.img") + " --size 100"), 1);
    EXPECT_EQ(RunTool(kMkImage + " controller " + Path("x.img") + " --size 0x100000"), 1);
    EXPECT_FALSE(std::filesystem::exists(m_folder.file("x.img")));
}

TEST_F(CommandLineTest, ChunkPacksAndUnpacks) {
    const FirmwareImage image = NoiseBytes(12345);
    WriteBytes(m_folder.file("in.img"), image);
    ASSERT_EQ(RunTool(kChunk + " " + Path("in.img") + " " + Path("out.dat")), 0);
    EXPECT_EQ(ReadBytes(m_folder.file("out.dat")), MakeChunkFile(image));

    ASSERT_EQ(RunTool(kChunk + " -d " + Path("out.dat") + " " + Path("back.img")), 0);
    EXPECT_EQ(ReadBytes(m_folder.file("back.img")), image);

    // Garbage does not unpack, and nothing is written for it.
    WriteBytes(m_folder.file("junk.dat"), NoiseBytes(100));
    EXPECT_EQ(RunTool(kChunk + " -d " + Path("junk.dat") + " " + Path("junk.img")), 1);
    EXPECT_FALSE(std::filesystem::exists(m_folder.file("junk.img")));

    ASSERT_EQ(RunTool(kChunk + " --synthetic " + Path("in.img") + " " + Path("marked.dat")), 0);
    EXPECT_EQ(ReadBytes(m_folder.file("marked.dat")), MakeChunkFile(image, ChunkMark::Synthetic));

    EXPECT_EQ(RunTool(kChunk + " " + Path("absent.img") + " " + Path("absent.dat")), 1);
    EXPECT_FALSE(std::filesystem::exists(m_folder.file("absent.dat")));
    EXPECT_EQ(RunTool(kChunk + " only-one-argument"), 2);
}

// What the build put beside tyvo-reset.
TEST(BuiltFirmwareFiles, ChunkFilesHoldTheirPlainImages) {
    const std::string folder = TYVO_FIRMWARE_DIR;
    const FirmwareImage app0 = ReadBuiltChunk(folder + "/app0.dat", kBootProgrammerImageMaxSize);
    const FirmwareImage app1 = ReadBuiltChunk(folder + "/app1.dat", kControllerImageMaxSize);
    const FirmwareImage app2 = ReadBuiltChunk(folder + "/app2.dat", kControllerImageMaxSize);
    EXPECT_EQ(app0, ReadBytes(folder + "/app0.img"));
    EXPECT_EQ(app1, ReadBytes(folder + "/app1.img"));
    EXPECT_EQ(app2, ReadBytes(folder + "/app2.img"));

    EXPECT_EQ(app0, MakeBootProgrammerImage({.seed = 0}));
    EXPECT_EQ(app1, MakeControllerImage({.firmwareVersion = 17, .seed = 1}));
    EXPECT_EQ(app2, MakeControllerImage({.firmwareVersion = 17, .seed = 2}));
    EXPECT_NE(app1, app2);
    for (const FirmwareImage* image : {&app0, &app1, &app2}) {
        EXPECT_TRUE(IsValidBootImage(*image));
    }
}

}  // namespace
