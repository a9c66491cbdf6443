// A Link that reaches its module through its own network server: the server
// copies the module's samples to the Link in batches, at the module's next
// heartbeat, and the Link caches them as on a direct link.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "lib/object/Entity.h"
#include "lib/object/Link.h"
#include "tests/unit/common/server_test_support.h"
#include "tests/unit/object/sim_module.h"

namespace {

using Corvane::Velmarine::aEtherConfig;
using Corvane::Velmarine::EntityClass;
using Corvane::Velmarine::Link;
using Corvane::Velmarine::Module;

constexpr uint32_t kSerial = 0x57000007;

class StreamServerLab : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The server's discovery ports are fixed: keep this process's server
        // (and its simulated module) in a namespace of their own.
        netError = server_test::enterPrivateNet();
        if (!netError.empty()) return;
        sim = new netlab::SimProcess("module serial=57000007 address=6 transport=tcp hb=150 "
                                     "stream=12:5:0:3:60000:1:0xCAFE\n",
                                     {}, {"--no-discovery"});
    }
    static void TearDownTestSuite()
    {
        delete sim;
        sim = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(netError.empty()) << netError;
        ASSERT_TRUE(sim->ready()) << sim->error();
    }

    static netlab::SimProcess* sim;
    static std::string netError;
};
netlab::SimProcess* StreamServerLab::sim = nullptr;
std::string StreamServerLab::netError;

TEST_F(StreamServerLab, SamplesReachTheCacheThroughTheServer)
{
    Module m(6, true, 0);
    aEtherConfig config;
    config.fallback = false;  // enabled and local only, as constructed
    ASSERT_EQ(m.setConfig(config), aErrNone);
    ASSERT_EQ(m.connectFromSpec(objtest::tcpSpec(kSerial, sim->tcp_port(kSerial).value_or(0))), aErrNone);
    ASSERT_EQ(m.getLink()->getConfig(&config), aErrNone);
    ASSERT_NE(config.assignedPort, 0) << "connected through a server";

    EntityClass e;
    e.init(&m, 12, 0);
    ASSERT_EQ(e.setStreamEnabled(true), aErrNone);
    Link::StreamStatusEntry entry{};
    std::size_t count = 0;
    ASSERT_TRUE(server_test::waitFor(
        [&] { return e.getStreamStatus(&entry, 1, &count) == aErrNone && count == 1; }, 3000))
        << "the batch comes with the module's next heartbeat";
    uint32_t value = 0;
    EXPECT_EQ(e.getUEI32(5, &value), aErrNone);
    EXPECT_EQ(value, 0xCAFEu);
    EXPECT_EQ(e.getUEI32(5, &value), aErrStreamStale);
    EXPECT_EQ(value, 0xCAFEu);
    EXPECT_EQ(e.setStreamEnabled(false), aErrNone);
}

} // namespace
