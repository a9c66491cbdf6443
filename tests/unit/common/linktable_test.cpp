// The link table: handles, identities, sharing by use count; and the engine's
// life-cycle answers for links that are missing, stopped or cannot be rebuilt.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "lib/common/aLink.h"
#include "lib/common/aLinkManagerInternal.h"
#include "tests/unit/common/engine_peer.h"

using peer::Module;

TEST(LinkTable, HandlesGrowAndAreNeverReused)
{
    aLinkRef a = sCreate(0x7A000001, 0, 3);
    aLinkRef b = sCreate(0x7A000002, 0, 3);
    ASSERT_NE(a, 0u);
    EXPECT_EQ(b, a + 1);
    EXPECT_EQ(sGetLink(a)->id, a);
    sFreeEntry(sExtractEntry(a));
    aLinkRef c = sCreate(0x7A000003, 0, 3);
    EXPECT_EQ(c, b + 1);
    EXPECT_EQ(sLookupEntryByID(a), nullptr);
    EXPECT_EQ(sExtractEntry(a), nullptr);
    EXPECT_NE(sLookupEntryByID(b), nullptr);
    EXPECT_EQ(sGetLink(0), nullptr);
    sFreeEntry(sExtractEntry(b));
    sFreeEntry(sExtractEntry(c));
}

TEST(LinkTable, LookupsCompareTheRightIdentifiers)
{
    aLinkRef serial = sCreate(0x7B000001, 0, 3);
    aLinkRef tcp = sCreate2(0x7B000002, 0x0100007F, 9000, 2);
    EXPECT_EQ(sLookupEntryByIdentifier(0x7B000001, 1), nullptr);  // a serial link is not a USB link
    EXPECT_EQ(sLookupEntryByIdentifier(0x7B000001, 3)->id, serial);
    EXPECT_EQ(sLookupEntryByIdentifier(0x7B000002, 2)->id, tcp);
    EXPECT_EQ(sLookupEntryByTrident(0x7B000002, 0x0100007F, 9000)->id, tcp);
    EXPECT_EQ(sLookupEntryByTrident(0x7B000002, 0x0100007F, 9001), nullptr);
    // Newest first.
    aLinkRef newer = sCreate(0x7B000001, 0, 3);
    EXPECT_EQ(sLookupEntryByIdentifier(0x7B000001, 3)->id, newer);
    EXPECT_EQ(sChangeUseCount(sLookupEntryByID(tcp), +2), 2);
    EXPECT_EQ(sChangeUseCount(nullptr, +1), 0);
    for (aLinkRef h : {serial, tcp, newer})
        sFreeEntry(sExtractEntry(h));
}

TEST(LinkLifeCycle, SharedTcpLinkLivesUntilTheLastHolderLetsGo)
{
    std::unique_ptr<Module> module(Module::tcp());
    aLinkRef first = aLink_CreateTCPIP(0x7C000001, module->loopback(), module->port());
    ASSERT_NE(first, 0u);
    // Same module at another address: the open link is shared.
    aLinkRef second = aLink_CreateTCPIP(0x7C000001, module->loopback() + 1, 1);
    EXPECT_EQ(second, first);
    EXPECT_EQ(sLookupEntryByID(first)->useCount, 2);
    EXPECT_EQ(aLink_Start(first), aErrNone);  // already running: nothing happens
    // The module's accept thread counts the connection on its own time.
    for (int i = 0; i < 300 && module->connections() < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(module->connections(), 1);

    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(aLink_GetStatus(first), kLinkStateRunning);
    EXPECT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(aLink_GetStatus(0), kLinkStateNoStream);
    EXPECT_EQ(sLookupEntryByIdentifier(0x7C000001, 2), nullptr);
    aLinkRef gone = first;
    EXPECT_EQ(aLink_Destroy(&gone), aErrParam);
}

TEST(LinkLifeCycle, FailedCreationsLeaveNothingBehind)
{
    EXPECT_EQ(aLink_CreateSerial(0x7D000001, "/dev/null", 12345), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(0x7D000001, 3), nullptr);
    EXPECT_EQ(aLink_CreateSerial(0x7D000002, "/nonexistent/tty", 115200), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(0x7D000002, 3), nullptr);

    // Nobody listens on the port any more.
    uint16_t port;
    {
        std::unique_ptr<Module> gone(Module::tcp());
        port = gone->port();
    }
    EXPECT_EQ(aLink_CreateTCPIP(0x7D000003, htonl(INADDR_LOOPBACK), port), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(0x7D000003, 2), nullptr);
    EXPECT_EQ(aLink_CreateUSB(0x7D000004), 0u);
}

TEST(LinkLifeCycle, MissingLinksAreRefused)
{
    aPacket* p = aPacket_Create();
    EXPECT_EQ(aLink_PutPacket(0, p), aErrParam);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_GetPacket(0), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(0, 10), nullptr);
    EXPECT_EQ(aLink_AwaitFirst(0, nullptr, nullptr, 10), nullptr);
    EXPECT_EQ(aLink_DrainPackets(0, nullptr, nullptr), 0u);
    EXPECT_EQ(aLink_Start(0), aErrParam);
    EXPECT_EQ(aLink_Sync(0), aErrParam);
    EXPECT_EQ(aLink_Reset(0), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(0, true), aErrNotFound);
    EXPECT_EQ(aLink_InstallUserPacketFilter(0, nullptr, nullptr), aErrParam);
    EXPECT_EQ(aLink_EnablePooledPackets(0, true), aErrParam);
    EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
    aLinkRef none = 0;
    EXPECT_EQ(aLink_Destroy(&none), aErrParam);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
}

TEST(LinkLifeCycle, ResetRebuildsATcpLinkOrStaysWithoutStream)
{
    std::unique_ptr<Module> module(Module::tcp());
    aLinkRef h = aLink_CreateTCPIP(0x7E000001, module->loopback(), module->port());
    ASSERT_NE(h, 0u);
    ASSERT_EQ(aLink_EnablePooledPackets(h, true), aErrNone);
    EXPECT_EQ(aLink_Reset(h), aErrNone);
    EXPECT_EQ(aLink_GetStatus(h), kLinkStateRunning);
    EXPECT_FALSE(sGetLink(h)->pooled);  // a reset link starts over with defaults
    for (int i = 0; i < 300 && module->connections() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(module->connections(), 2);  // the module sees a new connection

    // With the module gone the stream cannot be remade: the link says so
    // and stays without a stream instead of running over nothing.
    module.reset();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_NE(aLink_Reset(h), aErrNone);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(aLink_GetStatus(h), kLinkStateNoStream);
    EXPECT_EQ(sGetLink(h)->reader.joinable(), false);
    aPacket* p = aPacket_Create();
    EXPECT_NE(aLink_PutPacket(h, p), aErrNone);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_Destroy(&h), aErrNone);
}
