// The whole update path against the emulated controller, run where a device
// runs it: in the camera-opened event on the capture thread, through the
// memory window and the control channel of the V4L2 capture.

#include <array>
#include <mutex>
#include <sstream>
#include <thread>

#include "firmware/FX3BootImage.h"
#include "firmware/FirmwareLocation.h"
#include "firmware/update/FirmwareUpdate.h"
#include "tests/camera/capture/CaptureFixture.h"
#include "tests/camera/capture/ChannelDevice.h"
#include "tests/firmware/FirmwareTestSupport.h"
#include "tests/firmware/update/UpdateTestSupport.h"
#include "tools/ChunkWriter.h"
#include "tools/SyntheticImages.h"

namespace {

using namespace std::chrono_literals;
using tyvo::sim::UvcControllerOptions;

// The setup of a device at its camera opening, cut down to identification
// by serial and the version decision.
class SetupAtOpening : public HardwareStateListener, public FirmwareStatusListener {
public:
    SetupAtOpening(ChannelDevice& device, FirmwareUpdateTiming timing) : m_device(device), m_timing(timing) {}

    void onCameraOpened() override {
        std::array<std::uint8_t, 14> serial{};
        m_device.readMemory(0, serial.data(), 14);
        serial[13] = 0;
        m_device.identify(reinterpret_cast<const char*>(serial.data()));
        std::ostringstream out;
        try {
            requireCurrentFirmware(m_device, out, m_timing);
        } catch (...) {
            record(out.str());
            throw;
        }
        record(out.str());
    }
    void onFirmwareUpdateStarted(const std::string& serial) override { event("started " + serial); }
    void onFirmwareUpdateFinished() override { event("finished"); }

    std::string printed() const {
        std::lock_guard<std::mutex> lock(m_setupLock);
        return m_printed;
    }
    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> lock(m_setupLock);
        return m_events;
    }

private:
    void record(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_setupLock);
        m_printed = text;
    }
    void event(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_setupLock);
        m_events.push_back(text);
    }

    ChannelDevice& m_device;
    const FirmwareUpdateTiming m_timing;
    mutable std::mutex m_setupLock;
    std::string m_printed;
    std::vector<std::string> m_events;
};

FirmwareImage ControllerImage(std::uint64_t seed) {
    ControllerImageOptions options;
    options.size = 3000;
    options.seed = seed;
    options.firmwareVersion = 17;
    return MakeControllerImage(options);
}

class UpdateOnController : public CaptureFixture {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(WriteChunkFile(ControllerImage(1), folder.file("app1.dat"), error)) << error;
        ASSERT_TRUE(WriteChunkFile(ControllerImage(2), folder.file("app2.dat"), error)) << error;
        SetFirmwareFolder(folder.path().string());
    }
    void TearDown() override {
        CaptureFixture::TearDown();
        SetFirmwareFolder({});
    }

    void startDevice(int firmwareVersion) {
        plug(UvcControllerOptions::cypress("MKT-360077881", firmwareVersion));
        context = CoreContext::Current()->NewChild();
        CurrentContextScope scope(context);
        context->AddMember(std::make_shared<DeviceCameraFactory>(devicePathFor(port), nullptr));
        watcher = std::make_shared<CaptureWatcher>();
        context->AddMember(watcher);
        lines = AddLogLines(context, console);
        device = std::make_shared<ChannelDevice>();
        context->AddMember(device);
        setup = std::make_shared<SetupAtOpening>(*device, FirmwareUpdateTiming{0ms, 0ms, 2ms, 5000ms, 0ms});
        context->AddMember(setup);
        capture = AutoRequired<UVCInterfaceV4L2>().shared();
        start();
    }

    FirmwareImage Personalised(std::uint64_t seed) {
        FirmwareImage image = ControllerImage(seed);
        EXPECT_TRUE(PersonaliseImage(image, "MKT-360077881"));
        image.resize((image.size() + 255) / 256 * 256, 0);
        return image;
    }

    TempFolder folder;
    std::ostringstream console;
    std::shared_ptr<LogLines> lines;
    std::shared_ptr<ChannelDevice> device;
    std::shared_ptr<SetupAtOpening> setup;
};

TEST_F(UpdateOnController, Version12ReceivesTheOlderImageAndComesBackAsVersion17) {
    startDevice(12);
    ASSERT_TRUE(watcher->waitForEnd(60s));
    EXPECT_EQ(watcher->endKind(), "device");
    EXPECT_EQ(watcher->endText(), "Firmware update succeeded.");
    EXPECT_EQ(setup->printed(), "FX3 firmware version: 12\n");
    EXPECT_EQ(setup->events(), (std::vector<std::string>{"started MKT-360077881", "finished"}));

    EXPECT_EQ(model->memory(0x30, 1), tyvo::sim::Bytes{0x01});
    EXPECT_EQ(model->receivedImage(), Personalised(1));
    EXPECT_TRUE(model->updateFinished());
    const auto progress = lines->startingWith("[Info] Progress: ");
    ASSERT_EQ(progress.size(), 10u);
    EXPECT_EQ(progress.back(), "[Info] Progress: 90%");

    // The controller restarts into the new firmware on the same port.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!(model->successor() && bus.modelAt(port) == model->successor()) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(model->successor());
    EXPECT_EQ(bus.modelAt(port), model->successor());
    EXPECT_EQ(model->successor()->firmwareVersion(), 17);
    EXPECT_EQ(model->successor()->serial(), "MKT-360077881");
}

TEST_F(UpdateOnController, Version16ReceivesTheNewerImageWithoutThePreUpdateFlag) {
    startDevice(16);
    ASSERT_TRUE(watcher->waitForEnd(60s));
    EXPECT_EQ(watcher->endText(), "Firmware update succeeded.");
    EXPECT_EQ(model->memory(0x30, 1), tyvo::sim::Bytes{0x00});
    EXPECT_EQ(model->receivedImage(), Personalised(2));
}

TEST_F(UpdateOnController, Version17IsUpToDateAndStreams) {
    startDevice(17);
    ASSERT_TRUE(watcher->waitForFrames(3));
    EXPECT_EQ(setup->printed(), "FX3 firmware version: 17\nYour Tyvo Controller's Firmware is up to date.\n");
    EXPECT_FALSE(model->inUpdateMode());
    EXPECT_EQ(model->memory(0x28, 4), (tyvo::sim::Bytes{0, 0, 0, 0}));
    EXPECT_TRUE(setup->events().empty());
}

}  // namespace
