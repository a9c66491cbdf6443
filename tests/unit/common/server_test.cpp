// The network server in front of a scripted module on loopback TCP: replies
// reach the client that asked, server commands never pass for replies,
// route forcing stays with the server, multi-packet writes reach the module
// in one piece, stream batches, local discovery answers and teardown.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine_peer.h"
#include "lib/common/aDefs.h"
#include "lib/common/aLink.h"
#include "lib/common/aLinkManagerInternal.h"
#include "lib/common/aMulticast.h"
#include "lib/common/aServer.h"
#include "lib/common/linkSpec.h"
#include "server_test_support.h"

namespace {

using peer::Bytes;
using server_test::waitFor;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kModel = 0x13;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// Commands of the scripted module (first data byte).
constexpr uint8_t kEcho = 0x17;      // answered with the same packet
constexpr uint8_t kShort = 0x30;     // answered with one data byte: [0x02, 0x01, tag]
constexpr uint8_t kSilent = 0x31;    // never answered
constexpr uint8_t kSet = 0x03;       // system entity; a byte-string set is answered once, at its end

std::vector<Bytes> respond(const Bytes& p)
{
    if (p.size() < 3 || p[0] != 0x02)
        return {};
    const uint8_t cmd = p[2];
    if (p == Bytes{0x02, 0x03, 0x03, 0x48, 0x20})
        return {{0x02, 0x04, 0x03, 0x08, 0x20, kModel}};
    if (cmd == kEcho)
        return {p};
    if (cmd == kShort && p.size() >= 4)
        return {{0x02, 0x01, p[3]}};
    if (cmd == kSet && p.size() >= 5 && (p[1] != 28 || (p.back() & 0x80) == 0))
        return {{0x02, 0x03, kSet, p[3], p[4]}};
    if (cmd == 0x5D)
        return {{0x02, 0x03, 0x5D, 0x81, 0x00}};
    return {};
}

aPacket* makePacket(const Bytes& wire)
{
    return aPacket_CreateWithData(wire[0], wire[1], wire.data() + 2);
}

void put(aLinkRef link, const Bytes& wire)
{
    aPacket* p = makePacket(wire);
    ASSERT_EQ(aLink_PutPacket(link, p), aErrNone);
    aPacket_Destroy(&p);
}

uint8_t anyPacket(const aPacket*, void*) { return 1; }

// Releases a further client link also when an assertion ends the test early.
struct ClientHolder {
    aLinkRef h = 0;
    ~ClientHolder()
    {
        if (h)
            aLink_Destroy(&h);
    }
};

// The next packet the link receives, as wire bytes; empty after the wait.
Bytes next(aLinkRef link, uint32_t ms = 3000)
{
    aPacket* p = aLink_AwaitFirst(link, anyPacket, nullptr, ms);
    if (!p)
        return {};
    Bytes wire{p->address, p->dataSize};
    wire.insert(wire.end(), p->data, p->data + p->dataSize);
    aPacket_Destroy(&p);
    return wire;
}

// A byte-string chunk of option 31 with 24 value bytes and its sequence byte.
Bytes chunk(uint8_t sequence, bool more)
{
    Bytes b{0x02, 28, kSet, 0x9F, 0x00};
    for (int i = 0; i < 24; ++i)
        b.push_back(static_cast<uint8_t>(sequence + i));
    b.push_back(static_cast<uint8_t>((sequence & 0x7F) | (more ? 0x80 : 0)));
    return b;
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(server_test::enterPrivateNet(), "");
        module.reset(peer::Module::tcp());
        module->setResponder(respond);
        direct = aLink_CreateTCPIP(kSerial, kLoopback, module->port());
        ASSERT_NE(direct, 0u);
        client = aLink_CreateServer(direct, &port, &iface, true);
        ASSERT_NE(client, 0u);
        module->clear();
    }
    void TearDown() override
    {
        if (client)
            aLink_Destroy(&client);
    }

    // All packets the module received that are not the client links' route
    // forcing nor the direct link's own.
    std::vector<Bytes> modulePackets() { return module->packets(); }

    std::unique_ptr<peer::Module> module;
    aLinkRef direct = 0;
    aLinkRef client = 0;
    uint16_t port = 0;
    uint32_t iface = 0;
};

TEST_F(ServerTest, ServerOwnsTheDirectLinkAndAnswersLocalDiscovery)
{
    EXPECT_NE(port, 0);
    EXPECT_EQ(iface, kLoopback);
    // The module is reached only through the server now.
    EXPECT_EQ(aLink_CreateTCPIP(kSerial, kLoopback, module->port()), 0u);

    aMulticast* replies = aMulticast_Create(0, aMULTICAST_GROUP, aMULTICAST_REPLY_PORT_BASE, false);
    aMulticast* requests = aMulticast_Create(0, aMULTICAST_GROUP, aMULTICAST_REQUEST_PORT_BASE, true);
    ASSERT_NE(replies, nullptr);
    ASSERT_NE(requests, nullptr);
    const uint32_t magic = aMULTICAST_MAGIC;
    const uint32_t other = 0xABCDDCBB;
    uint8_t buffer[256];
    // Neither three bytes of the value nor another value are a request.
    ASSERT_EQ(aMulticast_Send(requests, &magic, 3), 3);
    EXPECT_EQ(aMulticast_Receive(replies, buffer, sizeof buffer), -1);
    ASSERT_EQ(aMulticast_Send(requests, &other, 4), 4);
    EXPECT_EQ(aMulticast_Receive(replies, buffer, sizeof buffer), -1);

    ASSERT_EQ(aMulticast_Send(requests, &magic, 4), 4);
    ASSERT_EQ(aMulticast_Receive(replies, buffer, sizeof buffer), 128);
    linkSpec spec;
    memcpy(&spec, buffer, sizeof spec);
    EXPECT_EQ(spec.type, AETHER_TCPIP);
    EXPECT_EQ(spec.serialNumber, kSerial);
    EXPECT_EQ(spec.module, 2u);
    EXPECT_EQ(spec.model, kModel);
    EXPECT_EQ(spec.ipAddress, kLoopback);
    EXPECT_EQ(spec.ipPort, port);
    EXPECT_EQ(spec.router, 0u);
    EXPECT_EQ(spec.routerSerialNumber, 0u);
    aMulticast_Destroy(&replies);
    aMulticast_Destroy(&requests);
}

TEST_F(ServerTest, EachClientGetsOnlyItsOwnReplies)
{
    ClientHolder hold{aLink_CreateClient(kLoopback, port, 0)};
    const aLinkRef second = hold.h;
    ASSERT_NE(second, 0u);
    // Interleaved requests from both clients, each tagged by its sender.
    for (uint8_t i = 0; i < 20; ++i) {
        put(client, {0x02, 0x03, kEcho, 0xA0, i});
        put(second, {0x02, 0x03, kEcho, 0xB0, i});
    }
    for (uint8_t i = 0; i < 20; ++i) {
        EXPECT_EQ(next(client), (Bytes{0x02, 0x03, kEcho, 0xA0, i}));
        EXPECT_EQ(next(second), (Bytes{0x02, 0x03, kEcho, 0xB0, i}));
    }
    EXPECT_EQ(next(client, 200), Bytes{});
    EXPECT_EQ(next(second, 200), Bytes{});
}

TEST_F(ServerTest, OneByteRepliesAreNotTakenForServerCommands)
{
    // A reply with one data byte is three bytes long, like a server command.
    ClientHolder hold{aLink_CreateClient(kLoopback, port, 0)};
    const aLinkRef second = hold.h;
    ASSERT_NE(second, 0u);
    put(client, {0x02, 0x02, kShort, 0x01});
    put(second, {0x02, 0x02, kShort, 0x00});  // [02 01 00]: would read as "dropped"
    put(client, {0x02, 0x03, kEcho, 0xA0, 0x07});
    EXPECT_EQ(next(client), (Bytes{0x02, 0x01, 0x01}));
    EXPECT_EQ(next(second), (Bytes{0x02, 0x01, 0x00}));
    EXPECT_EQ(next(client), (Bytes{0x02, 0x03, kEcho, 0xA0, 0x07}));
}

TEST_F(ServerTest, UnansweredRequestCostsOnlyItsOwnReply)
{
    ClientHolder hold{aLink_CreateClient(kLoopback, port, 0)};
    const aLinkRef second = hold.h;
    ASSERT_NE(second, 0u);
    put(client, {0x02, 0x01, kSilent});
    put(second, {0x02, 0x03, kEcho, 0xB0, 0x01});
    EXPECT_EQ(next(client, 2600), Bytes{});
    EXPECT_EQ(next(second), (Bytes{0x02, 0x03, kEcho, 0xB0, 0x01}));
    put(client, {0x02, 0x03, kEcho, 0xA0, 0x02});
    EXPECT_EQ(next(client), (Bytes{0x02, 0x03, kEcho, 0xA0, 0x02}));
}

TEST_F(ServerTest, ClientsCannotForceRouting)
{
    ASSERT_EQ(aLink_ForceRoute(client, true), aErrNone);
    put(client, {0x02, 0x03, kEcho, 0xA0, 0x01});
    EXPECT_EQ(next(client), (Bytes{0x02, 0x03, kEcho, 0xA0, 0x01}));
    for (const Bytes& p : modulePackets())
        EXPECT_NE(p[0], cmdFORCEROUTE);
}

TEST_F(ServerTest, ByteStringSetsReachTheModuleInOnePiece)
{
    ClientHolder hold{aLink_CreateClient(kLoopback, port, 0)};
    const aLinkRef second = hold.h;
    ASSERT_NE(second, 0u);
    struct Case {
        const char* name;
        int chunks;
    } cases[] = {{"five chunks", 5}, {"sequence numbers wrap past 127", 130}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        module->clear();
        for (int i = 0; i < c.chunks; ++i) {
            put(client, chunk(static_cast<uint8_t>(i), i + 1 < c.chunks));
            if (i == 1)  // another client's request in the middle of the set
                put(second, {0x02, 0x03, kEcho, 0xB0, 0x01});
        }
        EXPECT_EQ(next(second), (Bytes{0x02, 0x03, kEcho, 0xB0, 0x01}));
        EXPECT_EQ(next(client), (Bytes{0x02, 0x03, kSet, 0x9F, 0x00}));
        EXPECT_EQ(next(client, 300), Bytes{});  // answered once

        ASSERT_TRUE(module->waitPackets([&](const std::vector<Bytes>& v) { return v.size() >= size_t(c.chunks) + 1; }));
        std::vector<Bytes> chunks;
        int position = -1, at = 0;
        for (const Bytes& p : modulePackets()) {
            if (p[2] == kSet) {
                if (position < 0)
                    position = at;
                EXPECT_EQ(at, position + static_cast<int>(chunks.size())) << "the set was interrupted";
                chunks.push_back(p);
            }
            ++at;
        }
        ASSERT_EQ(chunks.size(), size_t(c.chunks));
        for (int i = 0; i < c.chunks; ++i)
            EXPECT_EQ(chunks[i], chunk(static_cast<uint8_t>(i), i + 1 < c.chunks));
    }
}

TEST_F(ServerTest, BrokenSetDoesNotShutTheClientOut)
{
    // A set whose next chunk is lost: the client's next set and its other
    // requests still reach the module.
    put(client, chunk(0, true));
    put(client, chunk(2, true));  // chunk 1 never came
    put(client, {0x02, 0x03, kEcho, 0xA0, 0x01});
    EXPECT_EQ(next(client), (Bytes{0x02, 0x03, kEcho, 0xA0, 0x01}));
    put(client, chunk(0, true));
    put(client, chunk(1, false));
    EXPECT_EQ(next(client), (Bytes{0x02, 0x03, kSet, 0x9F, 0x00}));
}

TEST_F(ServerTest, StreamingClientsReceiveBatches)
{
    ClientHolder hold{aLink_CreateClient(kLoopback, port, 0)};
    const aLinkRef listener = hold.h;
    ASSERT_NE(listener, 0u);
    put(listener, {0x02, 0x07, 0x5D, 0x81, 0x03, 0x08, 0x00, 0x00, 0x01});
    EXPECT_EQ(next(listener), (Bytes{0x02, 0x03, 0x5D, 0x81, 0x00}));

    const Bytes sample{0x02, 0x07, 0x03, 0x08, 0x40, 0x00, 0x00, 0x00, 0x2A};
    module->sendPacket(sample);
    module->sendPacket(sample);
    // Held until the module's next heartbeat.
    EXPECT_EQ(next(listener, 300), Bytes{});
    module->sendPacket({0x02, 0x02, 0x00, 0x00});
    EXPECT_EQ(next(listener), sample);
    EXPECT_EQ(next(listener), sample);
    // The heartbeat itself is answered by the server's direct link.
    EXPECT_TRUE(module->waitPackets([](const std::vector<Bytes>& v) {
        for (const Bytes& p : v)
            if (p == Bytes{0x02, 0x02, 0x00, 0x02})
                return true;
        return false;
    }));

    // Past 4065 bytes a batch goes out without waiting for a heartbeat.
    Bytes full{0x02, 28, 0x03, 0x08, 0x40};
    full.resize(30, 0x11);
    for (int i = 0; i < 140; ++i)
        module->sendPacket(full);
    int got = 0;
    while (next(listener, 500) == full)
        ++got;
    EXPECT_EQ(got, 136);  // 136 x 30 = 4080 bytes, the first batch past 4065

    // The client that never enabled a stream got none of it.
    EXPECT_EQ(next(client, 100), Bytes{});
}

TEST_F(ServerTest, ReleasingTheFirstClientStopsServerAndDirectLink)
{
    aLink_Destroy(&client);
    EXPECT_EQ(sLookupEntryByID(direct), nullptr);
    EXPECT_EQ(aLink_GetStatus(direct), kLinkStateNoStream);
    // The discovery port is free again, and the module is no longer held.
    aMulticast* probe = aMulticast_Create(0, aMULTICAST_GROUP, aMULTICAST_REQUEST_PORT_BASE, false);
    EXPECT_NE(probe, nullptr);
    aMulticast_Destroy(&probe);
    aLinkRef again = aLink_CreateTCPIP(kSerial, kLoopback, module->port());
    EXPECT_NE(again, 0u);
    aLink_Destroy(&again);
}

TEST(ServerDiscovery, ServersTakeFreePortsAndAnswerOnlyOnceTheModelIsKnown)
{
    ASSERT_EQ(server_test::enterPrivateNet(), "");
    std::unique_ptr<peer::Module> m1(peer::Module::tcp()), m2(peer::Module::tcp());
    aLinkRef d1 = aLink_CreateTCPIP(1, kLoopback, m1->port());
    aLinkRef d2 = aLink_CreateTCPIP(2, kLoopback, m2->port());
    aServer* s1 = aServer_Create(d1, 0, true);
    aServer* s2 = aServer_Create(d2, 0, true);
    ASSERT_NE(s1, nullptr);
    ASSERT_NE(s2, nullptr);
    ASSERT_EQ(aServer_Start(s1), aErrNone);
    ASSERT_EQ(aServer_Start(s2), aErrNone);
    // Both request ports are taken: a third receiver cannot hold either.
    for (int k = 0; k < 2; ++k) {
        aMulticast* probe = aMulticast_Create(0, aMULTICAST_GROUP, aMULTICAST_REQUEST_PORT_BASE + k, false);
        EXPECT_EQ(probe, nullptr) << "offset " << k;
        aMulticast_Destroy(&probe);
    }

    aMulticast* replies = aMulticast_Create(0, aMULTICAST_GROUP, aMULTICAST_REPLY_PORT_BASE + 1, false);
    aMulticast* requests = aMulticast_Create(0, aMULTICAST_GROUP, aMULTICAST_REQUEST_PORT_BASE + 1, true);
    const uint32_t magic = aMULTICAST_MAGIC;
    uint8_t buffer[256];
    aMulticast_Send(requests, &magic, 4);
    EXPECT_EQ(aMulticast_Receive(replies, buffer, sizeof buffer), -1);
    aServer_SetModuleAddress(s2, 2);
    aServer_SetModel(s2, kModel);
    aMulticast_Send(requests, &magic, 4);
    EXPECT_EQ(aMulticast_Receive(replies, buffer, sizeof buffer), 128);
    aMulticast_Destroy(&replies);
    aMulticast_Destroy(&requests);

    EXPECT_EQ(aServer_Create(0, 0, true), nullptr);
    EXPECT_EQ(aServer_Start(nullptr), aErrParam);
    aServer* none = nullptr;
    EXPECT_EQ(aServer_Destroy(&none), aErrParam);
    EXPECT_EQ(aServer_Destroy(&s1), aErrNone);
    EXPECT_EQ(s1, nullptr);
    aServer_Destroy(&s2);
    aLink_Destroy(&d1);
    aLink_Destroy(&d2);
}

} // namespace
