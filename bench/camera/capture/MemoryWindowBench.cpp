// The memory window and one control request through the whole stack (the
// control channel, V4L2, the emulation's ioctl transport, the emulated
// controller) against a direct call of the emulated controller, and against
// a plain V4L2 request on the same node (what the stack costs without our
// layers), in the same run. Measured twice: with the camera open but not yet streaming (where a
// device authenticates and reads its calibration) and while it streams at
// 100 frames a second.

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "bench/support/RatioReporter.h"
#include "camera/capture/MemoryWindow.h"
#include "camera/capture/TyvoCameraFactory.h"
#include "camera/capture/UVCInterfaceV4L2.h"
#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "sim/EmulatedUsbBus.h"
#include "sim/controller/UvcControllerModel.h"
#include "tests/camera/capture/OpeningGate.h"

namespace {

struct Setup {
    std::unique_ptr<tyvo::sim::EmulatedUsbBus> bus;
    std::shared_ptr<tyvo::sim::UvcControllerModel> model;
    std::shared_ptr<CoreContext> context;
    std::shared_ptr<UVCInterfaceV4L2> capture;
    int plainFd = -1;
};

Setup* g_setup = nullptr;
constexpr std::uint32_t kCalibrationAddress = 100;
constexpr std::uint32_t kCalibrationSize = 156;

void WindowRead(benchmark::State& state) {
    std::array<std::uint8_t, kCalibrationSize> block{};
    for (auto _ : state) readMemoryWindow(*g_setup->capture, kCalibrationAddress, block.data(), kCalibrationSize);
    state.SetBytesProcessed(state.iterations() * kCalibrationSize);
}

void WindowWriteVerified(benchmark::State& state) {
    const std::array<std::uint8_t, 16> bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (auto _ : state) writeMemoryWindowVerified(*g_setup->capture, 0x200, bytes.data(), 16);
    state.SetBytesProcessed(state.iterations() * 16);
}

void ControlThroughStack(benchmark::State& state) {
    int value = 0;
    for (auto _ : state) {
        if (!g_setup->capture->getControl(8, value)) state.SkipWithError("control request failed");
    }
}

void ControlPlainIoctl(benchmark::State& state) {
    v4l2_control control{V4L2_CID_SATURATION, 0};
    for (auto _ : state) {
        if (::ioctl(g_setup->plainFd, VIDIOC_G_CTRL, &control) != 0) state.SkipWithError("ioctl failed");
    }
}

void ControlDirect(benchmark::State& state) {
    std::int32_t value = 0;
    for (auto _ : state) {
        if (g_setup->model->getControl(V4L2_CID_SATURATION, value) != 0) state.SkipWithError("control failed");
        benchmark::DoNotOptimize(value);
    }
}

void Register(const std::string& phase) {
    benchmark::RegisterBenchmark((phase + "/WindowRead").c_str(), WindowRead)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((phase + "/WindowWriteVerified").c_str(), WindowWriteVerified)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((phase + "/ControlThroughStack").c_str(), ControlThroughStack)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((phase + "/ControlPlainIoctl").c_str(), ControlPlainIoctl)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((phase + "/ControlDirect").c_str(), ControlDirect)->Unit(benchmark::kMicrosecond);
}

void PrintFigures(const benchsupport::RatioReporter& reporter, const std::string& phase) {
    double read = 0, write = 0, stack = 0, plain = 0, direct = 0;
    if (!reporter.Time(phase + "/WindowRead", &read) || !reporter.Time(phase + "/WindowWriteVerified", &write) ||
        !reporter.Time(phase + "/ControlThroughStack", &stack) ||
        !reporter.Time(phase + "/ControlPlainIoctl", &plain) || !reporter.Time(phase + "/ControlDirect", &direct))
        return;
    // Times are in microseconds per iteration.
    std::printf(
        "%s: memory window read %.0f bytes/s (%.1f us a byte, 2 requests), verified write %.0f bytes/s "
        "(%.1f us a byte, 3 requests)\n",
        phase.c_str(), kCalibrationSize / read * 1e6, read / kCalibrationSize, 16 / write * 1e6, write / 16);
    std::printf(
        "%s: one control request %.2f us through the stack vs %.3f us calling the emulator = %.0fx; "
        "a plain V4L2 request on the same node %.2f us (stack / plain = %.2f)\n",
        phase.c_str(), stack, direct, stack / direct, plain, stack / plain);
}

// The library writes the results file anew on every run of benchmarks, and
// this program runs twice (one phase each): the first phase's results are
// kept next to it as <name>-open.json.
std::string resultsFile(int argc, char** argv) {
    const char* flag = "--benchmark_out=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0) return argv[i] + std::strlen(flag);
    }
    return {};
}

void keepFirstPhase(const std::string& file) {
    if (file.empty()) return;
    std::filesystem::path kept(file);
    kept.replace_filename(kept.stem().string() + "-open" + kept.extension().string());
    std::error_code error;
    std::filesystem::copy_file(file, kept, std::filesystem::copy_options::overwrite_existing, error);
    if (error)
        std::fprintf(stderr, "cannot keep the first phase's results as %s: %s\n", kept.c_str(),
                     error.message().c_str());
}

int Run(int argc, char** argv) {
    const std::string results = resultsFile(argc, argv);
    benchmark::Initialize(&argc, argv);
    Setup setup;
    g_setup = &setup;
    setup.bus = std::make_unique<tyvo::sim::EmulatedUsbBus>();
    setup.model = tyvo::sim::UvcControllerModel::create();
    const std::string port = setup.bus->plug(setup.model);

    auto gate = std::make_shared<OpeningGate>();
    setup.context = CoreContext::Current()->NewChild();
    {
        CurrentContextScope scope(setup.context);
        setup.context->AddMember(std::make_shared<DeviceCameraFactory>(
            L"usb#vid_f182&pid_0003#" + std::wstring(port.begin(), port.end()), nullptr));
        setup.context->AddMember(gate);
        setup.capture = AutoRequired<UVCInterfaceV4L2>().shared();
    }
    setup.plainFd = ::open(setup.model->videoNode().c_str(), O_RDWR | O_NONBLOCK);
    if (setup.plainFd < 0) {
        std::fprintf(stderr, "cannot open %s\n", setup.model->videoNode().c_str());
        return 1;
    }
    setup.capture->requestFormat(640, 480, 0.0f);
    setup.capture->post(UVCInterface::kCommandStream);
    setup.context->Initiate();
    if (!gate->waitUntilOpened(std::chrono::seconds(10))) {
        std::fprintf(stderr, "the emulated camera did not open\n");
        return 1;
    }

    benchsupport::RatioReporter reporter;
    Register("Open");
    benchmark::RunSpecifiedBenchmarks(&reporter, "^Open/");
    keepFirstPhase(results);
    gate->open();
    Register("Streaming");
    benchmark::RunSpecifiedBenchmarks(&reporter, "^Streaming/");

    std::printf("\n");
    PrintFigures(reporter, "Open");
    PrintFigures(reporter, "Streaming");
    std::printf("frames streamed meanwhile: %zu\n", setup.model->videoStats().framesDelivered);

    ::close(setup.plainFd);
    setup.context->RequestShutdown();
    setup.bus->stopTimers();
    benchmark::Shutdown();
    return 0;
}

}  // namespace

// The emulated bus or camera may fail to come up; say why rather than
// ending in std::terminate.
int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark setup failed: %s\n", e.what());
        return 1;
    }
}
