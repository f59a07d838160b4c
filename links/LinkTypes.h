#pragma once

#include <cstdint>
#include <string>

// The messaging pattern of a link: decides which endpoint kinds bind and
// which connect.
namespace LinkPattern {
constexpr int Pair = 0;
constexpr int PublishSubscribe = 1;
constexpr int PushPull = 2;
constexpr int RequestReply = 3;
}  // namespace LinkPattern

namespace LinkTransport {
constexpr int InProcess = 0;
constexpr int Tcp = 1;
}  // namespace LinkTransport

// What a caller opens on a link. Each kind creates one socket type; the
// numbering of the kinds is not that of the socket types.
namespace LinkKind {
constexpr int Publisher = 0;
constexpr int Subscriber = 1;
constexpr int Pair = 2;
constexpr int Push = 3;
constexpr int Pull = 4;
constexpr int Request = 5;
constexpr int Reply = 6;
constexpr int ExtendedRequest = 7;
constexpr int ExtendedReply = 8;
constexpr int Count = 9;
}  // namespace LinkKind

// A named link as declared.
struct LinkDeclaration {
    std::string bindAddress;
    std::string connectAddress;
    int32_t pattern = 0;
    int32_t transport = 0;
    int32_t port = 0;
    int32_t openCount = 0;
};
