// The in-place update of a running controller against a recording target:
// which image goes out, padding and words, mailbox codes, pre-update flag,
// progress lines, events, and the bounds and early stops.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "devices/core/DeviceExceptions.h"
#include "firmware/FX3BootImage.h"
#include "firmware/FirmwareLocation.h"
#include "firmware/ProgressSink.h"
#include "firmware/update/FirmwareUpdate.h"
#include "logging/LogHandle.h"
#include "tests/firmware/FirmwareTestSupport.h"
#include "tests/firmware/update/UpdateTestSupport.h"
#include "tools/ChunkWriter.h"
#include "tools/SyntheticImages.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Records every memory write, control and event in one sequence; the
// mailbox turns ready after a number of reads.
class RecordingTarget : public UpdateTarget {
public:
    using Clock = std::chrono::steady_clock;

    int firmwareVersion() override {
        mark("version asked");
        return version;
    }
    const std::string& serialNumber() const override { return serial; }

    void readMemory(std::uint32_t address, std::uint8_t* buffer, std::uint32_t length) override {
        for (std::uint32_t i = 0; i < length; ++i) {
            if (address + i == kUpdateMailboxAddress) {
                ++mailboxReads;
                const bool ready = readyAfterReads >= 0 && mailboxReads > readyAfterReads;
                buffer[i] = ready ? 0xFF : 0xC4;
            } else {
                buffer[i] = 0;
            }
        }
    }
    void writeMemory(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t length) override {
        if (failWrites) throw NotConnectedException();
        writes.emplace_back(address, Bytes(buffer, buffer + length));
        sequence.push_back("write " + std::to_string(address));
        mark("write " + std::to_string(address));
    }
    bool putControl(int control, int value) override {
        if (control == kUpdateWordControl && failAfterBytes >= 0 &&
            image.size() >= static_cast<std::size_t>(failAfterBytes))
            throw NotConnectedException();
        if (control == kUpdateWordControl) {
            image.push_back(static_cast<std::uint8_t>(value & 0xFF));
            image.push_back(static_cast<std::uint8_t>(value >> 8));
            mark("last word");
        } else {
            sequence.push_back("control " + std::to_string(control));
        }
        return true;
    }
    void fireFirmwareUpdateStarted(const std::string& s) override {
        sequence.emplace_back("started " + s);
        mark("started");
    }
    void fireFirmwareUpdateFinished() override {
        sequence.emplace_back("finished");
        mark("finished");
    }
    // When each named step first happened ("last word": the latest word).
    void mark(const std::string& name) {
        const auto when = Clock::now();
        for (auto& [known, time] : times)
            if (known == name) {
                if (name == "last word") time = when;
                return;
            }
        times.emplace_back(name, when);
    }
    const LogHandle& updateLog() const override { return log; }

    int version = 16;
    std::string serial = "MKT-480011223";
    int readyAfterReads = 2;  // -1: never
    bool failWrites = false;
    int failAfterBytes = -1;  // the word control fails once this much went over
    int mailboxReads = 0;
    std::vector<std::pair<std::uint32_t, Bytes>> writes;
    Bytes image;  // the words sent, as bytes
    std::vector<std::string> sequence;
    std::vector<std::pair<std::string, Clock::time_point>> times;
    LogHandle log;
};

constexpr FirmwareUpdateTiming kQuick{0ms, 0ms, 1ms, 200ms, 0ms};

// Records what the update tells its progress sink, and how much of the
// image had really gone over to the target at each step.
class RecordingProgress : public ProgressSink {
public:
    explicit RecordingProgress(const RecordingTarget& target) : m_target(target) {}

    void begin(const std::string& what, std::uint64_t total) override {
        steps.push_back("begin " + what + " " + std::to_string(total) + " sent " + sent());
    }
    void advance(const std::string& what, std::uint64_t done) override {
        EXPECT_EQ(what, "Updating the firmware");
        steps.push_back(std::to_string(done) + " sent " + sent());
    }
    void end() override { steps.push_back("end sent " + sent()); }

    std::vector<std::string> steps;

private:
    std::string sent() const { return std::to_string(m_target.image.size()); }
    const RecordingTarget& m_target;
};

FirmwareImage ControllerImage(std::uint64_t seed) {
    ControllerImageOptions options;
    options.size = 2000;
    options.seed = seed;
    return MakeControllerImage(options);
}

Bytes Padded(Bytes bytes) {
    bytes.resize((bytes.size() + 255) / 256 * 256, 0);
    return bytes;
}

class FirmwareUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        lines = AddLogLines(context, console);
        CurrentContextScope scope(context);
        target = std::make_unique<RecordingTarget>();
        std::string error;
        ASSERT_TRUE(WriteChunkFile(ControllerImage(1), folder.file("app1.dat"), error)) << error;
        ASSERT_TRUE(WriteChunkFile(ControllerImage(2), folder.file("app2.dat"), error)) << error;
        SetFirmwareFolder(folder.path().string());
    }
    void TearDown() override { SetFirmwareFolder({}); }

    FirmwareImage Personalised(std::uint64_t seed) const {
        FirmwareImage image = ControllerImage(seed);
        EXPECT_TRUE(PersonaliseImage(image, target->serial));
        return image;
    }

    std::vector<std::string> ProgressLines() const { return lines->startingWith("[Info] Progress: "); }

    TempFolder folder;
    std::ostringstream console;
    std::shared_ptr<CoreContext> context = CoreContext::Current()->NewChild();
    std::shared_ptr<LogLines> lines;
    std::unique_ptr<RecordingTarget> target;
};

const Bytes kStartCode = {0xC4, 0x17, 0x3A, 0x5D};
const Bytes kFinishCode = {0x4F, 0xE9, 0x86, 0x2B};

TEST_F(FirmwareUpdateTest, Version16GetsTheNewerImagePersonalisedAndPadded) {
    FirmwareUpdate update(*target, kQuick);
    ASSERT_TRUE(update.UpgradeFirmware(16));
    EXPECT_EQ(target->image, Padded(Personalised(2)));
    ASSERT_EQ(target->writes.size(), 2u);  // no pre-update flag
    EXPECT_EQ(target->writes[0], std::make_pair(kUpdateMailboxAddress, kStartCode));
    EXPECT_EQ(target->writes[1], std::make_pair(kUpdateMailboxAddress, kFinishCode));
    EXPECT_EQ(target->sequence,
              (std::vector<std::string>{"started MKT-480011223", "write 40", "finished", "write 40"}));
    const std::vector<std::string> expected = {
        "[Info] Tyvo Controller firmware version 16 is out of date.",
        "[Info] Initiating firmware upgrade to version 17.",
        "[Warning] Do not unplug your Tyvo Controller.",
        std::string("[Info] If upgrade fails, please visit ") + kResetUtilityArticle + " to reset your firmware.",
    };
    const auto all = lines->lines();
    ASSERT_GE(all.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + 4), expected);
    EXPECT_NE(std::string(kResetUtilityArticle).find("/articles/using-the-device-reset-utility"), std::string::npos);
    EXPECT_EQ(all.back(), "[Info] Firmware update succeeded.");
}

TEST_F(FirmwareUpdateTest, Version12GetsTheOlderImageAfterThePreUpdateFlag) {
    target->version = 12;
    FirmwareUpdate update(*target, kQuick);
    ASSERT_TRUE(update.UpgradeFirmware(12));
    EXPECT_EQ(target->image, Padded(Personalised(1)));
    ASSERT_EQ(target->writes.size(), 3u);
    EXPECT_EQ(target->writes[0], std::make_pair(kPreUpdateFlagAddress, Bytes{0x01}));
    EXPECT_EQ(target->writes[1].second, kStartCode);
}

// 13 is the first version that takes the newer image and no pre-update flag.
TEST_F(FirmwareUpdateTest, Version13GetsTheNewerImageWithoutThePreUpdateFlag) {
    target->version = 13;
    FirmwareUpdate update(*target, kQuick);
    ASSERT_TRUE(update.UpgradeFirmware(13));
    EXPECT_EQ(target->image, Padded(Personalised(2)));
    ASSERT_EQ(target->writes.size(), 2u) << "no write at the pre-update flag";
    EXPECT_EQ(target->writes[0], std::make_pair(kUpdateMailboxAddress, kStartCode));
}

// The controller's own waits, with the default timing: half a second after
// the started event, a second between the pre-update flag and the start
// code, and 100 ms after the last word. Only lower bounds are measured: a
// loaded machine may take longer, never shorter.
TEST_F(FirmwareUpdateTest, TheDefaultWaitsGiveTheControllerItsTime) {
    target->version = 12;
    target->readyAfterReads = 0;
    FirmwareUpdate update(*target);
    ASSERT_TRUE(update.UpgradeFirmware(12));
    const auto at = [&](const std::string& what) {
        for (const auto& [name, when] : target->times)
            if (name == what) return when;
        ADD_FAILURE() << "no " << what;
        return RecordingTarget::Clock::time_point{};
    };
    EXPECT_GE(at("version asked") - at("started"), 500ms);
    EXPECT_GE(at("write 40") - at("write 48"), 1000ms);
    EXPECT_GE(at("finished") - at("last word"), 100ms);
}

TEST_F(FirmwareUpdateTest, A1000ByteImageGoesOutAs512WordsWithProgressInTens) {
    Bytes image(1000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 1);
    FirmwareUpdate update(*target, kQuick);
    ASSERT_TRUE(update.SendUpdateImage(image));
    ASSERT_EQ(target->image.size(), 1024u);
    EXPECT_EQ(target->image, Padded(image));
    EXPECT_EQ(ProgressLines(),
              (std::vector<std::string>{"[Info] Progress: 0%", "[Info] Progress: 10%", "[Info] Progress: 20%",
                                        "[Info] Progress: 30%", "[Info] Progress: 40%", "[Info] Progress: 50%",
                                        "[Info] Progress: 60%", "[Info] Progress: 70%", "[Info] Progress: 80%",
                                        "[Info] Progress: 90%"}));
    // Sent on its own, the image fires only the finished event.
    EXPECT_EQ(target->sequence, (std::vector<std::string>{"write 40", "finished", "write 40"}));
}

// The sink hears of the transfer only: begun once the controller is ready,
// a step per 256-byte block that has really gone over, and the end however
// the transfer ends.
TEST_F(FirmwareUpdateTest, TheProgressSinkFollowsTheBlocksAsTheyGoOver) {
    RecordingProgress progress(*target);
    FirmwareUpdate update(*target, kQuick, &progress);
    ASSERT_TRUE(update.SendUpdateImage(Bytes(600, 3)));
    EXPECT_EQ(progress.steps, (std::vector<std::string>{"begin Updating the firmware 768 sent 0", "256 sent 256",
                                                        "512 sent 512", "768 sent 768", "end sent 768"}));

    // A controller that never gets ready: nothing was transferred.
    progress.steps.clear();
    target->image.clear();
    target->readyAfterReads = -1;
    FirmwareUpdate neverReady(*target, FirmwareUpdateTiming{0ms, 0ms, 1ms, 10ms, 0ms}, &progress);
    EXPECT_FALSE(neverReady.SendUpdateImage(Bytes(600, 3)));
    EXPECT_TRUE(progress.steps.empty());

    // A controller lost in the middle: the line still ends.
    progress.steps.clear();
    target->readyAfterReads = 0;
    target->failAfterBytes = 300;
    EXPECT_THROW(update.SendUpdateImage(Bytes(600, 3)), NotConnectedException);
    EXPECT_EQ(progress.steps,
              (std::vector<std::string>{"begin Updating the firmware 768 sent 0", "256 sent 256", "end sent 300"}));
}

TEST_F(FirmwareUpdateTest, AControllerReadyAtOnceIsReadOnce) {
    target->readyAfterReads = 0;
    FirmwareUpdate update(*target, kQuick);
    ASSERT_TRUE(update.SendUpdateImage(Bytes(300, 1)));
    EXPECT_EQ(target->mailboxReads, 1);
    target->readyAfterReads = 5;
    target->mailboxReads = 0;
    ASSERT_TRUE(update.SendUpdateImage(Bytes(300, 1)));
    EXPECT_EQ(target->mailboxReads, 6);
}

TEST_F(FirmwareUpdateTest, AControllerThatNeverGetsReadyFailsTheUpdateWithinItsBound) {
    target->readyAfterReads = -1;
    FirmwareUpdate update(*target, FirmwareUpdateTiming{0ms, 0ms, 1ms, 30ms, 0ms});
    EXPECT_FALSE(update.UpgradeFirmware(16));
    EXPECT_TRUE(target->image.empty());
    ASSERT_EQ(target->writes.size(), 1u);  // the start code, never the finish code
    EXPECT_EQ(target->writes[0].second, kStartCode);
    EXPECT_EQ(target->sequence, (std::vector<std::string>{"started MKT-480011223", "write 40", "finished"}));
    EXPECT_EQ(ProgressLines(), std::vector<std::string>{"[Info] Progress: 0%"});
}

TEST_F(FirmwareUpdateTest, MissingFirmwareFilesStopTheUpdateBeforeTheControllerIsTouched) {
    TempFolder empty;
    SetFirmwareFolder(empty.path().string());
    ConsoleCapture console;
    FirmwareUpdate update(*target, kQuick);
    EXPECT_FALSE(update.UpgradeFirmware(12));
    EXPECT_TRUE(target->writes.empty());
    EXPECT_TRUE(target->image.empty());
    EXPECT_EQ(target->sequence, (std::vector<std::string>{"started MKT-480011223", "finished"}));
    EXPECT_EQ(lines->startingWith("[Warning] The firmware image").size(), 1u);
    EXPECT_FALSE(update.SendUpdateImage({}));
    EXPECT_TRUE(target->writes.empty());
}

TEST_F(FirmwareUpdateTest, AFailingMemoryAccessStillEndsWithTheFinishedEvent) {
    target->failWrites = true;
    FirmwareUpdate update(*target, kQuick);
    EXPECT_THROW(update.UpgradeFirmware(16), NotConnectedException);
    EXPECT_EQ(target->sequence, (std::vector<std::string>{"started MKT-480011223", "finished"}));
}

TEST_F(FirmwareUpdateTest, TheVersionDecision) {
    for (int version : {17, 18, 300}) {
        target->version = version;
        std::ostringstream out;
        requireCurrentFirmware(*target, out, kQuick);
        EXPECT_EQ(out.str(), "FX3 firmware version: " + std::to_string(version) +
                                 "\nYour Tyvo Controller's Firmware is up to date.\n");
    }
    EXPECT_TRUE(target->sequence.empty());

    target->version = 16;
    std::ostringstream out;
    try {
        requireCurrentFirmware(*target, out, kQuick);
        FAIL() << "an old controller's setup must end";
    } catch (const device_exception& e) {
        EXPECT_STREQ(e.what(), "Firmware update succeeded.");
    }
    EXPECT_EQ(out.str(), "FX3 firmware version: 16\n");

    target->readyAfterReads = -1;
    try {
        requireCurrentFirmware(*target, out, FirmwareUpdateTiming{0ms, 0ms, 1ms, 10ms, 0ms});
        FAIL() << "an old controller's setup must end";
    } catch (const device_exception& e) {
        EXPECT_STREQ(e.what(), "Firmware update failed.");
    }
}

}  // namespace
