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
