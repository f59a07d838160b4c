#pragma once
// How one control request on a FunctionFS ep0 becomes a transfer for a
// device model, and how the model's answer goes back. The kernel's gadget
// side answers the standard requests itself; what reaches the program is a
// SETUP event, then at most one data-stage read or write on ep0:
//   - an IN request is answered by writing its data, or halted by reading;
//   - an OUT request with data must have its data read at once (anything
//     slow in between and the kernel cancels it), and reading it also ends
//     the status stage: the host sees the transfer succeed before the model
//     has even looked at the data;
//   - an OUT request without data is acknowledged by a zero-length read, or
//     halted by a zero-length write;
//   - not touching ep0 at all leaves the host waiting until it gives up.
// These functions hold that knowledge apart from the file descriptors, so
// that it can be tested without a kernel.

#include "sim/UsbTransfer.h"

#include <linux/usb/ch9.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace tyvo::sim::gadget {

using Bytes = std::vector<uint8_t>;

// The setup packet as it arrives in the FunctionFS event (little-endian
// fields on the wire).
SetupPacket SetupFromEvent(const usb_ctrlrequest& wire);

// The transfer a model is asked to answer: out is the data stage already
// read for a host-to-device request (empty otherwise).
TransferRequest RequestFromSetup(const SetupPacket& setup, Bytes out);

enum class Ep0Answer {
    SendData,             // write the reply's data (device-to-host)
    AcknowledgeStatus,    // zero-length read: ends a request without data
    AlreadyAcknowledged,  // the data-stage read ended the request already
    Halt,                 // STALL: the read or write against the request's direction
    Silence,              // leave ep0 alone; the host times out and cancels
    LeaveBus,             // the device drops off the bus before answering
};

// What to do on ep0 with the model's reply. A host-to-device request whose
// data was read has been acknowledged by the kernel already, so a stall,
// failure or silence the model wants there cannot reach the host any more:
// it is AlreadyAcknowledged (a disconnect still takes the device off the
// bus, and the host meets it on its next request).
Ep0Answer AnswerFor(const SetupPacket& setup, const TransferReply& reply);

// What to make of an error from ep0. Reading events: EINTR and EIDRM are
// retried (EIDRM means a pending setup was cancelled by a newer event; the
// next read returns that event). In a data stage: EINTR is retried, EIDRM
// means the host gave up on this request, and retrying would read events
// instead of data.
enum class Ep0Error { Retry, RequestCancelled, Fatal };
Ep0Error ClassifyEventReadError(int error);
Ep0Error ClassifyDataStageError(int error);

// Runs op() (a read or write returning ssize_t, errno set on failure)
// again while classify says to retry; returns the last result, with errno
// as that call left it.
template <typename Op, typename Classify>
auto RetryOnEp0(Op op, Classify classify) -> decltype(op()) {
    for (;;) {
        const auto result = op();
        if (result >= 0 || classify(errno) != Ep0Error::Retry) return result;
    }
}

}  // namespace tyvo::sim::gadget
