// Arbitrary part sequences through the input stream: messages split at any
// point, empty parts, parts larger than the buffer, messages over the size
// limit, messages cut short. Each message must read as itself or as empty,
// and never leave parts behind for the next.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/links/FuzzParts.h"
#include "links/LinkEndpointRpc.h"

namespace {

// A small limit, so that the over-size path is reached with small inputs.
constexpr size_t kLimit = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input is a list of parts: two header bytes, then the bytes. The
    // header's top bit is the "more" flag, the next one multiplies the
    // 14-bit length by 16 (parts larger than the part buffer).
    FuzzParts parts;
    size_t messages = 0;
    size_t pos = 0;
    bool openMessage = false;
    while (pos + 2 <= size) {
        const bool more = data[pos] & 0x80;
        const bool large = data[pos] & 0x40;
        size_t length = static_cast<size_t>(data[pos] & 0x3F) << 8 | data[pos + 1];
        if (large) length *= 16;
        pos += 2;
        // The part's bytes follow; lengths beyond the input repeat it, so
        // that small inputs make large parts.
        std::string bytes(length, '\0');
        const uint8_t* source = pos < size ? data + pos : data;
        const size_t available = pos < size ? size - pos : size;
        for (size_t i = 0; i < length; i += available) {
            std::memcpy(&bytes[i], source, std::min(available, length - i));
        }
        pos += std::min(length, size - pos);
        parts.add(std::move(bytes), more);
        if (!more) ++messages;
        openMessage = more;
    }

    LinkEndpointCopyInputStream input(parts, kLimit);
    size_t read = 0;
    Tyvo::Message::Message message;
    while (readFramedMessage(input, message, std::chrono::milliseconds(0))) {
        ++read;
        if (message.has_type()) {
            // Whatever parsed must serialise and parse back to itself.
            Tyvo::Message::Message copy;
            std::string once = message.SerializeAsString();
            if (!copy.ParseFromString(once) || copy.SerializeAsString() != once) __builtin_trap();
        }
        if (read > messages + 1) __builtin_trap();  // one message, one read
    }
    // Every complete message was read (a trailing open one reads as empty).
    if (read != messages + (openMessage ? 1 : 0)) __builtin_trap();
    if (!parts.empty()) __builtin_trap();
    return 0;
}
