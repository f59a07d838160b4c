// A fault at every transfer of a whole restore of a small image, for each
// kind of fault: the tool never crashes or hangs, the stages give the
// outcome they promise for that transfer, and the next plug-in restores
// the flash.

#include "tests/firmware/restore/FaultSweep.h"
#include "tests/firmware/restore/RestoreTestSupport.h"

#include <gtest/gtest.h>

#include <iostream>

namespace restoretest {
namespace {

using namespace std::chrono_literals;
using tyvo::sim::EmulatedUsbBus;
using tyvo::sim::FaultKind;
using tyvo::sim::FaultRule;
using tyvo::sim::StandardUsbDevice;
using Clock = std::chrono::steady_clock;

// Small images: two RAM blocks, one flash sector of two pieces.
constexpr std::size_t kBootProgrammerSize = 4096;
constexpr std::size_t kControllerSize = 4096;

class FaultSweep : public ::testing::Test {
protected:
    void SetUp() override {
        // A clean restore gives the transfers of each stage's device.
        Controller controller(bus);
        auto loader = controller.plug();
        const Attempt clean = RunAttempt(controller, settings);
        ASSERT_TRUE(clean.restored) << clean.out;
        stage1 = ClassifyTransfers(loader->transferLog());
        stage2 = ClassifyTransfers(controller.chip().bootProgrammer()->transferLog());
        controller.unplug();
    }
    void TearDown() override { bus.stopTimers(); }

    // A fault of the kind at each chosen transfer of a stage's device.
    using Pick = std::vector<std::size_t> (*)(const std::vector<TransferRole>&);
    void sweep(int stage, FaultKind kind, Pick pick) {
        const auto& roles = stage == 1 ? stage1 : stage2;
        const auto start = Clock::now();
        const std::vector<std::size_t> chosen = pick(roles);
        std::size_t tried = 0;
        for (const std::size_t k : chosen) {
            ++tried;
            const Outcome expected = ExpectedOutcome(stage, kind, roles, k);
            SCOPED_TRACE("stage " + std::to_string(stage) + ", " + tyvo::sim::faultKindName(kind) + " at transfer " +
                         std::to_string(k) + ", expecting: " + OutcomeName(expected));
            Controller controller(bus);
            const FaultRule rule{kind, static_cast<unsigned>(k), {}, {}, false};
            auto loader = controller.plug();
            if (stage == 1) loader->injectFault(rule);
            const Attempt faulty = RunAttempt(controller, settings, [&](StandardUsbDevice& programmer) {
                if (stage == 2) programmer.injectFault(rule);
            });
            EXPECT_EQ(faulty.out, ExpectedOutput(expected));
            EXPECT_EQ(faulty.restored, expected == Outcome::Restored);

            // Out and in again: a clean restore (over a damaged flash when the
            // fault did not stop the first one).
            controller.unplug();
            if (faulty.restored) controller.damageFlash();
            controller.plug();
            const Attempt again = RunAttempt(controller, settings);
            EXPECT_EQ(again.out, SuccessfulRestoreOutput());
            EXPECT_EQ(FlashProblem(controller.chip(), files.controller()), "");
            controller.unplug();
            if (HasFailure()) break;
        }
        const auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::cout << "stage " << stage << ", " << tyvo::sim::faultKindName(kind) << ": " << tried << " of "
                  << roles.size() << " transfers in " << seconds << " s" << std::endl;
        EXPECT_GT(tried, 0u);
    }

    static bool opening(const TransferRole& r) {
        return r.kind == TransferRole::Kind::DeviceOrConfigurationRead ||
               r.kind == TransferRole::Kind::OtherOpenRequest;
    }
    // Transfer numbers (1-based).
    static std::vector<std::size_t> every(const std::vector<TransferRole>& roles) {
        std::vector<std::size_t> all;
        for (std::size_t k = 1; k <= roles.size(); ++k) all.push_back(k);
        return all;
    }
    static std::vector<std::size_t> loadRequests(const std::vector<TransferRole>& roles) {
        std::vector<std::size_t> picked;
        for (std::size_t k = 1; k <= roles.size(); ++k)
            if (!opening(roles[k - 1])) picked.push_back(k);
        return picked;
    }
    // In each open: the device descriptor, the first optional read (the
    // language list) and the first read of the configuration.
    static std::vector<std::size_t> openingSample(const std::vector<TransferRole>& roles) {
        std::vector<std::size_t> picked;
        for (std::size_t k = 1; k <= roles.size(); ++k) {
            const TransferRole& r = roles[k - 1];
            if (!opening(r)) continue;
            const bool firstOfItsKind = k == 1 || roles[k - 2].kind != r.kind || roles[k - 2].open != r.open;
            if (firstOfItsKind) picked.push_back(k);
        }
        return picked;
    }

    EmulatedUsbBus bus;
    UdevListener listener;
    FirmwareFiles files{kBootProgrammerSize, kControllerSize};
    // Short waits: a transfer that never answers is given up after 200 ms.
    const RestoreStageSettings settings = TestSettings(200, 2000ms);
    std::vector<TransferRole> stage1;
    std::vector<TransferRole> stage2;
};

TEST_F(FaultSweep, ErrorsInStage1) { sweep(1, FaultKind::Fail, every); }
TEST_F(FaultSweep, ErrorsInStage2) { sweep(2, FaultKind::Fail, every); }
TEST_F(FaultSweep, UnplugsInStage1) { sweep(1, FaultKind::Unplug, every); }
TEST_F(FaultSweep, UnplugsInStage2) { sweep(2, FaultKind::Unplug, every); }
TEST_F(FaultSweep, TimeOutsOfTheLoadRequestsInStage1) { sweep(1, FaultKind::Timeout, loadRequests); }
TEST_F(FaultSweep, TimeOutsOfTheLoadRequestsInStage2) { sweep(2, FaultKind::Timeout, loadRequests); }
// A descriptor read that never answers is given up only after the driver's
// fixed 5 s: a sample of the reads of each open.
TEST_F(FaultSweep, TimeOutsWhileOpeningInStage1) { sweep(1, FaultKind::Timeout, openingSample); }
TEST_F(FaultSweep, TimeOutsWhileOpeningInStage2) { sweep(2, FaultKind::Timeout, openingSample); }

}  // namespace
}  // namespace restoretest
