#include "sim/gadget/Ep0Exchange.h"

#include <endian.h>

#include <utility>

namespace tyvo::sim::gadget {

SetupPacket SetupFromEvent(const usb_ctrlrequest& wire) {
    SetupPacket setup;
    setup.bmRequestType = wire.bRequestType;
    setup.bRequest = wire.bRequest;
    setup.wValue = le16toh(wire.wValue);
    setup.wIndex = le16toh(wire.wIndex);
    setup.wLength = le16toh(wire.wLength);
    return setup;
}

TransferRequest RequestFromSetup(const SetupPacket& setup, Bytes out) {
    TransferRequest request;
    request.type = TransferType::Control;
    request.setup = setup;
    if (setup.deviceToHost()) {
        request.endpoint = 0x80;
        request.inLength = setup.wLength;
    } else {
        request.endpoint = 0x00;
        request.out = std::move(out);
    }
    return request;
}

Ep0Answer AnswerFor(const SetupPacket& setup, const TransferReply& reply) {
    if (reply.status == TransferStatus::Disconnected) return Ep0Answer::LeaveBus;
    const bool dataTaken = !setup.deviceToHost() && setup.wLength > 0;
    if (dataTaken) return Ep0Answer::AlreadyAcknowledged;
    switch (reply.status) {
        case TransferStatus::Completed:
            return setup.deviceToHost() ? Ep0Answer::SendData : Ep0Answer::AcknowledgeStatus;
        case TransferStatus::NoResponse: return Ep0Answer::Silence;
        case TransferStatus::Stalled:
        case TransferStatus::Failed:
            // A gadget cannot put a CRC error on the wire: the nearest it has is
            // the STALL handshake.
            return Ep0Answer::Halt;
        case TransferStatus::Disconnected: break;
    }
    return Ep0Answer::LeaveBus;
}

Ep0Error ClassifyEventReadError(int error) {
    return error == EINTR || error == EIDRM ? Ep0Error::Retry : Ep0Error::Fatal;
}

Ep0Error ClassifyDataStageError(int error) {
    if (error == EINTR) return Ep0Error::Retry;
    if (error == EIDRM || error == ECONNRESET || error == ESHUTDOWN) return Ep0Error::RequestCancelled;
    return Ep0Error::Fatal;
}

}  // namespace tyvo::sim::gadget
