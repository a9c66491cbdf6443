// Discovery: reply decoding, the specifier record, and enumeration against
// simulated modules behind a veth pair.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "lib/common/discover.h"
#include "lib/unix/unix_discovery.h"
#include "tests/e2e/support/netlab.h"

namespace {

using namespace std::chrono_literals;

uint32_t ip(const char* text)
{
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

TEST(DiscoveryReply, DecodesEveryFieldAndTheModelOnlyWhenPresent)
{
    const uint8_t reply[16] = {0x99, 0x06, 0x34, 0x12, 0x9A, 0x84, 0xF5, 0x40, 1, 2, 3, 4, 0x13, 5, 6, 7};
    struct Case {
        size_t length;
        uint32_t model;
    } cases[] = {{16, 0x13}, {13, 0x13}, {12, 0xFF}, {8, 0xFF}};
    for (const Case& c : cases) {
        linkSpec spec;
        memset(&spec, 0xEE, sizeof spec);
        aDiscovery_ParseTCPIPReply(reply, c.length, ip("10.1.2.3"), &spec);
        SCOPED_TRACE(c.length);
        EXPECT_EQ(spec.type, TCPIP);
        EXPECT_EQ(spec.module, 6u);
        EXPECT_EQ(spec.router, 6u);
        EXPECT_EQ(spec.ipPort, 0x1234u);
        EXPECT_EQ(spec.serialNumber, 0x40F5849Au);
        EXPECT_EQ(spec.routerSerialNumber, 0x40F5849Au);
        EXPECT_EQ(spec.model, c.model);
        EXPECT_EQ(spec.ipAddress, ip("10.1.2.3"));
        // Unused bytes are zero: the record travels whole.
        const uint8_t* raw = reinterpret_cast<const uint8_t*>(&spec);
        for (size_t i = 32; i < sizeof spec; ++i) ASSERT_EQ(raw[i], 0) << "byte " << i;
    }
}

TEST(LinkSpecRecord, CreateZeroesCopyDuplicatesDestroyClears)
{
    linkSpec* spec = aLinkSpec_Create(TCPIP);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, TCPIP);
    EXPECT_EQ(spec->serialNumber, 0u);
    spec->ipPort = 9100;
    linkSpec* copy = aLinkSpec_Copy(*spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(memcmp(copy, spec, sizeof(linkSpec)), 0);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
    aLinkSpec_Destroy(&copy);
}

TEST(DiscoveryInterfaces, ConvertsAddressesToDottedText)
{
    char buf[32];
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ip("10.213.7.1"), buf, sizeof buf), 10u);
    EXPECT_STREQ(buf, "10.213.7.1");
    char small[15];
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ip("1.2.3.4"), small, sizeof small), 0u);
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 4), 0);
}

TEST(DiscoveryEnumeration, SerialAndUnknownTypesEnumerateNothing)
{
    auto never = [](const linkSpec*, bool* ok, void*) {
        *ok = true;
        return true;
    };
    EXPECT_EQ(aDiscovery_EnumerateModules(SERIAL, never, nullptr, aDISCOVERY_LOCALHOST), 0);
    EXPECT_EQ(aDiscovery_EnumerateModules(static_cast<linkType>(42), never, nullptr, aDISCOVERY_LOCALHOST), 0);
}

struct Collected {
    std::vector<linkSpec> specs;
    bool markSuccess = true;
    bool stopAfterFirst = false;
};

bool collect(const linkSpec* spec, bool* success, void* ref)
{
    auto* c = static_cast<Collected*>(ref);
    c->specs.push_back(*spec);
    *success = c->markSuccess;
    return !c->stopAfterFirst;
}

class DiscoveryLab : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        lab = new netlab::NetLab("module serial=40F5849A model=19 address=6 transport=tcp hb=0\n"
                                 "module serial=3C5A1B20 model=13 address=2 transport=tcp hb=0\n"
                                 "module serial=0000C0C0 transport=serial hb=0\n");
    }
    static void TearDownTestSuite()
    {
        delete lab;
        lab = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(lab->ok()) << lab->error(); }
    static netlab::NetLab* lab;
};
netlab::NetLab* DiscoveryLab::lab = nullptr;

TEST_F(DiscoveryLab, TcpipEnumerationReportsEveryNetworkModule)
{
    Collected c;
    uint8_t count = 0;
    ASSERT_TRUE(lab->on_host_side([&] { count = aDiscovery_EnumerateModules(TCPIP, collect, &c, aDISCOVERY_LOCALHOST); }));
    ASSERT_EQ(count, 2);
    ASSERT_EQ(c.specs.size(), 2u);
    for (const linkSpec& s : c.specs) {
        EXPECT_EQ(s.type, TCPIP);
        EXPECT_EQ(s.ipAddress, ip(lab->lab_address().c_str()));
        EXPECT_EQ(s.ipPort, *lab->sim().tcp_port(s.serialNumber));
        if (s.serialNumber == 0x40F5849A) {
            EXPECT_EQ(s.module, 6u);
            EXPECT_EQ(s.model, 19u);
        } else {
            EXPECT_EQ(s.serialNumber, 0x3C5A1B20u);
            EXPECT_EQ(s.model, 13u);
        }
    }
}

TEST_F(DiscoveryLab, InterfaceListHoldsTheHostSideAddress)
{
    uint32_t addresses[8] = {};
    uint8_t n = 0, one = 0;
    ASSERT_TRUE(lab->on_host_side([&] {
        n = aDiscovery_GetIPv4Interfaces(addresses, 8);
        uint32_t first[1];
        one = aDiscovery_GetIPv4Interfaces(first, 1);
    }));
    EXPECT_LE(one, 1);
    std::vector<uint32_t> list(addresses, addresses + n);
    EXPECT_NE(std::find(list.begin(), list.end(), ip(lab->host_address().c_str())), list.end());
}

TEST_F(DiscoveryLab, CallbackDecidesTheCountAndTheEnd)
{
    Collected counted;
    counted.stopAfterFirst = true;
    Collected ignored;
    ignored.stopAfterFirst = true;
    ignored.markSuccess = false;
    uint8_t a = 9, b = 9;
    ASSERT_TRUE(lab->on_host_side([&] {
        a = aDiscovery_EnumerateModules(TCPIP, collect, &counted, aDISCOVERY_LOCALHOST);
        b = aDiscovery_EnumerateModules(TCPIP, collect, &ignored, 0);
    }));
    EXPECT_EQ(a, 1);
    EXPECT_EQ(counted.specs.size(), 1u);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(ignored.specs.size(), 1u);
}

TEST_F(DiscoveryLab, FindModuleBySerialFirstAndMissing)
{
    linkSpec* found = nullptr;
    linkSpec* first = nullptr;
    linkSpec* missing = reinterpret_cast<linkSpec*>(1);
    std::chrono::steady_clock::duration missingTook{};
    ASSERT_TRUE(lab->on_host_side([&] {
        found = aDiscovery_FindModule(TCPIP, 0x3C5A1B20, aDISCOVERY_LOCALHOST);
        first = aDiscovery_FindFirstModule(TCPIP, ip(lab->host_address().c_str()));
        auto t0 = std::chrono::steady_clock::now();
        missing = aDiscovery_FindModule(TCPIP, 0x12345678, aDISCOVERY_LOCALHOST);
        missingTook = std::chrono::steady_clock::now() - t0;
    }));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->serialNumber, 0x3C5A1B20u);
    EXPECT_EQ(found->ipPort, *lab->sim().tcp_port(0x3C5A1B20));
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first->serialNumber, 0u);
    EXPECT_EQ(missing, nullptr);
    EXPECT_GE(missingTook, 1900ms) << "a missing module is known only after the reply wait";
    aLinkSpec_Destroy(&found);
    aLinkSpec_Destroy(&first);
}

} // namespace
