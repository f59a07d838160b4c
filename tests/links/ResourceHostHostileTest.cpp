// Whatever arrives on the command link, the host stays up and keeps
// answering good clients.
#include <gtest/gtest.h>

#include <random>

#include "links/LinkManager.h"
#include "tests/links/HostTestSupport.h"
#include "tests/links/LinkTestSupport.h"

namespace {

using namespace hosttest;
using Tyvo::Message::Message;

class HostileInputTest : public HostTest {
protected:
    // A raw endpoint on the host's command link, from a peer of its own.
    std::unique_ptr<LinkEndpoint> rawPeer(int kind, bool cipher = true) {
        auto manager = linktest::makeManager(cipher);
        m_peers.push_back(manager);
        manager->declare("Raw", LinkPattern::RequestReply, LinkTransport::Tcp, m_host->commandPort(), "");
        return manager->open("Raw", kind);
    }

    void expectGoodClientServed(LinkClient& good) {
        auto values = good.getConfiguration({"camera_mode"});
        ASSERT_TRUE(values);
        EXPECT_EQ((*values)["camera_mode"], Value("HVGA"));
    }

    static void sendParts(LinkEndpoint& e, const std::vector<std::string>& parts) {
        for (size_t i = 0; i < parts.size(); ++i) e.sendPart(parts[i].data(), parts[i].size(), i + 1 < parts.size());
    }

    std::vector<std::shared_ptr<LinkManager>> m_peers;
};

TEST_F(HostileInputTest, MalformedRequestsGetTheDefaultAnswer) {
    startHost();
    auto good = client();
    Message request;
    request.set_type(Message::REQUEST);
    request.mutable_request()->set_type(203);
    request.mutable_request()->set_client_id(good->clientId());
    const std::string valid = request.SerializeAsString();
    const std::vector<std::vector<std::string>> inputs = {
        {valid.substr(0, valid.size() - 2)},       // truncated
        {""},                                      // empty
        {std::string("\x08\x64\x12\x05\x08", 5)},  // request cut inside
        {std::string(64, '\xFF')},                 // random bytes
        {"a", "b", "c"},                           // several parts of nonsense
        {std::string("\x08\x66", 2)},              // an event, not a request
        {std::string(300000, '\x0B')},             // larger than a part
    };
    auto raw = rawPeer(LinkKind::Request);
    for (const auto& parts : inputs) {
        sendParts(*raw, parts);
        auto answer = linktest::receiveParts(*raw, 5000ms);
        ASSERT_EQ(answer.size(), 1u);
        Message reply;
        ASSERT_TRUE(reply.ParseFromString(answer[0]));
        EXPECT_EQ(reply.type(), Message::RESPONSE);
        EXPECT_EQ(reply.response().type(), 0);
        EXPECT_EQ(reply.response().status(), -1);
        expectGoodClientServed(*good);
    }
}

TEST_F(HostileInputTest, OversizedRequestIsDroppedAndTheLinkStaysUsable) {
    startHost();
    auto good = client();
    auto raw = rawPeer(LinkKind::Request);
    std::string part(131072, '\x0B');
    const size_t parts = LinkManager::kMaxMessageSize / part.size() + 2;
    for (size_t i = 0; i < parts; ++i) raw->sendPart(part.data(), part.size(), true);
    raw->sendPart("", 0, false);
    auto answer = linktest::receiveParts(*raw, 20000ms);
    ASSERT_EQ(answer.size(), 1u);
    Message reply;
    ASSERT_TRUE(reply.ParseFromString(answer[0]));
    EXPECT_EQ(reply.response().type(), 0);
    expectGoodClientServed(*good);
}

TEST_F(HostileInputTest, WronglyEncipheredPeerIsAnsweredInGarbageOnly) {
    startHost();
    auto good = client();
    LinkClient::Options o;
    o.commandPort = m_host->commandPort();
    o.cipher = false;
    o.timeout = 2000ms;
    LinkClient plain(o);
    EXPECT_FALSE(plain.authenticate());  // neither side understands the other
    EXPECT_EQ(m_host->clientCount(), 1u);
    expectGoodClientServed(*good);
}

TEST_F(HostileInputTest, RandomTrafficFromManyPeersNeverStopsTheHost) {
    startHost();
    auto good = client();
    std::mt19937 random(20240611);
    std::vector<std::unique_ptr<LinkEndpoint>> peers;
    for (int i = 0; i < 6; ++i) {
        // Dealers skip the request envelope rules; some speak without the cipher.
        peers.push_back(rawPeer(i % 2 ? LinkKind::ExtendedRequest : LinkKind::Request, i % 3 != 0));
    }
    for (int round = 0; round < 60; ++round) {
        auto& peer = *peers[round % peers.size()];
        std::vector<std::string> parts(1 + random() % 3);
        for (auto& p : parts) {
            p.resize(random() % 2048);
            for (auto& c : p) c = static_cast<char>(random());
        }
        if (peer.kind() == LinkKind::ExtendedRequest && round % 4 == 1) {
            parts.insert(parts.begin(), std::string());  // a proper envelope, garbage inside
        }
        sendParts(peer, parts);
        if (peer.kind() == LinkKind::Request) linktest::receiveParts(peer, 2000ms);
        if (round % 10 == 0) expectGoodClientServed(*good);
    }
    expectGoodClientServed(*good);
    EXPECT_EQ(m_host->clientCount(), 1u);
}

TEST_F(HostileInputTest, ClientThatNeverReadsItsAnswerHarmsNoOne) {
    startHost();
    auto good = client();
    for (int i = 0; i < 20; ++i) {
        auto raw = rawPeer(LinkKind::Request);
        Message request;
        request.set_type(Message::REQUEST);
        request.mutable_request()->set_type(200);
        const std::string bytes = request.SerializeAsString();
        raw->sendPart(bytes.data(), bytes.size(), false);
        // Gone before the answer.
    }
    expectGoodClientServed(*good);
}

}  // namespace
