// Local server search: the searcher asks every held request port with the
// magic value and takes a 128-byte specifier from the matching reply port.
// Fake servers in the test hold their ports and answer as they are told.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "lib/common/aMulticast.h"
#include "lib/common/discover.h"
#include "tests/unit/common/multicast_private_net.h"

namespace {

linkSpec serverSpec(uint32_t serial, const char* address = "127.0.0.1", uint16_t port = 40123)
{
    linkSpec spec{};
    spec.type = AETHER_USB;
    spec.serialNumber = serial;
    spec.module = 2;
    spec.model = 0x13;
    inet_pton(AF_INET, address, &spec.ipAddress);
    spec.ipPort = port;
    return spec;
}

std::vector<uint8_t> bytesOf(const linkSpec& spec)
{
    auto* p = reinterpret_cast<const uint8_t*>(&spec);
    return {p, p + sizeof spec};
}

// Holds request port 9850 + offset from construction on and answers each
// 4-byte request with `answer` on 9950 + offset. Records what it was sent.
class FakeServer {
public:
    FakeServer(unsigned offset, std::vector<uint8_t> answer) : answer_(std::move(answer))
    {
        held_ = aMulticast_Create(0, aMULTICAST_GROUP, uint16_t(aMULTICAST_REQUEST_PORT_BASE + offset), false);
        reply_ = aMulticast_Create(0, aMULTICAST_GROUP, uint16_t(aMULTICAST_REPLY_PORT_BASE + offset), true);
        if (held_ && reply_) worker_ = std::thread([this] { serve(); });
    }
    ~FakeServer()
    {
        stop_ = true;
        if (worker_.joinable()) worker_.join();  // bounded by the 1 s receive
        aMulticast_Destroy(&held_);
        aMulticast_Destroy(&reply_);
    }
    bool ok() const { return held_ && reply_; }
    int requests() const { return requests_; }
    std::vector<uint8_t> lastRequest() const { return lastRequest_; }

private:
    void serve()
    {
        while (!stop_) {
            uint8_t buffer[16];
            int got = aMulticast_Receive(held_, buffer, sizeof buffer);
            if (got <= 0) continue;
            lastRequest_.assign(buffer, buffer + got);
            ++requests_;
            if (got == 4) aMulticast_Send(reply_, answer_.data(), answer_.size());
        }
    }

    std::vector<uint8_t> answer_;
    aMulticast* held_ = nullptr;
    aMulticast* reply_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::vector<uint8_t> lastRequest_;
    std::thread worker_;
};

struct Found {
    std::vector<linkSpec> specs;
    size_t stopAfter = 0;  // 0: never stop
    bool markSuccess = true;
};

bool collect(const linkSpec* spec, bool* success, void* ref)
{
    auto* found = static_cast<Found*>(ref);
    found->specs.push_back(*spec);
    *success = found->markSuccess;
    return found->stopAfter == 0 || found->specs.size() < found->stopAfter;
}

class MulticastSearch : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(net_.ok()) << net_.error(); }
    void inNamespace(const std::function<void()>& fn) { ASSERT_TRUE(net_.run(fn)); }
    private_net::Namespace net_;
};

TEST_F(MulticastSearch, FindsTheServerOnItsOffsetAndReportsItOnce)
{
    inNamespace([] {
        const linkSpec spec = serverSpec(0x40F5849A);
        // The same server answering on two offsets is one server.
        FakeServer seventh(7, bytesOf(spec));
        FakeServer ninth(9, bytesOf(spec));
        ASSERT_TRUE(seventh.ok() && ninth.ok());

        Found found;
        EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, collect, &found, aDISCOVERY_LOCALHOST), 1);
        ASSERT_EQ(found.specs.size(), 1u);
        EXPECT_EQ(bytesOf(found.specs[0]), bytesOf(spec));
        // The request is the magic value, least significant byte first.
        EXPECT_EQ(seventh.requests(), 1);
        EXPECT_EQ(ninth.requests(), 1);
        EXPECT_EQ(seventh.lastRequest(), (std::vector<uint8_t>{0xBA, 0xDC, 0xCD, 0xAB}));

        // Each search starts afresh: the server is reported again.
        Found again;
        EXPECT_EQ(aDiscovery_EnumerateModules(AETHER_USB, collect, &again, 0), 1);
        EXPECT_EQ(again.specs.size(), 1u);
    });
}

TEST_F(MulticastSearch, OnlyWholeLoopbackSpecifiersCount)
{
    inNamespace([] {
        const linkSpec good = serverSpec(0x11111111);
        auto shortReply = bytesOf(serverSpec(0x22222222));
        shortReply.pop_back();
        auto longReply = bytesOf(serverSpec(0x33333333));
        longReply.push_back(0);
        std::vector<std::unique_ptr<FakeServer>> servers;
        servers.push_back(std::make_unique<FakeServer>(0, bytesOf(serverSpec(0x44444444, "10.1.2.3"))));
        servers.push_back(std::make_unique<FakeServer>(1, shortReply));
        servers.push_back(std::make_unique<FakeServer>(2, longReply));
        servers.push_back(std::make_unique<FakeServer>(3, bytesOf(good)));
        for (auto& s : servers)
            ASSERT_TRUE(s->ok());

        Found found;
        EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, collect, &found, aDISCOVERY_LOCALHOST), 1);
        ASSERT_EQ(found.specs.size(), 1u);
        EXPECT_EQ(found.specs[0].serialNumber, good.serialNumber);
    });
}

TEST_F(MulticastSearch, CallbackDecidesWhatCountsAndWhenToStop)
{
    inNamespace([] {
        FakeServer first(2, bytesOf(serverSpec(0xAAAA0001)));
        FakeServer second(5, bytesOf(serverSpec(0xAAAA0002)));
        ASSERT_TRUE(first.ok() && second.ok());

        struct Case {
            size_t stopAfter;
            bool markSuccess;
            uint8_t count;
            size_t calls;
        } cases[] = {{0, true, 2, 2}, {1, true, 1, 1}, {1, false, 0, 1}, {0, false, 0, 2}};
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << "stopAfter " << c.stopAfter << " success " << c.markSuccess);
            Found found;
            found.stopAfter = c.stopAfter;
            found.markSuccess = c.markSuccess;
            EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, collect, &found, aDISCOVERY_LOCALHOST), c.count);
            EXPECT_EQ(found.specs.size(), c.calls);
        }
        // The search stopped after the first server never asks the second.
        EXPECT_EQ(first.requests(), 4);
        EXPECT_EQ(second.requests(), 2);
    });
}

TEST_F(MulticastSearch, HostWithoutNetworkInterfacesSearchesLocallyAndFindsBySerial)
{
    inNamespace([] {
        FakeServer server(4, bytesOf(serverSpec(0x0BADCAFE)));
        ASSERT_TRUE(server.ok());
        // Only loopback exists here, so even a named interface falls back to
        // the local search.
        in_addr elsewhere{};
        inet_pton(AF_INET, "10.9.8.7", &elsewhere);
        linkSpec* spec = aDiscovery_FindModule(AETHER, 0x0BADCAFE, elsewhere.s_addr);
        ASSERT_NE(spec, nullptr);
        EXPECT_EQ(spec->type, AETHER_USB);
        EXPECT_EQ(spec->ipPort, 40123u);
        aLinkSpec_Destroy(&spec);
        EXPECT_EQ(aDiscovery_FindModule(AETHER, 0x12345678, aDISCOVERY_LOCALHOST), nullptr);
    });
}

TEST_F(MulticastSearch, NothingHeldMeansNothingFoundAtOnce)
{
    inNamespace([] {
        Found found;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, collect, &found, aDISCOVERY_LOCALHOST), 0);
        EXPECT_TRUE(found.specs.empty());
        // No port is held, so no reply is awaited.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    });
}

} // namespace
