// Module, Link, entities and the small module protocols against simulated
// modules on loopback TCP.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <numeric>
#include <vector>

#include "lib/object/I2CClass.h"
#include "lib/object/Link.h"
#include "lib/object/SystemClass.h"
#include "tests/unit/object/sim_module.h"

namespace {

using namespace std::chrono_literals;
using Corvane::Velmarine::I2CClass;
using Corvane::Velmarine::Link;
using Corvane::Velmarine::SystemClass;
using objtest::connectTo;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kBench = 0x40F5849A;   // a well-behaved module at address 6
constexpr uint32_t kDenied = 0x0000DE01;  // refuses its serial number, answers names late
constexpr uint32_t kBadSum = 0x0000BAD5;  // acknowledges slot writes with a wrong byte sum
constexpr uint32_t kRouter = 0x52A0C0DE;
constexpr uint32_t kBusModule = 0x1B0B0010;
constexpr uint32_t kSilent = 0x0000517E;  // takes packets, answers nothing
constexpr uint32_t kZeroCode = 0x0000DE02;  // refuses name reads with an error reply whose code is 0

class ObjectLab : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sim = new netlab::SimProcess(
            "module serial=40F5849A model=19 address=6 version=2.10.4 build=1001 name=\"Bench supply\" "
            "transport=tcp hb=0 slots=1024,40\n"
            "module serial=0000DE01 model=13 address=8 transport=tcp hb=0 deny=9 late=2500:3:32\n"
            "module serial=0000BAD5 address=10 transport=tcp hb=0 bad_sum\n"
            "router serial=52A0C0DE model=5 address=4 transport=tcp hb=0\n"
            "bus serial=1B0B0010 model=14 address=0x10\n"
            "module serial=0000517E address=12 transport=tcp hb=0 silent\n"
            "module serial=0000DE02 address=14 transport=tcp hb=0 deny=32:0\n",
            {}, {"--no-discovery"});
    }
    static void TearDownTestSuite()
    {
        delete sim;
        sim = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(sim->ready()) << sim->error(); }

    static netlab::SimProcess* sim;
};
netlab::SimProcess* ObjectLab::sim = nullptr;

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + 7 * i);
    return v;
}

std::string hex(const std::vector<uint8_t>& v)
{
    std::string s;
    char b[3];
    for (uint8_t x : v) {
        snprintf(b, sizeof b, "%02X", x);
        s += b;
    }
    return s;
}

TEST_F(ObjectLab, ConnectLearnsTheAddressAndGuardsAnOpenLink)
{
    auto m = connectTo(*sim, kBench);
    EXPECT_TRUE(m->isConnected());
    EXPECT_EQ(m->getModuleAddress(), 6) << "the address is learnt from the module";
    EXPECT_EQ(m->connectFromSpec(objtest::tcpSpec(kBench, *sim->tcp_port(kBench))), aErrBusy);
    EXPECT_EQ(m->getLink()->connect(), aErrConnection);
    EXPECT_EQ(m->setConfig(objtest::directOnly()), aErrMode);

    EXPECT_EQ(m->disconnect(), aErrNone);
    EXPECT_FALSE(m->isConnected());
    EXPECT_EQ(m->getStatus(), 8);
    EXPECT_EQ(m->reconnect(), aErrNone) << "the specifier survives a disconnect";
    EXPECT_TRUE(m->isConnected());

    Corvane::Velmarine::Module fresh(2, static_cast<uint8_t>(0));
    EXPECT_EQ(fresh.connect(USB, 0), aErrParam);
    EXPECT_EQ(fresh.getLink()->connect(), aErrConfiguration) << "no specifier stored";
}

TEST_F(ObjectLab, AModuleThatNeverAnswersItsAddressStaysConnected)
{
    aErr err = aErrNone;
    auto t0 = Clock::now();
    auto m = connectTo(*sim, kSilent, 2, true, &err);
    auto took = Clock::now() - t0;
    EXPECT_EQ(err, aErrNotReady);
    EXPECT_TRUE(m->isConnected());
    EXPECT_EQ(m->getModuleAddress(), 2) << "the address given stays";
    EXPECT_GE(took, 3900ms) << "four address queries of one second each";
    EXPECT_LT(took, 6000ms);

    uint32_t size = 0;
    t0 = Clock::now();
    EXPECT_EQ(m->getLink()->storeSlotSize(12, 0, 0, &size), aErrTimeout);
    took = Clock::now() - t0;
    EXPECT_GE(took, 950ms);
    EXPECT_LT(took, 2000ms);
}

TEST_F(ObjectLab, PacketOperationsCheckAddressLengthAndConnection)
{
    auto m = connectTo(*sim, kBench);
    Link* link = m->getLink();
    std::vector<uint8_t> bytes = pattern(28, 1);
    struct Case {
        uint8_t module;
        uint8_t length;
        aErr expected;
    } cases[] = {{6, 27, aErrNone}, {6, 28, aErrParam}, {0, 1, aErrPacket}, {7, 1, aErrPacket}};
    for (const Case& c : cases)
        EXPECT_EQ(link->sendPacket(c.module, 0x17, c.length, bytes.data()), c.expected)
            << "module " << int(c.module) << " length " << int(c.length);

    // The 27-byte debug packet fills a packet to its 28 data bytes and comes back whole.
    uint8_t match[1] = {0x17};
    uint8_t reply[28];
    uint8_t n = 1;
    ASSERT_EQ(link->receivePacket(6, match, &n, reply), aErrNone);
    EXPECT_EQ(n, 28);
    EXPECT_EQ(0, memcmp(reply + 1, bytes.data(), 27));
    EXPECT_EQ(m->debug(bytes.data(), 27), aErrNone);

    m->disconnect();
    EXPECT_EQ(link->sendPacket(6, 0x17, 1, bytes.data()), aErrConnection);
    uei v{};
    v.module = 6;
    EXPECT_EQ(link->sendUEI(v), aErrConnection);
}

TEST_F(ObjectLab, ByteStringsTravelInChunksBothWays)
{
    auto m = connectTo(*sim, kBench);
    SystemClass sys;
    sys.init(m.get(), 0);

    uint8_t buf[64];
    uint32_t count = 99;
    ASSERT_EQ(sys.getName(buf, sizeof buf, &count), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), count), "Bench supply");

    // 25 bytes are two chunks (sequence bytes 0x80 then 0x01); the module
    // assembles them only when both sequence bytes are right.
    for (size_t length : {size_t{25}, size_t{24}, size_t{32}, size_t{0}}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> name = pattern(length, 0x41);
        ASSERT_EQ(sys.setName(name.data(), static_cast<uint32_t>(length)), aErrNone);
        EXPECT_TRUE(sim->wait_event("40F5849A set 32 bytes=" + hex(name), 1000ms));
        count = 99;
        ASSERT_EQ(sys.getName(buf, sizeof buf, &count), aErrNone);
        ASSERT_EQ(count, length);
        EXPECT_TRUE(std::equal(name.begin(), name.end(), buf));
    }

    // A reply longer than the buffer ends with code 1 and nothing counted.
    std::vector<uint8_t> twelve = pattern(12, 0x30);
    ASSERT_EQ(sys.setName(twelve.data(), 12), aErrNone);
    count = 99;
    EXPECT_EQ(sys.getName(buf, 10, &count), aErrMemory);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(sys.getName(buf, 0, &count), aErrParam);

    // An element array whose byte count is not a multiple of 4 is refused.
    uint32_t words[4];
    uint32_t n = 0;
    uint32_t three[3] = {1, 0x01020304, 0xFFFFFFFF};
    ASSERT_EQ(sys.setInputPowerBehaviorConfig(three, 3), aErrNone);
    ASSERT_EQ(sys.getInputPowerBehaviorConfig(words, 4, &n), aErrNone);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(words[1], 0x01020304u);
    EXPECT_EQ(sys.getUEIBytesCheck(&(n = 6), 4), aErrMemory);
}

TEST_F(ObjectLab, LongByteStringsWaitLongerForTheirAcknowledgement)
{
    // This module answers name writes 2.5 s late: a 1001-byte write waits for
    // the answer (the module refuses the size), a 1000-byte write gives up after 1 s.
    auto m = connectTo(*sim, kDenied);
    SystemClass sys;
    sys.init(m.get(), 0);
    std::vector<uint8_t> big = pattern(1001, 3);

    auto t0 = Clock::now();
    aErr err = sys.setName(big.data(), 1001);
    auto took = Clock::now() - t0;
    EXPECT_NE(err, aErrTimeout);
    EXPECT_NE(err, aErrNone);
    EXPECT_GE(took, 2400ms);

    // The module may refuse the oversized string more than once; a fresh link
    // leaves those answers behind.
    ASSERT_EQ(m->disconnect(), aErrNone);
    ASSERT_EQ(m->reconnect(), aErrNone);
    t0 = Clock::now();
    EXPECT_EQ(sys.setName(big.data(), 1000), aErrTimeout);
    took = Clock::now() - t0;
    EXPECT_GE(took, 950ms);
    EXPECT_LT(took, 2000ms);
}

TEST_F(ObjectLab, ErrorRepliesLeaveTypedOutputsAlone)
{
    auto m = connectTo(*sim, kDenied);
    SystemClass sys;
    sys.init(m.get(), 0);
    uint32_t serial = 0xDEADBEEF;
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrInvalidOption);
    EXPECT_EQ(serial, 0xDEADBEEFu);
    uint8_t model = 0;
    EXPECT_EQ(sys.getModel(&model), aErrNone);
    EXPECT_EQ(model, 13);
    EXPECT_EQ(sys.getModel(nullptr), aErrParam);

    SystemClass unbound;
    EXPECT_EQ(unbound.getModel(&model), aErrResource);
}

TEST_F(ObjectLab, SystemValuesReadAndWrite)
{
    auto m = connectTo(*sim, kBench);
    SystemClass sys;
    sys.init(m.get(), 0);
    uint32_t serial = 0, version = 0, build = 0;
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kBench);
    EXPECT_EQ(sys.getVersion(&version), aErrNone);
    EXPECT_EQ(sys.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 1001u);
    EXPECT_EQ(sys.setLED(4), aErrNone);
    EXPECT_TRUE(sim->wait_event("40F5849A set 4 4", 1000ms));
    uint8_t led = 0;
    EXPECT_EQ(sys.getLED(&led), aErrNone);
    EXPECT_EQ(led, 4);
    EXPECT_EQ(sys.save(), aErrNone);
    EXPECT_TRUE(sim->wait_event("40F5849A call 10", 1000ms));
}

TEST_F(ObjectLab, ModuleQueries)
{
    auto m = connectTo(*sim, kBench);
    uint32_t build = 0;
    EXPECT_EQ(m->getBuild(&build), aErrNone);
    EXPECT_EQ(build, 1001u);
    EXPECT_EQ(m->getBuild(nullptr), aErrParam);

    // Flags with bits 0-5, or with both direction bits, are refused before sending.
    for (uint8_t flags : {uint8_t{0xC0}, uint8_t{0x01}, uint8_t{0x20}})
        EXPECT_EQ(m->hasUEI(3, 9, 0, flags), aErrParam) << int(flags);
    EXPECT_EQ(m->hasUEI(3, 9, 0, 0x40), aErrNone) << "the serial number is served for reading";
    EXPECT_NE(m->hasUEI(3, 9, 0, 0x80), aErrParam);
    uint8_t count = 0xEE;
    EXPECT_EQ(m->classQuantity(3, &count), aErrNone);
    EXPECT_EQ(count, 1);
}

TEST_F(ObjectLab, FactoryDataRoundTrip)
{
    auto m = connectTo(*sim, kBench);
    Link* link = m->getLink();
    // 27 bytes go as 26 + 1; 60 bytes come back over three replies (26, 26, 8).
    for (size_t length : {size_t{27}, size_t{60}, size_t{26}}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> record = pattern(length, 0x10);
        ASSERT_EQ(link->setFactoryData(6, 2, record.data(), static_cast<uint32_t>(length)), aErrNone);
        std::vector<uint8_t> back(length + 1);
        uint32_t count = 0;
        ASSERT_EQ(link->getFactoryData(6, 2, back.data(), static_cast<uint32_t>(back.size()), &count), aErrNone);
        ASSERT_EQ(count, length);
        EXPECT_EQ(0, memcmp(back.data(), record.data(), length));
        // The buffer must be one byte longer than the record.
        EXPECT_EQ(link->getFactoryData(6, 2, back.data(), static_cast<uint32_t>(length), &count), aErrOverrun);
    }
}

TEST_F(ObjectLab, StoreSlotRoundTripAndShortBuffer)
{
    auto m = connectTo(*sim, kBench);
    Link* link = m->getLink();
    uint32_t capacity = 0, size = 0;
    EXPECT_EQ(link->storeSlotCapacity(6, 0, 1, &capacity), aErrNone);
    EXPECT_EQ(capacity, 40u);
    std::vector<uint8_t> data = pattern(37, 0x90);
    ASSERT_EQ(link->loadStoreSlot(6, 0, 1, data.data(), 37), aErrNone);
    EXPECT_EQ(link->storeSlotSize(6, 0, 1, &size), aErrNone);
    EXPECT_EQ(size, 37u);

    std::vector<uint8_t> back(64);
    uint32_t count = 0;
    ASSERT_EQ(link->unloadStoreSlot(6, 0, 1, back.data(), 64, &count), aErrNone);
    ASSERT_EQ(count, 37u);
    EXPECT_EQ(0, memcmp(back.data(), data.data(), 37));

    std::vector<uint8_t> part(20, 0);
    EXPECT_EQ(link->unloadStoreSlot(6, 0, 1, part.data(), 20, &count), aErrOverrun);
    EXPECT_EQ(count, 20u);
    EXPECT_EQ(0, memcmp(part.data(), data.data(), 20));
}

TEST_F(ObjectLab, WrongSlotSumFailsAndStillCloses)
{
    auto m = connectTo(*sim, kBadSum);
    std::vector<uint8_t> data = pattern(30, 1);
    EXPECT_EQ(m->getLink()->loadStoreSlot(10, 0, 0, data.data(), 30), aErrIO);
    EXPECT_TRUE(sim->wait_event("0000BAD5 slot-close", 1000ms));
}

TEST_F(ObjectLab, BusModuleSharesTheRoutersLink)
{
    auto router = connectTo(*sim, kRouter);
    ASSERT_EQ(router->getModuleAddress(), 4);
    SystemClass routerSys;
    routerSys.init(router.get(), 0);
    ASSERT_EQ(routerSys.routeToMe(1), aErrNone);

    I2CClass bus;
    bus.init(router.get(), 0);
    ASSERT_EQ(bus.setSpeed(3), aErrNone);
    EXPECT_EQ(bus.setSpeed(4), aErrParam);
    uint8_t speed = 0;
    bus.getSpeed(&speed);
    EXPECT_EQ(speed, 3) << "a refused speed keeps the old one";
    const uint8_t probe[2] = {0, 0};
    EXPECT_EQ(bus.write(0x10, 2, probe), aErrNone);
    EXPECT_NE(bus.write(0x12, 2, probe), aErrNone) << "nobody sits at 0x12";
    std::vector<uint8_t> big(24);
    EXPECT_EQ(bus.write(0x10, 24, big.data()), aErrSize);

    Corvane::Velmarine::Module onBus(0x10, false, 0);
    ASSERT_EQ(onBus.setConfig(objtest::directOnly()), aErrNone);
    ASSERT_EQ(onBus.connectThroughLinkModule(router.get()), aErrNone);
    EXPECT_EQ(onBus.getLink()->getLinkId(), router->getLink()->getLinkId());
    SystemClass sys;
    sys.init(&onBus, 0);
    uint32_t serial = 0;
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kBusModule);
    EXPECT_EQ(onBus.getModuleAddress(), 0x10);

    onBus.disconnect();
    EXPECT_TRUE(router->isConnected()) << "each holder releases the shared link once";
    EXPECT_EQ(routerSys.routeToMe(0), aErrNone);
}

} // namespace

TEST_F(ObjectLab, AnErrorReplyWithCodeZeroIsStillAFailure)
{
    auto m = connectTo(*sim, kZeroCode);
    SystemClass sys;
    sys.init(m.get(), 0);
    uint8_t buf[32];
    uint32_t count = 99;
    EXPECT_EQ(sys.getName(buf, sizeof buf, &count), aErrUnknown);
    EXPECT_EQ(count, 0u);
}
