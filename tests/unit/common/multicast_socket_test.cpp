// Multicast sockets of local server discovery: exclusive receiver ports, the
// loop-back path from sender to receiver, and the refusals of misused handles.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>

#include "lib/common/aMulticast.h"
#include "tests/unit/common/multicast_private_net.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kPort = 9857;

class MulticastSocket : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(net_.ok()) << net_.error(); }
    void inNamespace(const std::function<void()>& fn) { ASSERT_TRUE(net_.run(fn)); }
    private_net::Namespace net_;
};

TEST_F(MulticastSocket, ReceiverHoldsItsPortUntilDestroyed)
{
    inNamespace([] {
        aMulticast* holder = aMulticast_Create(0, aMULTICAST_GROUP, kPort, false);
        ASSERT_NE(holder, nullptr);
        // The held port is what another process sees: its own receiver fails.
        aMulticast* second = aMulticast_Create(aMULTICAST_INTERFACE, aMULTICAST_GROUP, kPort, false);
        EXPECT_EQ(second, nullptr);
        // Senders never bind, so they can be made towards a held port.
        aMulticast* sender = aMulticast_Create(0, aMULTICAST_GROUP, kPort, true);
        EXPECT_NE(sender, nullptr);
        // Another port is free.
        aMulticast* other = aMulticast_Create(0, aMULTICAST_GROUP, kPort + 1, false);
        EXPECT_NE(other, nullptr);

        EXPECT_EQ(aMulticast_Destroy(&holder), 0);
        EXPECT_EQ(holder, nullptr);
        aMulticast* again = aMulticast_Create(0, aMULTICAST_GROUP, kPort, false);
        EXPECT_NE(again, nullptr);
        aMulticast_Destroy(&again);
        aMulticast_Destroy(&sender);
        aMulticast_Destroy(&other);
        aMulticast_Destroy(&second);
    });
}

TEST_F(MulticastSocket, DatagramTravelsFromSenderToReceiverOnLoopback)
{
    inNamespace([] {
        // 0 and 127.0.0.1 both select the loopback interface.
        for (uint32_t iface : {0u, aMULTICAST_INTERFACE}) {
            SCOPED_TRACE(iface);
            aMulticast* receiver = aMulticast_Create(iface, aMULTICAST_GROUP, kPort, false);
            aMulticast* sender = aMulticast_Create(iface, aMULTICAST_GROUP, kPort, true);
            ASSERT_NE(receiver, nullptr);
            ASSERT_NE(sender, nullptr);
            const uint8_t magic[4] = {0xBA, 0xDC, 0xCD, 0xAB};
            EXPECT_EQ(aMulticast_Send(sender, magic, sizeof magic), 4);
            std::array<uint8_t, 16> got{};
            ASSERT_EQ(aMulticast_Receive(receiver, got.data(), got.size()), 4);
            EXPECT_EQ(0, memcmp(got.data(), magic, 4));
            // A datagram longer than the buffer is cut to the buffer.
            std::array<uint8_t, 200> big{};
            big.fill(0x5A);
            EXPECT_EQ(aMulticast_Send(sender, big.data(), big.size()), 200);
            EXPECT_EQ(aMulticast_Receive(receiver, got.data(), got.size()), 16);
            aMulticast_Destroy(&receiver);
            aMulticast_Destroy(&sender);
        }
    });
}

TEST_F(MulticastSocket, ReceiveGivesUpAfterOneSecond)
{
    inNamespace([] {
        aMulticast* receiver = aMulticast_Create(0, aMULTICAST_GROUP, kPort, false);
        ASSERT_NE(receiver, nullptr);
        uint8_t buffer[8];
        auto start = Clock::now();
        EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), aMULTICAST_FAILED);
        auto waited = Clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(900));
        EXPECT_LT(waited, std::chrono::seconds(5));
        aMulticast_Destroy(&receiver);
    });
}

TEST_F(MulticastSocket, MisusedHandlesAreRefused)
{
    inNamespace([] {
        aMulticast* receiver = aMulticast_Create(0, aMULTICAST_GROUP, kPort, false);
        aMulticast* sender = aMulticast_Create(0, aMULTICAST_GROUP, kPort, true);
        ASSERT_NE(receiver, nullptr);
        ASSERT_NE(sender, nullptr);
        uint8_t buffer[8] = {1, 2, 3, 4};

        EXPECT_EQ(aMulticast_Send(nullptr, buffer, 4), aMULTICAST_NO_HANDLE);
        EXPECT_EQ(aMulticast_Receive(nullptr, buffer, sizeof buffer), aMULTICAST_NO_HANDLE);
        EXPECT_EQ(aMulticast_Receive(sender, buffer, sizeof buffer), aMULTICAST_WRONG_DIRECTION);
        // A receiver sends nothing: its own port stays quiet.
        EXPECT_EQ(aMulticast_Send(receiver, buffer, 4), aMULTICAST_WRONG_DIRECTION);
        EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), aMULTICAST_FAILED);

        aMulticast* none = nullptr;
        EXPECT_EQ(aMulticast_Destroy(&none), aMULTICAST_NO_HANDLE);
        EXPECT_EQ(aMulticast_Destroy(nullptr), aMULTICAST_NO_HANDLE);
        EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
        EXPECT_EQ(aMulticast_Destroy(&sender), 0);
        EXPECT_EQ(sender, nullptr);
    });
}

} // namespace
