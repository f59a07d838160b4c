#include "firmware/FirmwareLocation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "firmware/ChunkFile.h"
#include "tests/firmware/FirmwareTestSupport.h"
#include "tools/ChunkWriter.h"

namespace {

class FirmwareLocationTest : public ::testing::Test {
protected:
    void TearDown() override { SetFirmwareFolder(""); }
};

TEST_F(FirmwareLocationTest, DefaultsToTheExecutablesFolder) {
    const std::string exeFolder = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
    EXPECT_EQ(ExecutableFolder(), exeFolder);
    EXPECT_EQ(FirmwareFolder(), exeFolder);
    EXPECT_EQ(FirmwarePath("app0.dat"), exeFolder + "/app0.dat");
}

TEST_F(FirmwareLocationTest, ChosenFolderIsUsedWithSlashes) {
    SetFirmwareFolder("/opt/tyvo/firmware");
    EXPECT_EQ(FirmwarePath("app1.dat"), "/opt/tyvo/firmware/app1.dat");
    SetFirmwareFolder("/opt/tyvo/firmware//");
    EXPECT_EQ(FirmwareFolder(), "/opt/tyvo/firmware");
    EXPECT_EQ(FirmwarePath("app1.dat"), "/opt/tyvo/firmware/app1.dat");
    SetFirmwareFolder("/");
    EXPECT_EQ(FirmwarePath("app2.dat"), "/app2.dat");
    SetFirmwareFolder("relative/dir");
    EXPECT_EQ(FirmwarePath("app2.dat"), "relative/dir/app2.dat");
    SetFirmwareFolder("");
    EXPECT_EQ(FirmwareFolder(), ExecutableFolder());
}

TEST_F(FirmwareLocationTest, ReaderFindsFilesInTheChosenFolder) {
    TempFolder folder;
    const FirmwareImage image = NoiseBytes(777);
    WriteBytes(folder.file("app0.dat"), MakeChunkFile(image));
    SetFirmwareFolder(folder.path().string());
    FirmwareImage read;
    ReadFirmwareImage(FirmwarePath("app0.dat"), read, kBootProgrammerImageMaxSize);
    EXPECT_EQ(read, image);
}

void Hold(const TempFolder& folder, std::initializer_list<const char*> names) {
    for (const char* name : names) WriteBytes(folder.file(name), MakeChunkFile(NoiseBytes(64)));
}

// The executable's folder first (a build tree, files put beside the tool),
// then the installed folder; the first holding any firmware file holds them
// all, so files of two folders are never mixed.
TEST_F(FirmwareLocationTest, FirstFolderHoldingAnyFirmwareFileWins) {
    const TempFolder beside, installed, empty, onlyApp1;
    Hold(beside, {"app0.dat", "app1.dat", "app2.dat"});
    Hold(installed, {"app0.dat", "app1.dat", "app2.dat"});
    Hold(empty, {"readme.txt"});
    Hold(onlyApp1, {"app1.dat"});

    EXPECT_EQ(FirstFolderWithFirmware({beside.string(), installed.string()}), beside.string());
    EXPECT_EQ(FirstFolderWithFirmware({empty.string(), installed.string()}), installed.string());
    EXPECT_EQ(FirstFolderWithFirmware({onlyApp1.string(), installed.string()}), onlyApp1.string())
        << "a partial set is still the set in use: the reader then names the missing file";
    EXPECT_EQ(FirstFolderWithFirmware({empty.string(), "/no/such/folder"}), empty.string())
        << "nothing anywhere: the executable's folder is named";
    EXPECT_EQ(FirstFolderWithFirmware({}), ".");
}

TEST_F(FirmwareLocationTest, SearchesTheExecutablesFolderThenTheInstalledOne) {
    EXPECT_EQ(InstalledFirmwareFolder(), TYVO_EXPECTED_INSTALL_DIR);
    EXPECT_EQ(FirmwareSearchFolders(), (std::vector<std::string>{ExecutableFolder(), TYVO_EXPECTED_INSTALL_DIR}));
}

TEST_F(FirmwareLocationTest, ChosenFolderWinsOverFilesBesideTheTool) {
    // The test's own folder stands in for the tool's: give it no files, then
    // choose a folder without any either; the choice holds regardless.
    const TempFolder chosen;
    SetFirmwareFolder(chosen.string());
    EXPECT_EQ(FirmwareFolder(), chosen.string());
    EXPECT_EQ(FirmwarePath("app0.dat"), chosen.file("app0.dat"));
}

// The console line stays exactly "cannot open firmware file"; standard error
// says where the files were looked for.
TEST_F(FirmwareLocationTest, MissingFileNamesTheFoldersSearched) {
    const std::string exeFolder = ExecutableFolder();
    ASSERT_EQ(FirmwareFolder(), exeFolder) << "no firmware file may lie beside the test program";
    {
        ConsoleCapture console;
        FirmwareImage image;
        ReadFirmwareImage(FirmwarePath("app0.dat"), image, kBootProgrammerImageMaxSize);
        EXPECT_EQ(console.out(), "cannot open firmware file\n");
        EXPECT_EQ(console.err(), "firmware file " + exeFolder + "/app0.dat: No such file or directory\n" +
                                     "tyvo-reset: looked for the firmware files in " + exeFolder + ", then in " +
                                     TYVO_EXPECTED_INSTALL_DIR + "\n");
    }
    const TempFolder chosen;
    SetFirmwareFolder(chosen.string());
    {
        ConsoleCapture console;
        FirmwareImage image;
        ReadFirmwareImage(FirmwarePath("app1.dat"), image, kControllerImageMaxSize);
        EXPECT_EQ(console.out(), "cannot open firmware file\n");
        EXPECT_NE(
            console.err().find("tyvo-reset: firmware files are read from " + chosen.string() + " (--firmware-dir)\n"),
            std::string::npos)
            << console.err();
    }
}

// The option parser may set the folder while the device monitor's thread
// already reads it: every reader must see one whole folder or the other.
TEST_F(FirmwareLocationTest, ConcurrentSetAndReadSeeWholeFolders) {
    const std::string first = "/srv/firmware/first-folder";
    const std::string second = "/srv/firmware/the-second-folder";
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    SetFirmwareFolder(first);
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const std::string path = FirmwarePath("app1.dat");
                if (path != first + "/app1.dat" && path != second + "/app1.dat") {
                    ++torn;
                }
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        SetFirmwareFolder(i % 2 ? first : second);
    }
    stop = true;
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
