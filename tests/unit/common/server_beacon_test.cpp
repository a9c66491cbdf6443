// How the server answers discovery beacons, driven through a socket pair that
// stands in for czmq's beacon actor (both speak the same messages).

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "lib/common/aServerInternal.h"
#include "server_test_support.h"

namespace {

class BeaconAnswer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(server_test::enterPrivateNet(), "");
        static int pairs = 0;
        const std::string endpoint = "inproc://beacon-answer-test-" + std::to_string(pairs++);
        actorSide = zsock_new_pair(("@" + endpoint).c_str());
        serverSide = zsock_new_pair((">" + endpoint).c_str());
        ASSERT_NE(actorSide, nullptr);
        ASSERT_NE(serverSide, nullptr);
        zsock_set_rcvtimeo(actorSide, 200);
        zsock_set_rcvtimeo(serverSide, 200);
        server.check = aSERVER_CHECK;
        server.type = AETHER_USB;
        server.serialNumber = 0x1234ABCD;
        server.advertisedAddress = inet_addr("10.213.7.1");
        server.frontendPort = 40123;
        // The server only sends and receives on it, as on the actor's pipe.
        server.discovery = reinterpret_cast<zactor_t*>(serverSide);
    }
    void TearDown() override
    {
        server.discovery = nullptr;
        server.check = 0;
        zsock_destroy(&serverSide);
        zsock_destroy(&actorSide);
    }

    // What the beacon actor delivers for one beacon heard: sender, then beacon.
    void hear(const std::string& beacon)
    {
        zstr_sendm(actorSide, "10.213.7.2");
        zframe_t* f = zframe_new(beacon.data(), beacon.size());
        zframe_send(&f, actorSide, 0);
    }

    bool serverHasMore() { return (zsock_events(serverSide) & ZMQ_POLLIN) != 0; }

    zsock_t* actorSide = nullptr;
    zsock_t* serverSide = nullptr;
    aServer server;
};

TEST_F(BeaconAnswer, BeaconBeforeTheModelIsKnownIsReadAndDropped)
{
    hear("Velmarine2-Discovery");
    ASSERT_TRUE(server_test::waitFor([&] { return serverHasMore(); }, 2000));
    aServer_HandleBeacon(&server);
    // Left unread, it would keep the broker's poll awake for ever.
    EXPECT_FALSE(serverHasMore());
    EXPECT_FALSE(server.publishing);
    EXPECT_EQ(zstr_recv(actorSide), nullptr);  // nothing published
}

TEST_F(BeaconAnswer, DiscoveryBeaconIsAnsweredWithTheSpecifierForAWhile)
{
    server.moduleAddress = 2;
    server.model = 0x13;
    hear("something else");
    hear("Velmarine2-Discovery");
    ASSERT_TRUE(server_test::waitFor([&] { return serverHasMore(); }, 2000));
    aServer_HandleBeacon(&server);
    EXPECT_FALSE(server.publishing);  // not a discovery beacon
    ASSERT_TRUE(server_test::waitFor([&] { return serverHasMore(); }, 2000));
    aServer_HandleBeacon(&server);
    ASSERT_TRUE(server.publishing);

    char* command = nullptr;
    byte* spec = nullptr;
    size_t size = 0;
    int interval = 0;
    ASSERT_EQ(zsock_recv(actorSide, "sbi", &command, &spec, &size, &interval), 0);
    EXPECT_STREQ(command, "PUBLISH");
    EXPECT_EQ(interval, 100);
    ASSERT_EQ(size, sizeof(linkSpec));
    linkSpec s;
    memcpy(&s, spec, sizeof s);
    EXPECT_EQ(s.type, AETHER_USB);
    EXPECT_EQ(s.serialNumber, 0x1234ABCDu);
    EXPECT_EQ(s.module, 2u);
    EXPECT_EQ(s.model, 0x13u);
    EXPECT_EQ(s.ipAddress, inet_addr("10.213.7.1"));
    EXPECT_EQ(s.ipPort, 40123u);
    zstr_free(&command);
    free(spec);

    // A second search while publishing changes nothing; after two seconds
    // the publication ends.
    hear("Velmarine2-Discovery");
    ASSERT_TRUE(server_test::waitFor([&] { return serverHasMore(); }, 2000));
    aServer_HandleBeacon(&server);
    EXPECT_EQ(zstr_recv(actorSide), nullptr);
    aServer_CheckPublishing(&server);
    EXPECT_TRUE(server.publishing);
    server.publishTime -= 2001;
    aServer_CheckPublishing(&server);
    EXPECT_FALSE(server.publishing);
    char* silence = zstr_recv(actorSide);
    EXPECT_STREQ(silence, "SILENCE");
    zstr_free(&silence);
}

} // namespace
