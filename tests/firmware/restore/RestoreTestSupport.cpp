#include "tests/firmware/restore/RestoreTestSupport.h"

#include "firmware/FirmwareLocation.h"
#include "firmware/restore/CyBootLoaderDevice.h"
#include "firmware/restore/CyBootProgrammerDevice.h"
#include "sim/host/ExpectedFlash.h"
#include "tools/ChunkWriter.h"
#include "tools/SyntheticImages.h"

#include <gtest/gtest.h>

#include <exception>
#include <utility>

namespace restoretest {

using namespace tyvo::sim;

std::string ErrorLine(int code, int stage) {
    return "Error " + std::to_string(code) + " when restoring firmware (" + std::to_string(stage) + "/2)\n";
}

FirmwareFiles::FirmwareFiles(std::size_t bootProgrammerSize, std::size_t controllerSize)
    : m_bootProgrammer(MakeBootProgrammerImage({bootProgrammerSize, 0})),
      m_controller(MakeControllerImage({controllerSize, 17, 1})),
      m_newerController(MakeControllerImage({controllerSize, 17, 2})) {
    writeAll();
    SetFirmwareFolder(m_folder.path().string());
}

FirmwareFiles::~FirmwareFiles() { SetFirmwareFolder(""); }

void FirmwareFiles::write(const std::string& name, const FirmwareImage& image) {
    WriteBytes(m_folder.file(name), MakeChunkFile(image));
}

void FirmwareFiles::remove(const std::string& name) { std::filesystem::remove(m_folder.file(name)); }

void FirmwareFiles::writeAll() {
    write("app0.dat", m_bootProgrammer);
    write("app1.dat", m_controller);
    write("app2.dat", m_newerController);
}

Controller::Controller(EmulatedUsbBus& bus, Fx3Options options)
    : m_bus(bus), m_chip(Fx3Chip::create(std::move(options))) {
    damageFlash();
}

void Controller::damageFlash() {
    const FirmwareImage old = MakeControllerImage({4096, 12, 7});
    m_chip->flash().load(0, Bytes(old.begin(), old.begin() + 2048));
}

std::shared_ptr<StandardUsbDevice> Controller::plug() {
    // An erase left running by a failed attempt ends with the power cycle.
    for (int polls = 0; polls < 64 && m_chip->flash().pollBusy(); ++polls) {
    }
    auto loader = std::dynamic_pointer_cast<StandardUsbDevice>(m_chip->powerUp());
    if (!loader) throw std::runtime_error("the chip did not come up in its boot loader");
    m_port = m_bus.plug(loader, m_port);
    return loader;
}

void Controller::unplug() {
    m_bus.waitIdle(std::chrono::seconds(5));
    if (!m_port.empty() && m_bus.modelAt(m_port)) m_bus.unplug(m_port);
}

std::shared_ptr<StandardUsbDevice> Controller::awaitBootProgrammer(std::chrono::milliseconds timeout) {
    if (m_chip->mode() != Fx3Chip::Mode::BootProgrammer) return nullptr;
    if (!m_bus.waitForProduct(Fx3Chip::kBootProgrammerProductId, timeout)) return nullptr;
    return m_chip->bootProgrammer();
}

std::string FlashProblem(Fx3Chip& chip, const FirmwareImage& controllerImage) {
    std::string why;
    const auto expected = tyvo::sim::host::PersonalisedImage(controllerImage, tyvo::sim::host::kRestoredSerial, why);
    if (!expected) return "cannot work out the expected image: " + why;
    return tyvo::sim::host::CompareFlash(chip.flash().contents(), tyvo::sim::host::PaddedToPages(*expected),
                                         expected->size());
}

RestoreStageSettings TestSettings(uint32_t transferTimeoutMs, std::chrono::milliseconds eraseTimeout) {
    RestoreStageSettings settings;
    settings.transferTimeoutMs = transferTimeoutMs;
    settings.flashEraseTimeout = eraseTimeout;
    settings.finishRestore = [] {};
    return settings;
}

Attempt RunAttempt(Controller& controller, const RestoreStageSettings& settings,
                   const std::function<void(StandardUsbDevice&)>& beforeStage2) {
    Attempt attempt;
    ConsoleCapture console;
    try {
        CyBootLoaderDevice stage1(settings);
        ADD_FAILURE() << "stage 1 returned normally";
    } catch (const std::exception&) {
        // Stage 1 always ends with an exception; its output tells how.
    }
    const std::string afterStage1 = console.out();
    if (afterStage1.size() >= kDone.size() &&
        afterStage1.compare(afterStage1.size() - kDone.size(), kDone.size(), kDone) == 0) {
        if (auto programmer = controller.awaitBootProgrammer(std::chrono::seconds(5))) {
            if (beforeStage2) beforeStage2(*programmer);
            try {
                CyBootProgrammerDevice stage2(settings);
                attempt.restored = true;
            } catch (const std::exception&) {
            }
        }
    }
    attempt.out = console.out();
    attempt.err = console.err();
    return attempt;
}

std::string SuccessfulRestoreOutput() { return kStage1Header + kDone + kStage2Header + kDone + kClosingLines; }

}  // namespace restoretest
