// The FX3 image loaders against emulated devices: RAM through the boot
// loader, the SPI flash through the boot programmer, an EEPROM programmer;
// the exact requests they make and what they leave in the device.

#include "sim/EmulatedUsbBus.h"
#include "sim/Fx3Chip.h"
#include "tests/usb/EmulatedDevices.h"
#include "usb/CCyFX3DriverDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

namespace tyvo::usbtest {
namespace {

using namespace std::chrono_literals;
using sim::FaultKind;
using sim::FaultRule;
using sim::Fx3Chip;
using sim::TransferRecord;

Bytes noise(std::size_t n, uint32_t seed = 7) {
    Bytes b(n);
    for (auto& x : b) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<uint8_t>(seed >> 24);
    }
    return b;
}

void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

struct Section {
    uint32_t address;
    Bytes data;
};

// An FX3 boot image: header, sections, terminator with the entry, checksum.
Bytes bootImage(const std::vector<Section>& sections, uint32_t entry) {
    Bytes image = {'C', 'Y', 0x1C, 0xB0};
    uint32_t sum = 0;
    for (const auto& s : sections) {
        put32(image, static_cast<uint32_t>(s.data.size() / 4));
        put32(image, s.address);
        image.insert(image.end(), s.data.begin(), s.data.end());
        for (std::size_t i = 0; i < s.data.size(); i += 4)
            sum += uint32_t{s.data[i]} | uint32_t{s.data[i + 1]} << 8 | uint32_t{s.data[i + 2]} << 16 |
                   uint32_t{s.data[i + 3]} << 24;
    }
    put32(image, 0);
    put32(image, entry);
    put32(image, sum);
    return image;
}

struct Expected {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
};

void expectRequest(const TransferRecord& r, const Expected& e, std::size_t at) {
    EXPECT_EQ(r.setup.bmRequestType, e.bmRequestType) << "request " << at;
    EXPECT_EQ(r.setup.bRequest, e.bRequest) << "request " << at;
    EXPECT_EQ(r.setup.wValue, e.wValue) << "request " << at;
    EXPECT_EQ(r.setup.wIndex, e.wIndex) << "request " << at;
    EXPECT_EQ(r.setup.wLength, e.wLength) << "request " << at;
}

class RamLoader : public ::testing::Test {
protected:
    void SetUp() override {
        chip = Fx3Chip::create();
        loader = std::static_pointer_cast<sim::StandardUsbDevice>(chip->powerUp());
        bus.plug(loader);
        fx3 = std::make_unique<CCyFX3DriverDevice>();
        ASSERT_TRUE(fx3->IsOpen());
        fx3->ControlEndPoint()->SetTimeOut(300);
    }
    void TearDown() override {
        bus.stopTimers();
        fx3.reset();
    }
    LoadResult load(const Bytes& image) { return fx3->LoadImage(image, ImageTarget::Ram); }

    sim::EmulatedUsbBus bus;
    std::shared_ptr<Fx3Chip> chip;
    std::shared_ptr<sim::StandardUsbDevice> loader;
    std::unique_ptr<CCyFX3DriverDevice> fx3;
};

TEST_F(RamLoader, A3072ByteSectionGoesAsTwoBlocksEachWrittenAndReadBackThreeTimesThenTheJump) {
    // High half 0x4000, low half 0x3000: wIndex and wValue.
    const Bytes data = noise(3072);
    ASSERT_EQ(load(bootImage({{0x40003000, data}}, 0x40003000)), LoadResult::Loaded);

    const auto log = loader->vendorRequests();
    ASSERT_EQ(log.size(), 13u);
    for (int pass = 0; pass < 3; ++pass) {
        expectRequest(log[2 * pass], {0x40, 0xA0, 0x3000, 0x4000, 2048}, 2 * pass);
        expectRequest(log[2 * pass + 1], {0xC0, 0xA0, 0x3000, 0x4000, 2048}, 2 * pass + 1);
        expectRequest(log[6 + 2 * pass], {0x40, 0xA0, 0x3800, 0x4000, 1024}, 6 + 2 * pass);
        expectRequest(log[7 + 2 * pass], {0xC0, 0xA0, 0x3800, 0x4000, 1024}, 7 + 2 * pass);
    }
    expectRequest(log[12], {0x40, 0xA0, 0x3000, 0x4000, 0}, 12);
    EXPECT_EQ(Bytes(log[0].data), Bytes(data.begin(), data.begin() + 2048));
    EXPECT_EQ(Bytes(log[6].data), Bytes(data.begin() + 2048, data.end()));
    EXPECT_EQ(chip->jumps(), std::vector<uint32_t>{0x40003000});
}

TEST_F(RamLoader, EverySectionLandsAtItsAddress) {
    const Bytes a = noise(4100, 1), b = noise(8, 2);
    ASSERT_EQ(load(bootImage({{0x40000000, a}, {0x40020000, b}}, 0x40000000)), LoadResult::Loaded);
    EXPECT_EQ(chip->readMemory(0x40000000, a.size()), a);
    EXPECT_EQ(chip->readMemory(0x40020000, b.size()), b);
}

TEST_F(RamLoader, OnlyTheLastReadBackPassMustComeBackIntact) {
    const Bytes image = bootImage({{0x40000000, noise(1024)}}, 0x40000000);
    // First pass: a damaged read-back; second: a failed write.
    loader->injectFault(FaultRule{FaultKind::CorruptRead, 1, 0xA0, true, false});
    loader->injectFault(FaultRule{FaultKind::Fail, 2, 0xA0, false, false});
    EXPECT_EQ(load(image), LoadResult::Loaded);
    EXPECT_EQ(chip->jumps().size(), 1u);

    loader->clearFaults();
    loader->injectFault(FaultRule{FaultKind::CorruptRead, 3, 0xA0, true, false});
    EXPECT_EQ(load(image), LoadResult::RequestFailed);
    EXPECT_EQ(chip->jumps().size(), 1u) << "no jump after a failed load";
}

// A pass whose write failed ends there: reading back a block that was not
// written would only compare stale memory.
TEST_F(RamLoader, AFailedWriteEndsItsPassWithoutAReadBack) {
    const Bytes image = bootImage({{0x40000000, noise(512)}}, 0x40000000);
    loader->injectFault(FaultRule{FaultKind::Fail, 2, 0xA0, false, false});
    ASSERT_EQ(load(image), LoadResult::Loaded);
    std::vector<bool> reads;
    for (const auto& r : loader->vendorRequests()) reads.push_back((r.setup.bmRequestType & 0x80) != 0);
    // Pass 1 write, read; pass 2 the failed write; pass 3 write, read; jump.
    EXPECT_EQ(reads, (std::vector<bool>{false, true, false, false, true, false}));
}

TEST_F(RamLoader, AFailedWriteOrReadInTheLastPassFailsTheLoad) {
    const Bytes image = bootImage({{0x40000000, noise(64)}}, 0x40000000);
    loader->injectFault(FaultRule{FaultKind::Stall, 3, 0xA0, false, false});
    EXPECT_EQ(load(image), LoadResult::RequestFailed);
    loader->clearFaults();
    loader->injectFault(FaultRule{FaultKind::Timeout, 3, 0xA0, true, false});
    EXPECT_EQ(load(image), LoadResult::RequestFailed);
}

TEST_F(RamLoader, MalformedImagesAreRefusedWithTheirCodesBeforeAnyRequest) {
    Bytes notCy = bootImage({{0x40000000, noise(64)}}, 0x40000000);
    notCy[1] = 'X';
    Bytes noTerminator = bootImage({{0x40000000, noise(64)}}, 0x40000000);
    noTerminator.resize(4 + 8 + 64);
    Bytes noEntry = noTerminator;
    put32(noEntry, 0);
    // 512 words announced, 16 bytes of image in all.
    Bytes tooLong = {'C', 'Y', 0x1C, 0xB0};
    put32(tooLong, 512);
    put32(tooLong, 0x40000000);
    Bytes runsPast = {'C', 'Y', 0x1C, 0xB0};
    put32(runsPast, 16);
    put32(runsPast, 0x40000000);
    runsPast.resize(runsPast.size() + 60);  // 64 bytes announced, 60 there
    struct Case {
        const char* what;
        Bytes image;
        LoadResult result;
        std::size_t requests;  // blocks walked before the fault is met are loaded
    } cases[] = {
        {"empty", {}, LoadResult::EmptyImage, 0},
        {"one byte", {'C'}, LoadResult::NotBootImage, 0},
        {"not CY", notCy, LoadResult::NotBootImage, 0},
        {"CY and two bytes", {'C', 'Y', 0x1C, 0xB0}, LoadResult::Truncated, 0},
        {"block longer than the image", tooLong, LoadResult::BlockTooLong, 0},
        {"section runs past the end", runsPast, LoadResult::Truncated, 0},
        {"no terminator", noTerminator, LoadResult::Truncated, 6},
        {"terminator without entry", noEntry, LoadResult::Truncated, 6},
    };
    for (const auto& c : cases) {
        const std::size_t before = loader->vendorRequests().size();
        EXPECT_EQ(load(c.image), c.result) << c.what;
        EXPECT_EQ(loader->vendorRequests().size() - before, c.requests) << c.what;
    }
    EXPECT_TRUE(chip->jumps().empty());
}

TEST_F(RamLoader, ALengthWithNoPositiveByteCountIsSkippedToTheNextHeader) {
    // 0x20000000 words are 0x80000000 bytes: negative as a signed count.
    Bytes image = {'C', 'Y', 0x1C, 0xB0};
    put32(image, 0x20000000);
    put32(image, 0x40000000);
    put32(image, 0);
    put32(image, 0x40001000);
    EXPECT_EQ(load(image), LoadResult::Loaded);
    const auto log = loader->vendorRequests();
    ASSERT_EQ(log.size(), 1u);
    expectRequest(log[0], {0x40, 0xA0, 0x1000, 0x4000, 0}, 0);
}

TEST_F(RamLoader, AnUnknownTargetIsCode2AndAnEmptyImageComesFirst) {
    const Bytes image = bootImage({{0x40000000, noise(64)}}, 0x40000000);
    EXPECT_EQ(fx3->LoadImage(image, static_cast<ImageTarget>(4)), LoadResult::UnknownTarget);
    EXPECT_EQ(fx3->LoadImage({}, static_cast<ImageTarget>(4)), LoadResult::EmptyImage);
    EXPECT_TRUE(loader->vendorRequests().empty());
}

class FlashLoader : public ::testing::Test {
protected:
    void start(sim::Fx3Options options = {}) {
        chip = Fx3Chip::create(std::move(options));
        chip->powerUp();
        const Bytes signature(sim::kBootProgrammerSignature, sim::kBootProgrammerSignature + 16);
        ASSERT_TRUE(chip->writeMemory(0x40000000, signature));
        programmer = chip->jump(0x40000000, nullptr);
        ASSERT_NE(programmer, nullptr);
        bus.plug(programmer);
        fx3 = std::make_unique<CCyFX3DriverDevice>();
        ASSERT_TRUE(fx3->IsOpen());
        ASSERT_EQ(fx3->ProductID(), 0x4720);
    }
    void TearDown() override {
        bus.stopTimers();
        fx3.reset();
    }
    std::vector<TransferRecord> requests(uint8_t bRequest, bool in) const {
        std::vector<TransferRecord> out;
        for (const auto& r : programmer->vendorRequests())
            if (r.setup.bRequest == bRequest && r.setup.deviceToHost() == in) out.push_back(r);
        return out;
    }

    sim::EmulatedUsbBus bus;
    std::shared_ptr<Fx3Chip> chip;
    std::shared_ptr<sim::StandardUsbDevice> programmer;
    std::unique_ptr<CCyFX3DriverDevice> fx3;
};

TEST_F(FlashLoader, A70000ByteImageErasesTwoSectorsAndWritesWholePagesInPiecesOf2048) {
    start();
    const Bytes image = noise(70000);
    ASSERT_EQ(fx3->LoadImage(image, ImageTarget::SpiFlash), LoadResult::Loaded);

    const auto erases = requests(0xC4, false);
    ASSERT_EQ(erases.size(), 2u);
    for (uint16_t s = 0; s < 2; ++s) expectRequest(erases[s], {0x40, 0xC4, 1, s, 0}, s);
    for (const auto& poll : requests(0xC4, true)) EXPECT_EQ(poll.setup.wValue, 0) << "status polls";

    const auto writes = requests(0xC2, false);
    ASSERT_EQ(writes.size(), 35u);
    for (std::size_t i = 0; i < writes.size(); ++i) {
        const uint16_t length = i + 1 < writes.size() ? 2048 : 512;
        expectRequest(writes[i], {0x40, 0xC2, 0, static_cast<uint16_t>(8 * i), length}, i);
    }
    EXPECT_EQ(writes.back().setup.wIndex, 272);
    // The image, then the erased value to the end of its last page and
    // beyond; no read-back.
    Bytes expected = image;
    expected.resize(2 * 65536, 0xFF);
    const Bytes flash = chip->flash().contents();
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 2 * 65536), expected);
    EXPECT_TRUE(requests(0xC3, true).empty());
}

TEST_F(FlashLoader, ExactlyOneSectorErasesOneSector) {
    start();
    ASSERT_EQ(fx3->LoadImage(noise(65536), ImageTarget::SpiFlash), LoadResult::Loaded);
    EXPECT_EQ(requests(0xC4, false).size(), 1u);
    EXPECT_EQ(requests(0xC2, false).size(), 32u);
    EXPECT_EQ(chip->flash().eraseCount(1), 0u);
}

TEST_F(FlashLoader, AFlashBusyThreeTimesIsPolledFourTimes) {
    sim::Fx3Options options;
    options.eraseBusyPolls = 3;
    start(options);
    EXPECT_EQ(fx3->EraseFlashSector(5), 0);
    const auto polls = requests(0xC4, true);
    ASSERT_EQ(polls.size(), 4u);
    for (const auto& poll : polls) {
        EXPECT_EQ(poll.setup.wIndex, 5);
        EXPECT_EQ(poll.setup.wLength, 1);
    }
    EXPECT_EQ(polls.back().data, Bytes{0});
}

TEST_F(FlashLoader, AFlashThatStaysBusyFailsTheEraseOnceItsTimeOutHasPassed) {
    sim::Fx3Options options;
    options.flashStuckBusy = true;
    start(options);
    EXPECT_EQ(fx3->FlashEraseTimeout(), std::chrono::milliseconds(10000));
    fx3->SetFlashEraseTimeout(200ms);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(fx3->EraseFlashSector(0), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 200ms);
    EXPECT_EQ(fx3->LoadImage(noise(100), ImageTarget::SpiFlash), LoadResult::EraseFailed);
    EXPECT_TRUE(requests(0xC2, false).empty()) << "nothing is written after a failed erase";
}

TEST_F(FlashLoader, FailedRequestsGiveEraseFailedOrRequestFailed) {
    start();
    programmer->injectFault(FaultRule{FaultKind::Stall, 1, 0xC4, false, false});
    EXPECT_EQ(fx3->LoadImage(noise(100), ImageTarget::SpiFlash), LoadResult::EraseFailed);
    programmer->clearFaults();
    programmer->injectFault(FaultRule{FaultKind::Fail, 1, 0xC4, true, false});
    EXPECT_EQ(fx3->LoadImage(noise(100), ImageTarget::SpiFlash), LoadResult::EraseFailed) << "a failed poll";
    programmer->clearFaults();
    // The erase whose status was not read is still running.
    while (chip->flash().pollBusy()) {
    }
    programmer->injectFault(FaultRule{FaultKind::Fail, 2, 0xC2, false, false});
    EXPECT_EQ(fx3->LoadImage(noise(5000), ImageTarget::SpiFlash), LoadResult::RequestFailed);
    EXPECT_EQ(requests(0xC2, false).size(), 2u) << "the load stops at the failed write";
}

class EepromLoader : public ::testing::Test {
protected:
    void SetUp() override {
        device = VendorDevice::fx3();
        bus.plug(device);
        fx3 = std::make_unique<CCyFX3DriverDevice>();
        ASSERT_TRUE(fx3->IsOpen());
    }
    void TearDown() override {
        bus.stopTimers();
        fx3.reset();
    }
    // An image whose control byte carries the size code.
    static Bytes image(unsigned sizeCode, std::size_t size) {
        Bytes b = noise(size);
        b[2] = static_cast<uint8_t>(sizeCode << 1);
        return b;
    }
    // (wValue, wIndex) of every 0xBA write.
    std::vector<std::pair<uint16_t, uint16_t>> addresses() const {
        std::vector<std::pair<uint16_t, uint16_t>> out;
        for (const auto& r : device->vendorRequests())
            if (r.setup.bRequest == 0xBA) out.emplace_back(r.setup.wValue, r.setup.wIndex);
        return out;
    }

    sim::EmulatedUsbBus bus;
    std::shared_ptr<VendorDevice> device;
    std::unique_ptr<CCyFX3DriverDevice> fx3;
};

TEST_F(EepromLoader, UnknownSizeCodesAreRefusedWithoutARequest) {
    for (unsigned code : {0u, 1u})
        EXPECT_EQ(fx3->LoadImage(image(code, 4096), ImageTarget::I2cEeprom), LoadResult::UnknownEepromSize);
    EXPECT_EQ(fx3->LoadImage(Bytes{'C', 'Y'}, ImageTarget::I2cEeprom), LoadResult::UnknownEepromSize);
    EXPECT_TRUE(device->vendorRequests().empty());
}

TEST_F(EepromLoader, SmallBlocksStepTheDeviceAddressAndWrapAfterEight) {
    // 4 KB blocks: two pieces each; eight blocks fill the device addresses.
    ASSERT_EQ(fx3->LoadImage(image(2, 20 * 2048), ImageTarget::I2cEeprom), LoadResult::Loaded);
    const auto a = addresses();
    ASSERT_EQ(a.size(), 20u);
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].first, (i / 2) % 8) << "piece " << i;
        EXPECT_EQ(a[i].second, (i % 2) * 2048) << "piece " << i;
    }
}

TEST_F(EepromLoader, BlockSizesFollowTheSizeCode) {
    const std::pair<unsigned, std::size_t> codes[] = {{3, 8192}, {4, 16384}, {5, 32768}, {6, 65536}};
    for (const auto& [code, block] : codes) {
        device->clearFaults();
        const std::size_t before = addresses().size();
        ASSERT_EQ(fx3->LoadImage(image(code, 2 * block), ImageTarget::I2cEeprom), LoadResult::Loaded);
        const auto a = addresses();
        const std::size_t pieces = block / 2048;
        ASSERT_EQ(a.size() - before, 2 * pieces);
        EXPECT_EQ(a[before + pieces - 1], std::make_pair(uint16_t{0}, static_cast<uint16_t>(block - 2048))) << code;
        EXPECT_EQ(a[before + pieces], std::make_pair(uint16_t{1}, uint16_t{0})) << code;
    }
}

TEST_F(EepromLoader, TheLargeDevicesGoFour_OneThenFive) {
    ASSERT_EQ(fx3->LoadImage(image(7, 5 * 65536), ImageTarget::I2cEeprom), LoadResult::Loaded);
    const auto a = addresses();
    ASSERT_EQ(a.size(), 160u);
    const uint16_t perBlock[] = {0, 4, 1, 5, 5};
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].first, perBlock[i / 32]) << "piece " << i;
        EXPECT_EQ(a[i].second, (i % 32) * 2048) << "piece " << i;
    }
}

TEST_F(EepromLoader, TheTailIsPaddedToWholePacketsAndReadBack) {
    const Bytes img = image(2, 2048 + 100);
    ASSERT_EQ(fx3->LoadImage(img, ImageTarget::I2cEeprom), LoadResult::Loaded);
    const auto log = device->vendorRequests();
    ASSERT_EQ(log.size(), 3u);
    expectRequest(log[0], {0x40, 0xBA, 0, 0, 2048}, 0);
    expectRequest(log[1], {0x40, 0xBA, 0, 2048, 128}, 1);
    expectRequest(log[2], {0xC0, 0xBB, 0, 2048, 128}, 2);
    Bytes tail(img.begin() + 2048, img.end());
    tail.resize(128, 0);
    EXPECT_EQ(log[1].data, tail);
}

TEST_F(EepromLoader, AFailedPieceOrReadBackFailsTheLoad) {
    device->injectFault(FaultRule{FaultKind::Stall, 2, 0xBA, false, false});
    EXPECT_EQ(fx3->LoadImage(image(2, 3 * 2048), ImageTarget::I2cEeprom), LoadResult::RequestFailed);
    device->clearFaults();
    device->injectFault(FaultRule{FaultKind::Stall, 1, 0xBB, true, false});
    EXPECT_EQ(fx3->LoadImage(image(2, 100), ImageTarget::I2cEeprom), LoadResult::RequestFailed);
}

}  // namespace
}  // namespace tyvo::usbtest
