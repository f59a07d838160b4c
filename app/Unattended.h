#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "firmware/restore/RestoreObserver.h"

class DeviceModelBase;

// tyvo-reset --yes: the restore without a person at the console. The stages
// tell this observer what happens (on the device monitor's thread); the
// main thread waits here for the outcome, within bounds: --wait for a
// controller to arrive, and again for the boot programmer once stage 1 has
// jumped. A failed stage ends the run instead of waiting for a replug.
struct UnattendedOutcome {
    std::string outcome;       // restored, working, no-device, no-boot-programmer, permission-denied,
                               // firmware-missing, firmware-refused, stage-failed, verify-failed,
                               // usb-unavailable
    int status = 0;            // the exit status
    int stage = 0;             // 1 or 2; 0 when no stage ran
    int error = 0;             // the load result of a failed stage; 0 otherwise
    std::string verification;  // verified, unavailable, failed; empty when not asked or not reached
    std::string device;        // vvvv:pppp of a working controller
    std::string message;

    // {"outcome": ..., "status": N, "stage": N|null, "error": N|null,
    //  "verification": ...|null, "device": ...|null, "message": ...}
    std::string json() const;
};

class UnattendedRun : public RestoreObserver {
public:
    explicit UnattendedRun(std::chrono::seconds wait) : m_wait(wait) {}

    void onRestoreEvent(const RestoreEvent& event) override;
    // Stage 2 succeeded (its closing lines are out).
    void restored();
    // A controller in normal operation arrived: it is left alone.
    void workingController(uint16_t vendorId, uint16_t productId);

    // Blocks until the run has an outcome or a wait runs out.
    UnattendedOutcome waitForOutcome();

private:
    void finish(UnattendedOutcome outcome);  // m_runLock held

    const std::chrono::seconds m_wait;
    std::mutex m_runLock;  // everything below
    std::condition_variable m_changed;
    bool m_arrived = false;
    // Set once stage 1 has jumped, until the boot programmer arrives.
    std::optional<std::chrono::steady_clock::time_point> m_programmerDue;
    std::string m_verification;
    std::optional<UnattendedOutcome> m_outcome;
};

// The manifest's rows for --yes: the boot-mode rows as they are, and every
// controller row replaced by one that tells the run and builds nothing.
std::vector<std::shared_ptr<DeviceModelBase>> UnattendedModels(
    const std::vector<std::shared_ptr<DeviceModelBase>>& models, const std::shared_ptr<UnattendedRun>& run);
