// One 2048-byte vendor request through the whole stack (the CCy classes, the
// libusb driver port, usbfs, the emulated device) against plain
// libusb_control_transfer on the same emulated device: the difference is
// what our transport adds. The emulated device answers at once (timing
// model off); the modelled wire time of the same request is printed as the
// physical limit on a real high-speed bus.

#include "sim/EmulatedUsbBus.h"
#include "sim/Fx3Chip.h"
#include "usb/CCyFX3DriverDevice.h"

#include <benchmark/benchmark.h>
#include <libusb.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using tyvo::sim::Fx3Chip;

constexpr int kBlock = 2048;
constexpr uint32_t kAddress = 0x40000000;

struct Bench {
    std::unique_ptr<tyvo::sim::EmulatedUsbBus> bus;
    std::shared_ptr<Fx3Chip> chip;
    std::unique_ptr<CCyFX3DriverDevice> device;
    std::unique_ptr<CCyFX3DriverDevice> timedDevice;  // the same chip with the timing model on
    libusb_context* plain = nullptr;
    libusb_device_handle* plainHandle = nullptr;
};

Bench* g_bench = nullptr;

void BM_OurStackWrite(benchmark::State& state) {
    std::vector<uint8_t> block(kBlock, 0x5A);
    for (auto _ : state) {
        if (!g_bench->device->SendVendorRequest(block.data(), 0xA0, kAddress, kBlock, false))
            state.SkipWithError("vendor request failed");
    }
    state.SetBytesProcessed(state.iterations() * kBlock);
}

void BM_OurStackRead(benchmark::State& state) {
    std::vector<uint8_t> block(kBlock);
    for (auto _ : state) {
        if (!g_bench->device->SendVendorRequest(block.data(), 0xA0, kAddress, kBlock, true))
            state.SkipWithError("vendor request failed");
    }
    state.SetBytesProcessed(state.iterations() * kBlock);
}

// With the timing model on, each request completes no earlier than its
// modelled wire time: what a real high-speed link would allow at best.
void BM_OurStackWriteTimed(benchmark::State& state) {
    std::vector<uint8_t> block(kBlock, 0x5A);
    for (auto _ : state) {
        if (!g_bench->timedDevice->SendVendorRequest(block.data(), 0xA0, kAddress, kBlock, false))
            state.SkipWithError("vendor request failed");
    }
    state.SetBytesProcessed(state.iterations() * kBlock);
}

void BM_PlainLibusbWrite(benchmark::State& state) {
    std::vector<uint8_t> block(kBlock, 0x5A);
    for (auto _ : state) {
        if (libusb_control_transfer(g_bench->plainHandle, 0x40, 0xA0, kAddress & 0xFFFF, kAddress >> 16, block.data(),
                                    kBlock, 10000) != kBlock)
            state.SkipWithError("control transfer failed");
    }
    state.SetBytesProcessed(state.iterations() * kBlock);
}

void BM_PlainLibusbRead(benchmark::State& state) {
    std::vector<uint8_t> block(kBlock);
    for (auto _ : state) {
        if (libusb_control_transfer(g_bench->plainHandle, 0xC0, 0xA0, kAddress & 0xFFFF, kAddress >> 16, block.data(),
                                    kBlock, 10000) != kBlock)
            state.SkipWithError("control transfer failed");
    }
    state.SetBytesProcessed(state.iterations() * kBlock);
}

BENCHMARK(BM_OurStackWrite)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_PlainLibusbWrite)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_OurStackRead)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_PlainLibusbRead)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_OurStackWriteTimed)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// Prints each pair's per-transfer times, their ratio and what our layers add.
class PairReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs) {
            const std::string name = r.benchmark_name();
            m_times[name.substr(0, name.find('/'))] = {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime()};
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        // Wall time includes waiting for the emulation's worker thread and
        // so the machine's load; CPU time of this process is the steadier
        // measure of what our layers add.
        for (const char* dir : {"Write", "Read"}) {
            const auto ours = m_times[std::string("BM_OurStack") + dir];
            const auto plain = m_times[std::string("BM_PlainLibusb") + dir];
            if (ours.first <= 0 || plain.first <= 0) continue;
            std::printf(
                "2048-byte vendor %-5s per transfer: wall %.1f us ours vs %.1f us plain libusb (ratio %.2f); "
                "CPU %.1f us vs %.1f us (ratio %.2f, ours adds %.1f us)\n",
                dir, ours.first, plain.first, ours.first / plain.first, ours.second, plain.second,
                ours.second / plain.second, ours.second - plain.second);
        }
    }

private:
    std::map<std::string, std::pair<double, double>> m_times;  // wall, CPU per iteration
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Bench bench;
    bench.bus = std::make_unique<tyvo::sim::EmulatedUsbBus>();
    bench.chip = Fx3Chip::create();  // timing model off: the device answers at once
    bench.bus->plug(bench.chip->powerUp(), "1-1");
    tyvo::sim::Fx3Options timed;
    timed.timing.enabled = true;
    auto timedChip = Fx3Chip::create(timed);
    bench.bus->plug(timedChip->powerUp(), "1-2");
    bench.device = std::make_unique<CCyFX3DriverDevice>();  // index 0: port 1-1
    bench.timedDevice = std::make_unique<CCyFX3DriverDevice>(kDriverInterfaceGuid, false);
    if (!bench.device->IsOpen() || !bench.timedDevice->Open(1)) {
        std::fprintf(stderr, "cannot open the emulated FX3s\n");
        return 1;
    }
    libusb_init(&bench.plain);
    // The untimed chip (port 1-1, the lower device address).
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(bench.plain, &list);
    for (ssize_t i = 0; i < n && !bench.plainHandle; ++i) {
        uint8_t port = 0;
        if (libusb_get_port_numbers(list[i], &port, 1) == 1 && port == 1 &&
            libusb_open(list[i], &bench.plainHandle) != 0)
            bench.plainHandle = nullptr;
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    if (!bench.plainHandle) {
        std::fprintf(stderr, "plain libusb cannot open the emulated FX3\n");
        return 1;
    }
    g_bench = &bench;

    PairReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    // The physical limit: the modelled wire time of one such request on a
    // high-speed bus (setup, 32 data packets of 64 bytes, status).
    tyvo::sim::TransferRequest request;
    request.setup = tyvo::sim::SetupPacket{0x40, 0xA0, 0, 0x4000, kBlock};
    const auto wire = tyvo::sim::TimingModel{}.busTime(request, kBlock, tyvo::sim::UsbSpeed::High, 64);
    std::printf("modelled wire time of the same request at 480 Mbit/s: %.1f us\n",
                std::chrono::duration<double, std::micro>(wire).count());

    bench.bus->stopTimers();
    libusb_close(bench.plainHandle);
    libusb_exit(bench.plain);
    bench.device.reset();
    bench.timedDevice.reset();
    return 0;
}
