// The endpoint classes against a scripted driver handle: the request block
// they build, how a transfer is awaited, aborted and completed.

#include "usb/CCyBulkEndPoint.h"
#include "usb/CCyControlEndPoint.h"
#include "usb/CCyIsocEndPoint.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

namespace {

// Records every request; completes transfers as told.
class ScriptedHandle : public DriverHandle {
public:
    struct Call {
        uint32_t code;
        std::vector<uint8_t> in;
        uint32_t outSize;
    };
    uint32_t startResult = kIoPending;
    std::deque<uint32_t> waitResults;  // per wait(); 0 when empty
    std::vector<uint32_t> waitTimeouts;
    uint32_t resultError = 0;
    std::vector<uint8_t> deviceData;  // copied into the block's data area for IN transfers
    uint32_t usbdStatus = 0;
    std::vector<Call> calls;

    uint32_t ioControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                       uint32_t& bytesReturned, DriverOverlapped*) override {
        const auto* p = static_cast<const uint8_t*>(in);
        calls.push_back(Call{code, std::vector<uint8_t>(p, p + inSize), outSize});
        bytesReturned = 0;
        if (code == DriverIoControl::kAbortPipe) return 0;
        lastBlock = static_cast<uint8_t*>(out);
        lastBlockSize = outSize;
        return startResult;
    }
    uint32_t wait(DriverOverlapped&, uint32_t timeoutMs) override {
        waitTimeouts.push_back(timeoutMs);
        if (waitResults.empty()) return 0;
        const uint32_t r = waitResults.front();
        waitResults.pop_front();
        return r;
    }
    uint32_t overlappedResult(DriverOverlapped&, uint32_t& bytes) override {
        const uint32_t offset = DriverTransferBlock::read32(lastBlock + DriverTransferBlock::kBufferOffset);
        if (!deviceData.empty() && offset + deviceData.size() <= lastBlockSize)
            std::memcpy(lastBlock + offset, deviceData.data(), deviceData.size());
        DriverTransferBlock::write32(lastBlock + DriverTransferBlock::kUsbdStatus, usbdStatus);
        bytes = resultError ? 0 : offset + static_cast<uint32_t>(deviceData.size());
        return resultError;
    }
    uint32_t close() override { return 0; }

    int aborts() const {
        int n = 0;
        for (const auto& c : calls) n += c.code == DriverIoControl::kAbortPipe;
        return n;
    }

private:
    uint8_t* lastBlock = nullptr;
    uint32_t lastBlockSize = 0;
};

const uint8_t kEp0[7] = {7, 5, 0, 0, 64, 0, 0};

TEST(ControlEndpointBlock, CarriesTheSetupFieldsDataAndTimeoutInWholeSeconds) {
    ScriptedHandle handle;
    CCyControlEndPoint ep(&handle, kEp0);
    ep.SetReqType(CCyRequestType::Vendor);
    ep.SetReqCode(0xA0);
    ep.SetValue(0x3000);
    ep.SetIndex(0x4000);
    uint8_t data[5] = {1, 2, 3, 4, 5};
    DriverOverlapped ov;
    auto block = ep.StartTransfer(data, 5, &ov);
    ASSERT_TRUE(block);
    ASSERT_EQ(handle.calls.size(), 1u);
    EXPECT_EQ(handle.calls[0].code, DriverIoControl::kEndpointZeroTransfer);
    const auto& b = handle.calls[0].in;
    ASSERT_EQ(b.size(), 38u + 5);
    EXPECT_EQ(b[0], 0x40);
    EXPECT_EQ(b[1], 0xA0);
    EXPECT_EQ(DriverTransferBlock::read16(&b[2]), 0x3000);
    EXPECT_EQ(DriverTransferBlock::read16(&b[4]), 0x4000);
    EXPECT_EQ(DriverTransferBlock::read16(&b[6]), 5);
    EXPECT_EQ(DriverTransferBlock::read32(&b[8]), 10u);  // default 10 000 ms
    EXPECT_EQ(b[13], 0);
    EXPECT_EQ(DriverTransferBlock::read32(&b[26]), 0u);
    EXPECT_EQ(DriverTransferBlock::read32(&b[30]), 38u);
    EXPECT_EQ(DriverTransferBlock::read32(&b[34]), 5u);
    EXPECT_EQ(0, std::memcmp(&b[38], data, 5));
    EXPECT_EQ(ep.LastError(), kIoPending);

    ep.SetDirection(CCyDirection::DeviceToHost);
    EXPECT_EQ(ep.RequestTypeByte(), 0xC0);
    ep.SetTarget(CCyTarget::Interface);
    ep.SetReqType(CCyRequestType::Class);
    EXPECT_EQ(ep.RequestTypeByte(), 0xA1);

    for (auto [ms, seconds] : {std::pair{500u, 1u}, {10000u, 10u}, {0u, 0u}, {999u, 1u}, {1999u, 1u}}) {
        ep.SetTimeOut(ms);
        EXPECT_EQ(ep.BlockTimeoutSeconds(), seconds) << ms;
    }
}

TEST(ControlEndpointTransfer, InDataIsCopiedUpToWhatArrivedAndNeverPastTheCallersBuffer) {
    ScriptedHandle handle;
    CCyControlEndPoint ep(&handle, kEp0);
    ep.SetDirection(CCyDirection::DeviceToHost);
    handle.deviceData = {0xAA, 0xBB};
    uint8_t buffer[3] = {0, 0, 0};
    int32_t length = 3;
    EXPECT_TRUE(ep.Transfer(buffer, length));
    EXPECT_EQ(length, 2);
    EXPECT_EQ(ep.BytesTransferred(), 2u);
    EXPECT_EQ(buffer[0], 0xAA);
    EXPECT_EQ(buffer[1], 0xBB);
    EXPECT_EQ(buffer[2], 0);

    // Non-zero USBD status fails the transfer even though bytes moved.
    handle.usbdStatus = DriverStatus::kUsbdStallPid;
    length = 3;
    EXPECT_FALSE(ep.Transfer(buffer, length));
    EXPECT_EQ(ep.UsbdStatus(), DriverStatus::kUsbdStallPid);
}

TEST(EndpointAwait, ATimeOutAbortsThePipeAndFails) {
    ScriptedHandle handle;
    CCyControlEndPoint ep(&handle, kEp0);
    ep.SetTimeOut(200);
    handle.waitResults = {ETIMEDOUT, 0};  // aborted transfer finishes within the grace period
    handle.resultError = ECANCELED;
    uint8_t buffer[4] = {};
    int32_t length = 4;
    EXPECT_FALSE(ep.Transfer(buffer, length));
    EXPECT_EQ(handle.aborts(), 1);
    ASSERT_GE(handle.waitTimeouts.size(), 2u);
    EXPECT_EQ(handle.waitTimeouts[0], 200u);
    EXPECT_EQ(handle.waitTimeouts[1], 50u);
    EXPECT_EQ(length, 0);

    // Still not done after the grace period: a second abort and a bounded last wait.
    handle.calls.clear();
    handle.waitTimeouts.clear();
    handle.waitResults = {ETIMEDOUT, ETIMEDOUT, ETIMEDOUT};
    length = 4;
    EXPECT_FALSE(ep.Transfer(buffer, length));
    EXPECT_EQ(handle.aborts(), 2);
    ASSERT_EQ(handle.waitTimeouts.size(), 3u);
    EXPECT_NE(handle.waitTimeouts[2], kWaitForever);
}

TEST(EndpointAwait, StartErrorsAndMissingHandleOrBlockFailWithoutWaiting) {
    ScriptedHandle handle;
    handle.startResult = ENODEV;
    CCyControlEndPoint ep(&handle, kEp0);
    uint8_t buffer[4] = {};
    int32_t length = 4;
    EXPECT_FALSE(ep.Transfer(buffer, length));
    EXPECT_TRUE(handle.waitTimeouts.empty());
    EXPECT_EQ(ep.LastError(), static_cast<uint32_t>(ENODEV));

    handle.startResult = 0;  // completed at once: no wait either
    length = 4;
    EXPECT_TRUE(ep.Transfer(buffer, length));
    EXPECT_TRUE(handle.waitTimeouts.empty());

    CCyControlEndPoint detached(nullptr, kEp0);
    DriverOverlapped ov;
    EXPECT_EQ(detached.StartTransfer(buffer, 4, &ov), nullptr);
    EXPECT_FALSE(detached.Transfer(buffer, length));
    EXPECT_FALSE(ep.CompleteTransfer(buffer, length, &ov, nullptr));
}

TEST(BulkAndIsochronousStarts, UseTheDirectOrBufferedFormWithTheirBlockLayouts) {
    ScriptedHandle handle;
    const uint8_t bulkDescriptor[7] = {7, 5, 0x81, 2, 0x00, 0x02, 0};
    CCyBulkEndPoint bulk(&handle, bulkDescriptor);
    uint8_t buffer[1000] = {};
    DriverOverlapped ov;
    auto block = bulk.StartTransfer(buffer, 1000, &ov);  // direct by default
    ASSERT_TRUE(block);
    EXPECT_EQ(handle.calls.back().code, DriverIoControl::kDirectTransfer);
    EXPECT_EQ(handle.calls.back().in.size(), 38u);
    EXPECT_EQ(handle.calls.back().in[13], 0x81);
    EXPECT_EQ(handle.calls.back().outSize, 1000u);

    bulk.SetTransferMode(CCyTransferMode::Buffered);
    block = bulk.StartTransfer(buffer, 1000, &ov);
    EXPECT_EQ(handle.calls.back().code, DriverIoControl::kBufferedTransfer);
    EXPECT_EQ(handle.calls.back().in.size(), 38u + 1000);
    EXPECT_EQ(DriverTransferBlock::read32(&handle.calls.back().in[30]), 38u);
    EXPECT_EQ(DriverTransferBlock::read32(&handle.calls.back().in[34]), 1000u);

    const uint8_t isoDescriptor[7] = {7, 5, 0x82, 0x05, 0x00, 0x01, 1};  // 256-byte packets
    CCyIsocEndPoint iso(&handle, isoDescriptor);
    iso.SetTransferMode(CCyTransferMode::Buffered);
    block = iso.StartTransfer(buffer, 1000, &ov);  // 4 packets
    ASSERT_TRUE(block);
    const auto& b = handle.calls.back().in;
    EXPECT_EQ(b.size(), 38u + 32 + 1000);
    EXPECT_EQ(DriverTransferBlock::read32(&b[22]), 38u);
    EXPECT_EQ(DriverTransferBlock::read32(&b[26]), 32u);
    EXPECT_EQ(DriverTransferBlock::read32(&b[30]), 70u);
    EXPECT_EQ(DriverTransferBlock::read32(&b[34]), 1000u);

    iso.SetTransferMode(CCyTransferMode::Direct);
    block = iso.StartTransfer(buffer, 1000, &ov);
    EXPECT_EQ(handle.calls.back().code, DriverIoControl::kDirectTransfer);
    EXPECT_EQ(handle.calls.back().in.size(), 38u + 32);

    const std::size_t before = handle.calls.size();
    EXPECT_EQ(iso.StartTransfer(buffer, 0, &ov), nullptr);  // no packets, no call
    const uint8_t zeroPacket[7] = {7, 5, 0x82, 0x05, 0, 0, 1};
    CCyIsocEndPoint empty(&handle, zeroPacket);
    EXPECT_EQ(empty.StartTransfer(buffer, 100, &ov), nullptr);
    EXPECT_EQ(handle.calls.size(), before);
}

}  // namespace
