#include "sim/gadget/Ep0Exchange.h"

#include <endian.h>
#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace tyvo::sim;
using namespace tyvo::sim::gadget;

usb_ctrlrequest wire(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
    usb_ctrlrequest r{};
    r.bRequestType = type;
    r.bRequest = request;
    r.wValue = htole16(value);
    r.wIndex = htole16(index);
    r.wLength = htole16(length);
    return r;
}

SetupPacket setup(uint8_t type, uint16_t length) { return SetupFromEvent(wire(type, 0xA0, 0, 0, length)); }

TransferReply withStatus(TransferStatus status) {
    TransferReply reply;
    reply.status = status;
    return reply;
}

// --- From the FunctionFS event to the model's transfer ---------------------

TEST(Ep0Requests, TheSetupFieldsArriveAsTheHostSentThem) {
    // A boot loader RAM read at 0x40001234: the address is split across
    // wIndex (high half) and wValue (low half).
    const SetupPacket s = SetupFromEvent(wire(0xC0, 0xA0, 0x1234, 0x4000, 2048));
    EXPECT_EQ(s.bmRequestType, 0xC0);
    EXPECT_EQ(s.bRequest, 0xA0);
    EXPECT_EQ(s.wValue, 0x1234);
    EXPECT_EQ(s.wIndex, 0x4000);
    EXPECT_EQ(s.wLength, 2048);
}

TEST(Ep0Requests, AReadGivesTheModelRoomForTheHostsLengthAndNoData) {
    const TransferRequest r = RequestFromSetup(SetupFromEvent(wire(0xC0, 0xC3, 0, 7, 2048)), {});
    EXPECT_EQ(r.type, TransferType::Control);
    EXPECT_EQ(r.endpoint, 0x80);
    EXPECT_TRUE(r.deviceToHost());
    EXPECT_EQ(r.inLength, 2048u);
    EXPECT_TRUE(r.out.empty());
}

TEST(Ep0Requests, AWriteCarriesTheDataStageToTheModel) {
    const std::vector<uint8_t> data{1, 2, 3, 4};
    const TransferRequest r = RequestFromSetup(SetupFromEvent(wire(0x40, 0xC2, 0, 3, 4)), data);
    EXPECT_EQ(r.endpoint, 0x00);
    EXPECT_FALSE(r.deviceToHost());
    EXPECT_EQ(r.out, data);
    EXPECT_EQ(r.inLength, 0u);
}

// --- From the model's reply to what is done on ep0 -------------------------

TEST(Ep0Answers, CompletedRequestsAreAnsweredInTheirDirection) {
    EXPECT_EQ(AnswerFor(setup(0xC0, 64), TransferReply::data({1, 2})), Ep0Answer::SendData);
    // The jump: a write without data whose status stage the program ends.
    EXPECT_EQ(AnswerFor(setup(0x40, 0), TransferReply::accepted(0)), Ep0Answer::AcknowledgeStatus);
    EXPECT_EQ(AnswerFor(setup(0x40, 16), TransferReply::accepted(16)), Ep0Answer::AlreadyAcknowledged);
}

TEST(Ep0Answers, StallsAndFailuresHaltEp0WhereTheHostCanStillSeeThem) {
    EXPECT_EQ(AnswerFor(setup(0xC0, 64), TransferReply::stall()), Ep0Answer::Halt);
    EXPECT_EQ(AnswerFor(setup(0x40, 0), TransferReply::stall()), Ep0Answer::Halt);
    EXPECT_EQ(AnswerFor(setup(0xC0, 64), withStatus(TransferStatus::Failed)), Ep0Answer::Halt);
}

TEST(Ep0Answers, AWriteWhoseDataWasReadCannotBeFailedAnyMore) {
    // The kernel ended the status stage when the data was read.
    for (TransferStatus status : {TransferStatus::Stalled, TransferStatus::Failed, TransferStatus::NoResponse})
        EXPECT_EQ(AnswerFor(setup(0x40, 2048), withStatus(status)), Ep0Answer::AlreadyAcknowledged);
}

TEST(Ep0Answers, ADeviceThatNeverAnswersLeavesEp0Alone) {
    EXPECT_EQ(AnswerFor(setup(0xC0, 1), withStatus(TransferStatus::NoResponse)), Ep0Answer::Silence);
    EXPECT_EQ(AnswerFor(setup(0x40, 0), withStatus(TransferStatus::NoResponse)), Ep0Answer::Silence);
}

TEST(Ep0Answers, ADisconnectLeavesTheBusInEitherDirection) {
    EXPECT_EQ(AnswerFor(setup(0xC0, 64), withStatus(TransferStatus::Disconnected)), Ep0Answer::LeaveBus);
    EXPECT_EQ(AnswerFor(setup(0x40, 0), withStatus(TransferStatus::Disconnected)), Ep0Answer::LeaveBus);
    EXPECT_EQ(AnswerFor(setup(0x40, 2048), withStatus(TransferStatus::Disconnected)), Ep0Answer::LeaveBus);
}

// --- Errors from ep0 -------------------------------------------------------

TEST(Ep0Errors, EventReadsOutliveACancelledSetup) {
    EXPECT_EQ(ClassifyEventReadError(EIDRM), Ep0Error::Retry);
    EXPECT_EQ(ClassifyEventReadError(EINTR), Ep0Error::Retry);
    EXPECT_EQ(ClassifyEventReadError(EBADF), Ep0Error::Fatal);
    EXPECT_EQ(ClassifyEventReadError(EIO), Ep0Error::Fatal);
}

TEST(Ep0Errors, ADataStageTheHostGaveUpOnIsNotRetried) {
    // Retrying would read the next events in place of the data.
    EXPECT_EQ(ClassifyDataStageError(EIDRM), Ep0Error::RequestCancelled);
    EXPECT_EQ(ClassifyDataStageError(ESHUTDOWN), Ep0Error::RequestCancelled);
    EXPECT_EQ(ClassifyDataStageError(EINTR), Ep0Error::Retry);
    EXPECT_EQ(ClassifyDataStageError(EIO), Ep0Error::Fatal);
}

TEST(Ep0Errors, RetryRunsTheCallAgainUntilItSucceedsOrMustStop) {
    std::vector<int> errors{EIDRM, EINTR, 0};
    std::size_t calls = 0;
    const auto result = RetryOnEp0(
        [&]() -> long {
            const int e = errors[calls++];
            if (e == 0) return 12;
            errno = e;
            return -1;
        },
        ClassifyEventReadError);
    EXPECT_EQ(result, 12);
    EXPECT_EQ(calls, 3u);

    calls = 0;
    const auto cancelled = RetryOnEp0(
        [&]() -> long {
            ++calls;
            errno = EIDRM;
            return -1;
        },
        ClassifyDataStageError);
    EXPECT_EQ(cancelled, -1);
    EXPECT_EQ(errno, EIDRM) << "the caller sees why it stopped";
    EXPECT_EQ(calls, 1u);
}

}  // namespace
