// Link rules that need no module: the UEI reply filter, specifier types that
// cannot be connected, and connecting by discovery on the host side of a lab.

#include <gtest/gtest.h>

#include <cstring>

#include "lib/common/aPacket.h"
#include "lib/object/Link.h"
#include "lib/object/SystemClass.h"
#include "tests/unit/object/sim_module.h"

namespace {

using Corvane::Velmarine::Link;
using Corvane::Velmarine::Module;

aPacket packet(uint8_t address, std::initializer_list<uint8_t> data)
{
    aPacket p{};
    p.check = aPACKET_CHECK;
    p.address = address;
    p.dataSize = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), p.data);
    return p;
}

TEST(UeiFilter, MatchesTheKeyAndDecodesByLength)
{
    struct Case {
        aPacket p;
        uint8_t accepted;
        int32_t type;
        uint32_t value;
    } cases[] = {
        {packet(6, {3, 9, 0x00, 0x40, 0xF5, 0x84, 0x9A}), 1, ueiTypeInt, 0x40F5849A},
        {packet(6, {3, 9, 0x00, 0x12, 0x34}), 1, ueiTypeShort, 0x1234},
        {packet(6, {3, 9, 0x00, 0x7F}), 1, ueiTypeByte, 0x7F},
        {packet(6, {3, 9, 0x00}), 1, ueiTypeVoid, 0},
        {packet(6, {3, 9, 0x00, 1, 2, 3, 4, 5}), 1, -1, 0},  // other lengths: accepted, record unchanged
        {packet(8, {3, 9, 0x00, 0x7F}), 0, -1, 0},           // another module
        {packet(6, {3, 0x49, 0x00, 0x7F}), 0, -1, 0},        // the request's option, not the reply's
        {packet(6, {3, 9, 0x01, 0x7F}), 0, -1, 0},           // another index
        {packet(6, {3, 9}), 0, -1, 0},                       // too short
    };
    for (const Case& c : cases) {
        uei v{};
        v.module = 6;
        v.command = 3;
        v.option = 9;
        v.specifier = 0;
        v.type = -1;
        EXPECT_EQ(Link::ueiFilter(&c.p, &v), c.accepted) << int(c.p.dataSize);
        EXPECT_EQ(v.type, c.type);
        if (c.type == ueiTypeInt) {
            EXPECT_EQ(v.value.intVal, c.value);
        } else if (c.type == ueiTypeShort) {
            EXPECT_EQ(v.value.shortVal, c.value);
        } else if (c.type == ueiTypeByte) {
            EXPECT_EQ(v.value.byteVal, c.value);
        }
    }

    // An error reply keeps the type and carries the module's code.
    aPacket err = packet(6, {3, 9, 0x80, 29});
    uei v{};
    v.module = 6;
    v.command = 3;
    v.option = 9;
    v.type = ueiTypeVoid;
    ASSERT_EQ(Link::ueiFilter(&err, &v), 1);
    EXPECT_EQ(v.specifier, 0x80);
    EXPECT_EQ(v.value.byteVal, 29);
    EXPECT_EQ(v.type, ueiTypeVoid);
}

// A subindexed read (a byte record holding the subindex) answered in the
// subindexed form gets the value after the echoed subindex, not the subindex.
TEST(UeiFilter, SubindexedRepliesCarryTheirValueAfterTheSubindex)
{
    struct Case {
        aPacket p;
        int32_t type;
        uint32_t value;
    } cases[] = {
        {packet(6, {3, 39, 0x00, 2, 0xDE, 0xAD, 0xBE, 0xEF}), ueiTypeInt, 0xDEADBEEF},
        {packet(6, {3, 39, 0x00, 2, 0x12, 0x34}), ueiTypeShort, 0x1234},
        {packet(6, {3, 39, 0x00, 0x11, 0x22, 0x33, 0x44}), ueiTypeInt, 0x11223344},  // plain form
        {packet(6, {3, 39, 0x00, 1, 0xDE, 0xAD, 0xBE, 0xEF}), ueiTypeByte, 2},       // another subindex
    };
    for (const Case& c : cases) {
        uei v{};
        v.module = 6;
        v.command = 3;
        v.option = 39;
        v.specifier = 0;
        v.type = ueiTypeByte;
        v.value.byteVal = 2;
        ASSERT_EQ(Link::ueiFilter(&c.p, &v), 1) << int(c.p.dataSize);
        EXPECT_EQ(v.type, c.type) << int(c.p.dataSize);
        if (c.type == ueiTypeInt) EXPECT_EQ(v.value.intVal, c.value);
        if (c.type == ueiTypeShort) EXPECT_EQ(v.value.shortVal, c.value);
        if (c.type == ueiTypeByte) EXPECT_EQ(v.value.byteVal, c.value);
    }
}

TEST(LinkConnect, SpecifiersThatCannotBeConnected)
{
    struct Case {
        uint32_t type;  // as it arrives in a record, possibly outside the enumeration
        bool enabled;
        aErr expected;
    } cases[] = {
        {AETHER, false, aErrConfiguration},
        {AETHER_TCPIP, false, aErrConfiguration},
        {INVALID_LINK_TYPE, false, aErrMode},
        {static_cast<linkType>(9), false, aErrMode},
    };
    for (const Case& c : cases) {
        Module m(2, static_cast<uint8_t>(0));
        auto cfg = objtest::directOnly();
        cfg.enabled = c.enabled;
        ASSERT_EQ(m.setConfig(cfg), aErrNone);
        linkSpec spec{};
        memcpy(&spec.type, &c.type, sizeof c.type);
        spec.serialNumber = 1;
        EXPECT_EQ(m.connectFromSpec(spec), c.expected) << c.type;
        EXPECT_FALSE(m.isConnected());
    }
    Module m(2, static_cast<uint8_t>(0));
    Corvane::Velmarine::SystemClass sys;
    sys.init(&m, 0);
    uint8_t model = 0;
    EXPECT_EQ(sys.getModel(&model), aErrConnection) << "no link open";
}

TEST(LinkDiscover, DiscoverAndConnectPicksByModelOrSerialNumber)
{
    netlab::NetLab lab("module serial=40F5849A model=19 address=6 transport=tcp hb=0\n"
                       "module serial=3C5A1B20 model=13 address=2 transport=tcp hb=0\n");
    ASSERT_TRUE(lab.ok()) << lab.error();
    ASSERT_TRUE(lab.on_host_side([&] {
        // Serial number 0 with a model code: the first module of that model.
        Module byModel(2, static_cast<uint8_t>(13));
        ASSERT_EQ(byModel.setConfig(objtest::directOnly()), aErrNone);
        ASSERT_EQ(byModel.discoverAndConnect(TCPIP, 0), aErrNone);
        linkSpec spec{};
        ASSERT_EQ(byModel.getLinkSpecifier(&spec), aErrNone);
        EXPECT_EQ(spec.serialNumber, 0x3C5A1B20u);
        EXPECT_EQ(byModel.getModuleAddress(), 2);

        Module bySerial(2, static_cast<uint8_t>(0));
        ASSERT_EQ(bySerial.setConfig(objtest::directOnly()), aErrNone);
        ASSERT_EQ(bySerial.connect(TCPIP, 0x40F5849A), aErrNone);
        EXPECT_EQ(bySerial.getModuleAddress(), 6) << "learnt after connecting";

        // Without fallback a module that is nowhere is simply not found, and
        // a failed discovery leaves the stored specifier alone.
        Module missing(2, static_cast<uint8_t>(0));
        ASSERT_EQ(missing.setConfig(objtest::directOnly()), aErrNone);
        missing.getLink()->setLinkSpecifier(objtest::tcpSpec(0x11111111, 1));
        EXPECT_EQ(missing.connect(TCPIP, 0x12345678), aErrNotFound);
        ASSERT_EQ(missing.getLinkSpecifier(&spec), aErrNone);
        EXPECT_EQ(spec.serialNumber, 0x11111111u);
    }));
}

} // namespace
