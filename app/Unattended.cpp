#include "app/Unattended.h"

#include <cerrno>
#include <cstdio>

#include "app/JsonText.h"
#include "devices/core/DeviceExceptions.h"
#include "devices/core/DeviceModel.h"

namespace {

// The load result of an empty image: a firmware file was missing or unusable.
constexpr int kEmptyImageResult = 6;

std::string Identity(uint16_t vendorId, uint16_t productId) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", vendorId, productId);
    return text;
}

std::string JsonNumberOrNull(int value) { return value ? std::to_string(value) : "null"; }
std::string JsonTextOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

// A controller in normal operation under --yes: there is nothing to
// restore, and an unattended run does not stream from it or update it.
class WorkingControllerModel : public DeviceModelBase {
public:
    WorkingControllerModel(const DeviceModelBase& row, std::shared_ptr<UnattendedRun> run)
        : DeviceModelBase(row.kind, row.vendorId, row.productId), m_run(std::move(run)) {}

    IdentifiableDevice* Create() const override {
        m_run->workingController(static_cast<uint16_t>(vendorId), static_cast<uint16_t>(productId));
        // Nothing is built: the monitor drops the device's context.
        throw device_exception("");
    }

private:
    std::shared_ptr<UnattendedRun> m_run;
};

}  // namespace

std::string UnattendedOutcome::json() const {
    return "{\"outcome\": " + JsonString(outcome) + ", \"status\": " + std::to_string(status) +
           ", \"stage\": " + JsonNumberOrNull(stage) + ", \"error\": " + JsonNumberOrNull(error) +
           ", \"verification\": " + JsonTextOrNull(verification) + ", \"device\": " + JsonTextOrNull(device) +
           ", \"message\": " + JsonString(message) + "}";
}

void UnattendedRun::finish(UnattendedOutcome outcome) {
    if (m_outcome) return;  // the first word stands
    outcome.verification = m_verification;
    m_outcome = std::move(outcome);
    m_changed.notify_all();
}

void UnattendedRun::onRestoreEvent(const RestoreEvent& event) {
    std::lock_guard lock(m_runLock);
    using Kind = RestoreEvent::Kind;
    const std::string stage = "stage " + std::to_string(event.stage) + " of 2";
    switch (event.kind) {
        case Kind::StageStarted:
            m_arrived = true;
            if (event.stage == 2) m_programmerDue.reset();
            break;
        case Kind::StageDone:
            if (event.stage == 1) m_programmerDue = std::chrono::steady_clock::now() + m_wait;
            break;
        case Kind::StageFailed:
            if (event.code == kEmptyImageResult)
                finish({"firmware-missing", 6, event.stage, event.code, "", "",
                        "A firmware file is missing or unusable (" + stage + ")."});
            else
                finish({"stage-failed", 10 * event.stage + event.code, event.stage, event.code, "", "",
                        "Error " + std::to_string(event.code) + " when restoring firmware (" +
                            std::to_string(event.stage) + "/2)" + (event.message.empty() ? "" : ": " + event.message)});
            break;
        case Kind::DeviceUnopened:
            if (event.error == EACCES)
                finish({"permission-denied", 4, event.stage, 0, "", "",
                        "Permission denied opening the controller (" + event.message + "): install the udev rule."});
            else
                finish({"stage-failed", 10 * event.stage + 1, event.stage, 1, "", "",
                        "The controller could not be opened (" + stage + "): " + event.message});
            break;
        case Kind::VerifyUnavailable: m_verification = "unavailable"; break;
        case Kind::Verified: m_verification = "verified"; break;
        case Kind::VerifyFailed:
            m_verification = "failed";
            finish({"verify-failed", 7, 2, 0, "", "", event.message});
            break;
    }
    m_changed.notify_all();
}

void UnattendedRun::restored() {
    std::lock_guard lock(m_runLock);
    finish({"restored", 0, 2, 0, "", "", "Firmware update succeeded."});
}

void UnattendedRun::workingController(uint16_t vendorId, uint16_t productId) {
    std::lock_guard lock(m_runLock);
    m_arrived = true;
    finish({"working", 0, 0, 0, "", Identity(vendorId, productId),
            "A Tyvo Controller in normal operation is attached (" + Identity(vendorId, productId) +
                "): there is nothing to restore. Run tyvo-reset without --yes to have old firmware updated in "
                "place."});
}

UnattendedOutcome UnattendedRun::waitForOutcome() {
    std::unique_lock lock(m_runLock);
    const auto arrivalDue = std::chrono::steady_clock::now() + m_wait;
    const std::string seconds = std::to_string(m_wait.count()) + (m_wait.count() == 1 ? " second" : " seconds");
    for (;;) {
        if (m_outcome) return *m_outcome;
        const auto now = std::chrono::steady_clock::now();
        if (!m_arrived && now >= arrivalDue) {
            finish({"no-device", 3, 0, 0, "", "", "No Tyvo Controller arrived within " + seconds + "."});
            continue;
        }
        if (m_programmerDue && now >= *m_programmerDue) {
            finish({"no-boot-programmer", 5, 1, 0, "", "",
                    "The boot programmer did not appear within " + seconds +
                        " after stage 1: unplug and replug the controller, then run the tool again."});
            continue;
        }
        // A stage under way has its own bounds (every transfer times out).
        const auto due = m_programmerDue ? *m_programmerDue : (m_arrived ? now + std::chrono::seconds(1) : arrivalDue);
        m_changed.wait_until(lock, due);
    }
}

std::vector<std::shared_ptr<DeviceModelBase>> UnattendedModels(
    const std::vector<std::shared_ptr<DeviceModelBase>>& models, const std::shared_ptr<UnattendedRun>& run) {
    std::vector<std::shared_ptr<DeviceModelBase>> rows;
    for (const auto& row : models) {
        if (row->kind == kImageClassDevice)
            rows.push_back(std::make_shared<WorkingControllerModel>(*row, run));
        else
            rows.push_back(row);
    }
    return rows;
}
