// A whole restore of the build's synthetic firmware (app0.dat of about
// 100 KB, app1.dat of about 300 KB) against the emulated FX3 with its
// timing model on: the time both stages take, against the modelled bus,
// programming and erase time, which no host could beat, and against the
// same transfers made with plain libusb on the same emulator (what the
// emulation itself costs per transfer). Also the peak resident memory of the
// tool itself, run end to end under tyvo-sim.

#include "firmware/EmulatedBus.h"
#include "firmware/FirmwareLocation.h"
#include "firmware/restore/CyBootLoaderDevice.h"
#include "firmware/restore/CyBootProgrammerDevice.h"
#include "sim/EmulatedUsbBus.h"
#include "sim/Fx3Chip.h"
#include "usb/UsbDriverPort.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <libusb.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using namespace tyvo::sim;

struct RestoreFigures {
    double measured = 0;  // seconds, from the plug-in to the end of stage 2
    double limit = 0;     // seconds of modelled device and bus time
    std::size_t transfers = 0;
};

// The transfers of the tool's last restore, replayed by the plain libusb peer.
std::vector<TransferRecord> s_loaderLog;
std::vector<TransferRecord> s_programmerLog;

// The limit of a restore on this chip.
double limitOf(Fx3Chip& chip, const TimingModel& timing);

// Status polls answered "busy" fall inside the erase they wait for: their
// bus time is not added to the limit.
std::chrono::nanoseconds busyPollTime(const StandardUsbDevice& programmer, const TimingModel& timing) {
    TransferRequest poll;
    poll.setup = SetupPacket{0xC0, 0xC4, 0, 0, 1};
    poll.inLength = 1;
    const auto each = timing.busTime(poll, 1, UsbSpeed::High, 64);
    std::chrono::nanoseconds total{0};
    for (const auto& r : programmer.transferLog())
        if (r.setup.bRequest == 0xC4 && r.setup.deviceToHost() && r.data == Bytes{1}) total += each;
    return total;
}

RestoreFigures restoreOnce() {
    EmulatedUsbBus bus;
    // A refused image would end the whole process from inside the stage.
    if (!RunsOnEmulatedBus()) throw std::runtime_error("not on a declared emulated bus (run under umockdev-wrapper)");
    // libusb's udev listener stays open, as the tool's attach monitor keeps it.
    UsbDriverPort listener;
    Fx3Options options;
    options.timing.enabled = true;
    auto chip = Fx3Chip::create(options);
    RestoreStageSettings settings;
    settings.finishRestore = [] {};

    std::ostringstream console;
    std::streambuf* saved = std::cout.rdbuf(console.rdbuf());
    const auto start = Clock::now();
    bus.plug(chip->powerUp());
    try {
        CyBootLoaderDevice stage1(settings);
    } catch (const std::exception&) {
        // Stage 1 always ends this way.
    }
    bool restored = false;
    if (bus.waitForProduct(Fx3Chip::kBootProgrammerProductId, 10s)) {
        try {
            CyBootProgrammerDevice stage2(settings);
            restored = true;
        } catch (const std::exception&) {
        }
    }
    const auto end = Clock::now();
    std::cout.rdbuf(saved);
    bus.stopTimers();
    if (!restored) throw std::runtime_error("the restore failed:\n" + console.str());

    RestoreFigures figures;
    figures.measured = std::chrono::duration<double>(end - start).count();
    figures.limit = limitOf(*chip, options.timing);
    s_loaderLog = chip->bootLoader()->transferLog();
    s_programmerLog = chip->bootProgrammer()->transferLog();
    figures.transfers = s_loaderLog.size() + s_programmerLog.size();
    return figures;
}

double limitOf(Fx3Chip& chip, const TimingModel& timing) {
    return std::chrono::duration<double>(chip.modelledTime() - busyPollTime(*chip.bootProgrammer(), timing)).count();
}

libusb_device_handle* openWhenListed(libusb_context* usb, uint16_t productId) {
    for (int tries = 0; tries < 5000; ++tries) {
        if (auto* h = libusb_open_device_with_vid_pid(usb, Fx3Chip::kVendorId, productId)) return h;
        std::this_thread::sleep_for(1ms);
    }
    throw std::runtime_error("the emulated device did not appear");
}

bool replay(libusb_device_handle* h, const TransferRecord& r) {
    Bytes data = r.setup.deviceToHost() ? Bytes(r.setup.wLength) : r.data;
    const int n = libusb_control_transfer(h, r.setup.bmRequestType, r.setup.bRequest, r.setup.wValue, r.setup.wIndex,
                                          data.data(), r.setup.wLength, 10000);
    return n >= 0;
}

// The tool's transfers made again with plain libusb: the same requests in
// the same order, each erase followed by status polls until the flash is
// ready.
RestoreFigures plainLibusbRestore() {
    EmulatedUsbBus bus;
    Fx3Options options;
    options.timing.enabled = true;
    auto chip = Fx3Chip::create(options);
    libusb_context* usb = nullptr;
    if (libusb_init(&usb) != 0) throw std::runtime_error("libusb_init failed");

    const auto start = Clock::now();
    bus.plug(chip->powerUp());
    libusb_device_handle* h = openWhenListed(usb, Fx3Chip::kBootLoaderProductId);
    for (const auto& r : s_loaderLog) replay(h, r);
    libusb_close(h);
    bus.waitForProduct(Fx3Chip::kBootProgrammerProductId, 10s);
    h = openWhenListed(usb, Fx3Chip::kBootProgrammerProductId);
    bool ok = true;
    for (const auto& r : s_programmerLog) {
        if (r.setup.bRequest == 0xC4 && r.setup.deviceToHost()) continue;
        ok = replay(h, r) && ok;
        if (r.setup.bRequest == 0xC4) {
            uint8_t status = 1;
            while (ok && status != 0)
                ok = libusb_control_transfer(h, 0xC0, 0xC4, 0, r.setup.wIndex, &status, 1, 10000) == 1;
        }
    }
    const auto end = Clock::now();
    libusb_close(h);
    bus.stopTimers();
    libusb_exit(usb);
    if (!ok) throw std::runtime_error("a replayed transfer failed");

    RestoreFigures figures;
    figures.measured = std::chrono::duration<double>(end - start).count();
    figures.limit = limitOf(*chip, options.timing);
    return figures;
}

double s_toolMeasured = 0;
double s_toolLimit = 0;

// Runs one restore per iteration and gives the mean figures (the last
// run's transfer count), with the common counters set; nothing when a run
// failed, which then skips the benchmark.
template <class Restore>
std::optional<RestoreFigures> meanOfRestores(benchmark::State& state, Restore restore) {
    RestoreFigures sum;
    for (auto _ : state) {
        RestoreFigures f;
        try {
            f = restore();
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return std::nullopt;
        }
        state.SetIterationTime(f.measured);
        sum.measured += f.measured;
        sum.limit += f.limit;
        sum.transfers = f.transfers;
    }
    const double n = static_cast<double>(state.iterations());
    RestoreFigures mean{sum.measured / n, sum.limit / n, sum.transfers};
    state.counters["modelled_s"] = mean.limit;
    state.counters["measured_s"] = mean.measured;
    state.counters["ratio"] = mean.measured / mean.limit;
    return mean;
}

void BM_WholeRestoreAgainstTheModelledTime(benchmark::State& state) {
    SetFirmwareFolder(TYVO_FIRMWARE_FOLDER);
    // The build's images are synthetic: the tool loads them only on a bus
    // that declares itself emulated, as this one (under umockdev-wrapper,
    // its test bed made by each restore's bus) is.
    setenv(kEmulatedBusVariable, "umockdev", 1);
    const auto mean = meanOfRestores(state, restoreOnce);
    if (!mean) return;
    s_toolMeasured = mean->measured;
    s_toolLimit = mean->limit;
    state.counters["transfers"] = static_cast<double>(mean->transfers);
    std::printf("tool: whole restore %.3f s measured, %.3f s modelled (bus, programming, erase): ratio %.3f\n",
                mean->measured, mean->limit, mean->measured / mean->limit);
}
BENCHMARK(BM_WholeRestoreAgainstTheModelledTime)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_PlainLibusbPeer(benchmark::State& state) {
    if (s_loaderLog.empty()) {
        state.SkipWithError("the tool's restore did not run");
        return;
    }
    const auto mean = meanOfRestores(state, plainLibusbRestore);
    if (!mean) return;
    state.counters["tool_vs_peer"] = s_toolMeasured / mean->measured;
    std::printf("plain libusb, same transfers: %.3f s measured, %.3f s modelled: ratio %.3f; tool / peer %.3f\n",
                mean->measured, mean->limit, mean->measured / mean->limit, s_toolMeasured / mean->measured);
}
BENCHMARK(BM_PlainLibusbPeer)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// Runs tyvo-reset under tyvo-sim outside this process's emulation and
// returns the host's standard error.
std::string runHost(const std::vector<std::string>& args, int& status) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        // The host sets up its own emulation.
        if (entry.rfind("LD_PRELOAD=", 0) == 0 || entry.rfind("UMOCKDEV_DIR=", 0) == 0) continue;
        env.push_back(entry);
    }
    std::vector<char*> envp, argv;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> all = args;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
    std::string text;
    if (rc == 0) {
        char buffer[4096];
        ssize_t got;
        while ((got = read(err[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(got));
        waitpid(pid, &status, 0);
    }
    close(err[0]);
    return text;
}

void BM_ToolPeakMemoryEndToEnd(benchmark::State& state) {
    long peakKiB = 0;
    for (auto _ : state) {
        int status = -1;
        const std::string err = runHost({TYVO_SIM_PATH, "--timing", "--verbose"}, status);
        const std::string tag = "the tool's peak resident memory: ";
        const auto at = err.find(tag);
        if (status != 0 || at == std::string::npos) {
            state.SkipWithError(("tyvo-sim did not restore:\n" + err).c_str());
            return;
        }
        peakKiB = std::stol(err.substr(at + tag.size()));
    }
    state.counters["tool_peak_rss_MiB"] = static_cast<double>(peakKiB) / 1024.0;
    std::printf("tyvo-reset end to end: peak resident memory %.1f MiB (goal: under 10 MiB): ratio %.2f\n",
                static_cast<double>(peakKiB) / 1024.0, static_cast<double>(peakKiB) / 1024.0 / 10.0);
}
BENCHMARK(BM_ToolPeakMemoryEndToEnd)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
