// The unattended run's bookkeeping: events from the monitor's thread, the
// main thread waiting for the outcome within its bounds.

#include "app/Unattended.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "devices/DeviceModelManifest.h"
#include "devices/core/DeviceModel.h"

namespace {

using Kind = RestoreEvent::Kind;
using namespace std::chrono_literals;

RestoreEvent Event(Kind kind, int stage, int code = 0, uint32_t error = 0) {
    RestoreEvent event;
    event.kind = kind;
    event.stage = stage;
    event.code = code;
    event.error = error;
    return event;
}

TEST(UnattendedRun, ARestoreToldFromAnotherThreadEndsRestoredWithItsVerification) {
    UnattendedRun run(60s);
    std::thread monitor([&run] {
        run.onRestoreEvent(Event(Kind::StageStarted, 1));
        run.onRestoreEvent(Event(Kind::StageDone, 1));
        std::this_thread::sleep_for(20ms);
        run.onRestoreEvent(Event(Kind::StageStarted, 2));
        run.onRestoreEvent(Event(Kind::Verified, 2));
        run.onRestoreEvent(Event(Kind::StageDone, 2));
        run.restored();
    });
    const UnattendedOutcome outcome = run.waitForOutcome();
    monitor.join();
    EXPECT_EQ(outcome.outcome, "restored");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.json(),
              R"({"outcome": "restored", "status": 0, "stage": 2, "error": null, "verification": "verified", )"
              R"("device": null, "message": "Firmware update succeeded."})");
}

TEST(UnattendedRun, TheWaitsEndWithThreeAndFive) {
    UnattendedRun nothing(1s);
    const auto none = nothing.waitForOutcome();
    EXPECT_EQ(none.status, 3);
    EXPECT_EQ(none.outcome, "no-device");
    EXPECT_EQ(none.message, "No Tyvo Controller arrived within 1 second.");

    UnattendedRun lost(1s);
    lost.onRestoreEvent(Event(Kind::StageStarted, 1));
    lost.onRestoreEvent(Event(Kind::StageDone, 1));
    const auto gone = lost.waitForOutcome();
    EXPECT_EQ(gone.status, 5);
    EXPECT_EQ(gone.stage, 1);
}

TEST(UnattendedRun, FailuresMapToTheAgreedStatusesAndTheFirstOneStands) {
    struct Case {
        RestoreEvent event;
        int status;
        const char* outcome;
    };
    const Case cases[] = {
        {Event(Kind::StageFailed, 1, 5), 15, "stage-failed"},
        {Event(Kind::StageFailed, 2, 7), 27, "stage-failed"},
        {Event(Kind::StageFailed, 2, 6), 6, "firmware-missing"},
        {Event(Kind::DeviceUnopened, 1, 0, EACCES), 4, "permission-denied"},
        {Event(Kind::DeviceUnopened, 2, 0, ENODEV), 21, "stage-failed"},
        {Event(Kind::VerifyFailed, 2), 7, "verify-failed"},
    };
    for (const Case& c : cases) {
        UnattendedRun run(60s);
        run.onRestoreEvent(c.event);
        run.restored();  // too late: the failure stands
        const auto outcome = run.waitForOutcome();
        EXPECT_EQ(outcome.status, c.status) << c.outcome;
        EXPECT_EQ(outcome.outcome, c.outcome);
    }
}

TEST(UnattendedRun, TheControllerRowsOfTheManifestTellTheRunAndBuildNothing) {
    auto run = std::make_shared<UnattendedRun>(60s);
    const auto source = DeviceModelManifest().Models();
    const auto rows = UnattendedModels(source, run);
    ASSERT_EQ(rows.size(), source.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_TRUE(rows[i]->Matches(source[i]->kind, source[i]->vendorId, source[i]->productId)) << i;
        if (source[i]->kind == kUsbClassDevice)
            EXPECT_EQ(rows[i], source[i]) << "the boot rows are the manifest's own";
        else
            EXPECT_NE(rows[i], source[i]);
    }
    const auto controller = DeviceModelManifest(rows).Match(kImageClassDevice, 0xF182, 0x0003);
    ASSERT_TRUE(controller);
    EXPECT_THROW(controller->Create(), std::exception);
    const auto outcome = run->waitForOutcome();
    EXPECT_EQ(outcome.outcome, "working");
    EXPECT_EQ(outcome.device, "f182:0003");
}

}  // namespace
