// The network client stream and client links, against a ROUTER socket that
// stands in for a server's frontend.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

#include "lib/common/aLink.h"
#include "lib/common/aLinkManagerInternal.h"
#include "lib/common/aStreamClient.h"
#include "server_test_support.h"

namespace {

using server_test::RouterPeer;
using Clock = std::chrono::steady_clock;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(server_test::enterPrivateNet(), ""); }
};

// Reads n bytes, each within the stream's own one-second wait.
std::string readBytes(aStream* stream, size_t n)
{
    std::string out;
    for (int idle = 0; out.size() < n && idle < 3;) {
        uint8_t b = 0;
        const aErr e = aStream_Read(stream, &b, 1);
        if (e == aErrNone)
            out.push_back(static_cast<char>(b));
        else if (e == aErrNotReady)
            ++idle;
        else
            break;
    }
    return out;
}

TEST_F(ClientTest, StreamCarriesWholeFramesBothWays)
{
    RouterPeer router;
    ASSERT_TRUE(router.ok());
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateClient(kLoopback, router.port(), &stream), aErrNone);
    ASSERT_NE(stream, nullptr);

    // One write is one frame at the server, whatever its length.
    const std::string request("\x02\x03\x03\x48\x20", 5);
    ASSERT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>(request.data()), request.size()), aErrNone);
    std::string identity, payload;
    ASSERT_TRUE(router.receive(&identity, &payload));
    EXPECT_EQ(payload, request);

    // A full 30-byte packet, then a frame of three packets back to back, come
    // out as their bytes in order.
    std::string full("\x02\x1C", 2);
    for (int i = 0; i < 28; ++i)
        full.push_back(static_cast<char>(0x40 + i));
    const std::string three("\x02\x00\x04\x01\x09\x02\x02\x00\x05", 9);
    router.send(identity, full);
    router.send(identity, three);
    EXPECT_EQ(readBytes(stream, full.size() + three.size()), full + three);

    // Single bytes have no place on a stream of whole packets.
    const uint8_t byte = 0x02;
    EXPECT_EQ(aStream_Write(stream, &byte, 1), aErrUnimplemented);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(stream, nullptr);
}

TEST_F(ClientTest, StreamToNoServerExistsAndReadsNothing)
{
    // Connections are made lazily: with nobody on the port the stream still
    // exists, and each read finds nothing after its one-second wait.
    uint16_t unused = 0;
    {
        RouterPeer gone;
        unused = gone.port();
    }
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateClient(kLoopback, unused, &stream), aErrNone);
    uint8_t b = 0;
    const auto t0 = Clock::now();
    EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_GE(waited, 900);
    EXPECT_LT(waited, 3000);
    aStream_Destroy(&stream);
    EXPECT_EQ(aStream_CreateClient(kLoopback, unused, nullptr), aErrParam);
}

uint8_t anyPacket(const aPacket*, void*) { return 1; }

TEST_F(ClientTest, ClientLinkExchangesPacketsAndIsNeverShared)
{
    RouterPeer router;
    ASSERT_TRUE(router.ok());
    aLinkRef a = aLink_CreateClient(kLoopback, router.port(), 0);
    aLinkRef b = aLink_CreateClient(kLoopback, router.port(), 0);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(aLink_GetStatus(a), kLinkStateRunning);

    // Starting a link asks for route forcing: one packet per frame.
    std::string idA, idB, payload;
    std::map<std::string, std::string> first;
    ASSERT_TRUE(router.receive(&idA, &payload));
    first[idA] = payload;
    ASSERT_TRUE(router.receive(&idB, &payload));
    first[idB] = payload;
    ASSERT_EQ(first.size(), 2u);
    for (auto& [id, p] : first)
        EXPECT_EQ(p, std::string("\xAF\x01\x01", 3));

    const uint8_t query[3] = {0x03, 0x48, 0x20};
    aPacket* request = aPacket_CreateWithData(0x02, 3, query);
    ASSERT_EQ(aLink_PutPacket(a, request), aErrNone);
    aPacket_Destroy(&request);
    std::string from;
    ASSERT_TRUE(router.receive(&from, &payload));
    EXPECT_EQ(payload, std::string("\x02\x03\x03\x48\x20", 5));
    router.send(from, std::string("\x02\x04\x03\x08\x20\x13", 6));
    EXPECT_TRUE(first.count(from));
    // The reply goes back on the connection that asked, and only there.
    aPacket* reply = aLink_AwaitFirst(a, anyPacket, nullptr, 3000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->address, 0x02);
    ASSERT_EQ(reply->dataSize, 4);
    EXPECT_EQ(reply->data[3], 0x13);
    aPacket_Destroy(&reply);
    EXPECT_EQ(aLink_GetPacket(b), nullptr);  // the other connection got nothing

    aLink_Destroy(&a);
    aLink_Destroy(&b);
}

TEST_F(ClientTest, ExistingHandleIsSharedAndStaleOneRefused)
{
    RouterPeer router;
    aLinkRef a = aLink_CreateClient(kLoopback, router.port(), 0);
    ASSERT_NE(a, 0u);
    aLinkRef shared = aLink_CreateClient(kLoopback, router.port(), a);
    EXPECT_EQ(shared, a);
    EXPECT_EQ(sLookupEntryByID(a)->useCount, 2);
    aLink_Destroy(&shared);
    EXPECT_EQ(aLink_GetStatus(a), kLinkStateRunning);  // one holder left
    aLinkRef stale = a;
    aLink_Destroy(&a);
    EXPECT_EQ(aLink_GetStatus(stale), kLinkStateNoStream);
    EXPECT_EQ(aLink_CreateClient(kLoopback, router.port(), stale), 0u);
}

TEST_F(ClientTest, ResetMakesANewConnection)
{
    RouterPeer router;
    aLinkRef link = aLink_CreateClient(kLoopback, router.port(), 0);
    ASSERT_NE(link, 0u);
    std::string before, after, payload;
    ASSERT_TRUE(router.receive(&before, &payload));  // route forcing at start

    ASSERT_EQ(aLink_Reset(link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStateRunning);
    // The old connection says goodbye (route release), the new one hello.
    bool sawNew = false;
    for (int i = 0; i < 3 && !sawNew; ++i) {
        if (!router.receive(&after, &payload))
            break;
        sawNew = after != before;
    }
    ASSERT_TRUE(sawNew);
    router.send(after, std::string("\x02\x00", 2));
    aPacket* reply = aLink_AwaitFirst(link, anyPacket, nullptr, 3000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->address, 0x02);
    aPacket_Destroy(&reply);
    aLink_Destroy(&link);
}

TEST_F(ClientTest, ReleasingAClientReleasesItsCompanion)
{
    RouterPeer router;
    aLinkRef companion = aLink_CreateClient(kLoopback, router.port(), 0);
    aLinkRef client = aLink_CreateClient(kLoopback, router.port(), 0);
    ASSERT_NE(companion, 0u);
    ASSERT_NE(client, 0u);
    sLookupEntryByID(client)->companion = companion;
    aLink_Destroy(&client);
    EXPECT_EQ(aLink_GetStatus(companion), kLinkStateNoStream);
    EXPECT_EQ(sLookupEntryByID(companion), nullptr);
}

} // namespace
