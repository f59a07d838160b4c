// One message, one multi-part socket message: part sizes, the end part,
// size limits and malformed input, over real sockets and over a scripted
// part source.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "links/LinkEndpointRpc.h"
#include "links/LinkManager.h"
#include "tests/links/LinkTestSupport.h"

namespace {

using namespace linktest;
using Tyvo::Message::Message;

// A log event whose serialised size is exactly `size` bytes.
Message eventOfSize(size_t size, char fill = 'x') {
    Message m;
    m.set_type(Message::EVENT);
    m.mutable_event()->set_type(412);
    auto* log = m.mutable_event()->mutable_log();
    log->set_text(std::string(size, fill));
    // Shrink the text until the envelope fits; the length varints only
    // ever get shorter, so this settles.
    while (m.ByteSizeLong() > size) {
        log->mutable_text()->resize(log->text().size() - (m.ByteSizeLong() - size));
    }
    while (m.ByteSizeLong() < size) log->mutable_text()->push_back(fill);
    return m;
}

struct Channel {
    std::shared_ptr<LinkManager> manager = makeManager();
    std::unique_ptr<LinkEndpoint> pull;
    std::unique_ptr<LinkEndpoint> push;
    explicit Channel(int transport = LinkTransport::Tcp) {
        manager->declare("Frames", LinkPattern::PushPull, transport, 0, "");
        pull = manager->open("Frames", LinkKind::Pull);
        push = manager->open("Frames", LinkKind::Push);
    }
};

std::vector<size_t> sizes(const std::vector<std::string>& parts) {
    std::vector<size_t> out;
    for (auto& p : parts) out.push_back(p.size());
    return out;
}

TEST(LinkFraming, LargeMessageTravelsInWholeBufferParts) {
    Channel channel;
    LinkEndpointRpc writer(std::move(channel.push));
    Message sent = eventOfSize(300000);
    ASSERT_EQ(sent.ByteSizeLong(), 300000u);
    ASSERT_TRUE(writer.writeMessage(sent));
    auto parts = receiveParts(*channel.pull);
    EXPECT_EQ(sizes(parts), (std::vector<size_t>{131072, 131072, 37856}));
    std::string joined;
    for (auto& p : parts) joined += p;
    EXPECT_EQ(joined, sent.SerializeAsString());
}

TEST(LinkFraming, ExactlyOneBufferEndsWithAnEmptyPart) {
    Channel channel;
    LinkEndpointRpc writer(std::move(channel.push));
    Message sent = eventOfSize(131072);
    ASSERT_TRUE(writer.writeMessage(sent));
    EXPECT_EQ(sizes(receiveParts(*channel.pull)), (std::vector<size_t>{131072, 0}));

    Message small = eventOfSize(100);
    ASSERT_TRUE(writer.writeMessage(small));
    EXPECT_EQ(sizes(receiveParts(*channel.pull)), (std::vector<size_t>{100}));
}

TEST(LinkFraming, MessagesRoundTripAtEverySizeBoundary) {
    Channel channel;
    LinkEndpointRpc writer(std::move(channel.push));
    LinkEndpointRpc reader(std::move(channel.pull));
    for (size_t size : {size_t{32}, size_t{131071}, size_t{131072}, size_t{131073}, size_t{262144}, size_t{300000}}) {
        Message sent = eventOfSize(size, static_cast<char>('a' + size % 26));
        ASSERT_TRUE(writer.writeMessage(sent)) << size;
        Message got;
        ASSERT_TRUE(reader.readMessage(got, 2000ms)) << size;
        EXPECT_EQ(got.SerializeAsString(), sent.SerializeAsString()) << size;
    }
}

TEST(LinkFraming, IncompleteMessageIsNotSent) {
    Channel channel;
    LinkEndpointRpc writer(std::move(channel.push));
    Message incomplete;
    incomplete.mutable_event()->set_type(415);  // the envelope's type is missing
    EXPECT_FALSE(writer.writeMessage(incomplete));
    EXPECT_TRUE(receiveParts(*channel.pull, 100ms).empty());
}

TEST(LinkFraming, ReplierOnlyPollsForTheFirstPart) {
    auto manager = makeManager();
    manager->declare("RR", LinkPattern::RequestReply, LinkTransport::Tcp, 0, "");
    LinkEndpointRpc reply(manager->open("RR", LinkKind::Reply));
    Message m;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(reply.readMessage(m));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);  // a wait would last until the slot closes
}

// Sends raw parts, as a hostile or broken peer would.
void sendParts(LinkEndpoint& push, const std::vector<std::string>& parts) {
    for (size_t i = 0; i < parts.size(); ++i) {
        push.sendPart(parts[i].data(), parts[i].size(), i + 1 < parts.size());
    }
}

std::string goodBytes() { return eventOfSize(64).SerializeAsString(); }

TEST(LinkHostileInput, MalformedMessagesReadAsEmptyAndTheNextOneIsFine) {
    Channel channel;
    auto& push = *channel.push;
    LinkEndpointRpc reader(std::move(channel.pull));
    const std::string good = goodBytes();
    const std::vector<std::vector<std::string>> bad = {
        {good.substr(0, good.size() / 2)},                                  // truncated
        {std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01", 11)},  // endless varint
        {std::string("\x08\x05", 2)},                                       // a message type outside the three
        {""},                                                               // nothing at all
        {"random", "bytes", "in parts"},
        {std::string(200000, '\x0A')},  // one part larger than the part buffer
    };
    for (const auto& parts : bad) {
        sendParts(push, parts);
        sendParts(push, {good});
        Message m;
        ASSERT_TRUE(reader.readMessage(m, 2000ms));
        EXPECT_FALSE(m.has_type());
        ASSERT_TRUE(reader.readMessage(m, 2000ms));
        EXPECT_EQ(m.SerializeAsString(), good);
    }
}

TEST(LinkHostileInput, WronglyEncipheredMessageReadsAsEmpty) {
    auto server = makeManager(true);
    auto plain = makeManager(false);
    server->declare("In", LinkPattern::PushPull, LinkTransport::Tcp, 0, "");
    LinkEndpointRpc reader(server->open("In", LinkKind::Pull));
    plain->declare("In", LinkPattern::PushPull, LinkTransport::Tcp, server->declaration("In")->port, "");
    LinkEndpointRpc writer(plain->open("In", LinkKind::Push));
    ASSERT_TRUE(writer.writeMessage(eventOfSize(500)));
    Message m;
    ASSERT_TRUE(reader.readMessage(m, 2000ms));
    EXPECT_FALSE(m.has_type());
}

TEST(LinkHostileInput, OversizedMessageIsDrainedAndDropped) {
    // In-process: the size limit is ours, not the socket library's.
    Channel channel(LinkTransport::InProcess);
    auto& push = *channel.push;
    LinkEndpointRpc reader(std::move(channel.pull));
    std::string full(LinkEndpointCopyInputStream::kPartSize, '\x0A');
    const size_t partsOverLimit = LinkManager::kMaxMessageSize / full.size() + 1;
    for (size_t i = 0; i < partsOverLimit; ++i) push.sendPart(full.data(), full.size(), true);
    push.sendPart("", 0, false);
    sendParts(push, {goodBytes()});

    Message m;
    ASSERT_TRUE(reader.readMessage(m, 5000ms));
    EXPECT_FALSE(m.has_type());
    ASSERT_TRUE(reader.readMessage(m, 2000ms));
    EXPECT_EQ(m.SerializeAsString(), goodBytes());
}

TEST(LinkHostileInput, ManyEmptyPartsCountAgainstTheLimit) {
    Channel channel(LinkTransport::InProcess);
    auto& push = *channel.push;
    LinkEndpointRpc reader(std::move(channel.pull));
    for (int i = 0; i < 1000; ++i) push.sendPart("", 0, true);
    sendParts(push, {goodBytes()});  // ends the flood: this message is garbage
    sendParts(push, {goodBytes()});
    Message m;
    ASSERT_TRUE(reader.readMessage(m, 2000ms));
    EXPECT_FALSE(m.has_type());
    ASSERT_TRUE(reader.readMessage(m, 2000ms));
    EXPECT_EQ(m.SerializeAsString(), goodBytes());
}

// A scripted part source: the framing without sockets.
class ScriptedParts : public LinkPartSource {
public:
    std::deque<std::pair<std::string, bool>> parts;
    int calls = 0;
    int receivePart(void* buffer, size_t capacity, std::optional<std::chrono::milliseconds>, bool& more) override {
        ++calls;
        if (parts.empty()) return -1;
        auto [bytes, m] = parts.front();
        parts.pop_front();
        std::memcpy(buffer, bytes.data(), std::min(capacity, bytes.size()));
        more = m;
        return static_cast<int>(bytes.size());
    }
};

TEST(LinkInputStream, SkipBackUpAndByteCountFollowTheParts) {
    ScriptedParts source;
    source.parts = {{"abcd", true}, {"", true}, {"efgh", true}, {"ij", false}};
    LinkEndpointCopyInputStream in(source, 1 << 20);
    in.beginMessage(std::nullopt);
    const void* data;
    int size;
    ASSERT_TRUE(in.Next(&data, &size));
    EXPECT_EQ(std::string(static_cast<const char*>(data), size), "abcd");
    in.BackUp(2);
    EXPECT_EQ(in.ByteCount(), 2);
    ASSERT_TRUE(in.Next(&data, &size));
    EXPECT_EQ(std::string(static_cast<const char*>(data), size), "cd");
    EXPECT_TRUE(in.Skip(5));  // the empty part is passed over: "efgh" and "i"
    ASSERT_TRUE(in.Next(&data, &size));
    EXPECT_EQ(std::string(static_cast<const char*>(data), size), "j");
    EXPECT_EQ(in.ByteCount(), 10);
    EXPECT_FALSE(in.Next(&data, &size));  // the last part had no "more"
    EXPECT_FALSE(in.Skip(1));
    EXPECT_FALSE(in.failed());
}

TEST(LinkInputStream, MessageCutShortIsAFailureNotNothing) {
    ScriptedParts source;
    source.parts = {{"abcd", true}};  // "more", then the source runs dry
    LinkEndpointCopyInputStream in(source, 1 << 20);
    Message m;
    EXPECT_TRUE(readFramedMessage(in, m, std::nullopt));
    EXPECT_TRUE(in.failed());
    EXPECT_FALSE(in.nothingWaiting());

    EXPECT_FALSE(readFramedMessage(in, m, std::nullopt));
    EXPECT_TRUE(in.nothingWaiting());
}

TEST(LinkInputStream, ParserStoppingEarlyLeavesNoPartsBehind) {
    ScriptedParts source;
    // A wrong wire type at once, followed by more parts of the same message.
    source.parts = {{std::string("\x0F", 1), true}, {"tail", true}, {"end", false}};
    std::string good = goodBytes();
    source.parts.emplace_back(good, false);
    LinkEndpointCopyInputStream in(source, 1 << 20);
    Message m;
    ASSERT_TRUE(readFramedMessage(in, m, std::nullopt));
    EXPECT_FALSE(m.has_type());
    ASSERT_TRUE(readFramedMessage(in, m, std::nullopt));
    EXPECT_EQ(m.SerializeAsString(), good);
}

TEST(LinkConcurrency, WritersOnOnePublisherNeverInterleaveParts) {
    auto manager = makeManager();
    manager->declare("Events", LinkPattern::PushPull, LinkTransport::Tcp, 0, "");
    LinkEndpointRpc reader(manager->open("Events", LinkKind::Pull));
    LinkEndpointRpc writer(manager->open("Events", LinkKind::Push));
    constexpr int kThreads = 4, kEach = 10;
    std::vector<std::future<void>> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.push_back(std::async(std::launch::async, [&, t] {
            // Multi-part messages, so interleaving would show.
            Message m = eventOfSize(140000, static_cast<char>('a' + t));
            for (int i = 0; i < kEach; ++i) writer.writeMessage(m);
        }));
    }
    int whole = 0;
    for (int i = 0; i < kThreads * kEach; ++i) {
        Message m;
        ASSERT_TRUE(reader.readMessage(m, 5000ms));
        ASSERT_TRUE(m.has_event());
        const std::string& text = m.event().log().text();
        EXPECT_EQ(text.find_first_not_of(text[0]), std::string::npos);
        ++whole;
    }
    for (auto& w : writers) w.get();
    EXPECT_EQ(whole, kThreads * kEach);
}

}  // namespace
