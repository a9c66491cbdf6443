// The link side of the simulated module: address queries, route forcing,
// heartbeats, the routing module's bus, and the misbehaviour switches.
#include "tests/unit/sim/sim_fixture.h"

namespace {

using simtest::Bench;
using simtest::Bytes;
using vmsim::Packet;

const char* kRouterLab = "router serial=AAAA0001 address=4 transport=tcp hb=0\n"
                         "bus serial=B0000010 address=0x10 model=13 version=2.10.3\n"
                         "bus serial=B0000024 address=0x24 deny=9\n";

TEST(SimLink, AddressQueryIsAnsweredFromTheModuleAddressAndForceRouteRecorded)
{
    Bench b(kRouterLab);
    auto r = b.ask(0xAD, {});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], (Packet{0x04, {}}));
    EXPECT_TRUE(b.ask(0xAF, {1}).empty());
    EXPECT_TRUE(b.top().force_route());
    b.ask(0xAF, {0});
    EXPECT_FALSE(b.top().force_route());
    EXPECT_TRUE(b.ask(0x03, {1, 2}).empty()) << "odd addresses are link codes, not modules";
}

TEST(SimLink, HeartbeatsAlternateAndAnswersAreChecked)
{
    Bench b("module serial=1 address=2 transport=tcp hb=500");
    EXPECT_TRUE(b.advance(499).empty());
    auto hb1 = b.advance(1);
    ASSERT_EQ(hb1.size(), 1u);
    EXPECT_EQ(hb1[0], (Packet{0x02, {0, 0}}));
    EXPECT_TRUE(b.ask({0, 2}).empty()) << "the answer is consumed, not treated as a request";
    auto hb2 = b.advance(500);
    ASSERT_EQ(hb2.size(), 1u);
    EXPECT_EQ(hb2[0], (Packet{0x02, {0, 1}}));
    b.ask({0, 1}); // wrong: should be 3
    EXPECT_EQ(b.session().hb_sent(), 2u);
    EXPECT_EQ(b.session().hb_ok(), 1u);
    EXPECT_EQ(b.session().hb_bad(), 1u);
}

TEST(SimRouter, I2cWritesAreAcknowledgedWhereAModuleSits)
{
    Bench b(kRouterLab);
    EXPECT_EQ(b.one({8, 0, 0x10, 2, 3, 0, 0}), (Bytes{8, 0, 0x10, 0, 0}));
    EXPECT_EQ(b.one({8, 0, 0x12, 2, 3, 0, 0}), (Bytes{8, 0, 0x12, 0, 0x86}));
    EXPECT_EQ(b.one({8, 0, 0x04, 2, 3, 0, 0}), (Bytes{8, 0, 0x04, 0, 0x86})) << "the router is not on its own bus";
    EXPECT_EQ(b.one({8, 0, 0x10, 3, 3, 0, 0}), (Bytes{8, 0, 0x10, 0, 0x8E})) << "length disagrees with bytes";
    EXPECT_EQ(b.one({8, 0, 0x25, 2, 3}), (Bytes{8, 0, 0x25, 2, 0, 0, 0}));
    EXPECT_EQ(b.one({8, 0, 1, 1}), (Bytes{8, 0, 1, 0, 0}));
    EXPECT_EQ(b.one({8, 1, 0x10, 2, 3, 0, 0}), (Bytes{8, 1, 0x10, 0, 0x9A}));
}

TEST(SimRouter, BusModulesAnswerOverTheRoutersLink)
{
    Bench b(kRouterLab);
    auto r = b.ask(0x10, {3, 0x49, 0x20});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], (Packet{0x10, {3, 9, 0, 0xB0, 0x00, 0x00, 0x10}}));
    EXPECT_EQ(b.one(0x10, {3, 0x42, 0x20}), (Bytes{3, 2, 0, 4})) << "a bus module's router is its router";
    EXPECT_EQ(b.one(0x24, {3, 0x49, 0x20}), (Bytes{3, 9, 0x80, 29})) << "serial number cannot be read";
    EXPECT_TRUE(b.ask(0x30, {3, 0x49, 0x20}).empty()) << "nobody at 0x30";
    EXPECT_TRUE(b.ask(0x10, {0, 2}).empty()) << "heartbeat answers belong to the link's own module";
}

TEST(SimRouter, StrictRoutingNeedsRouteToMe)
{
    Bench b("router serial=AAAA0001 address=4 transport=tcp hb=0 strict_route\n"
            "bus serial=B0000010 address=0x10\n");
    EXPECT_TRUE(b.ask(0x10, {3, 0x49, 0x20}).empty());
    EXPECT_EQ(b.one({3, 0x94, 0x20, 1}), (Bytes{3, 0xD4, 0, 1}));
    EXPECT_EQ(b.ask(0x10, {3, 0x49, 0x20}).size(), 1u);
    b.one({3, 0x94, 0x20, 0});
    EXPECT_TRUE(b.ask(0x10, {3, 0x49, 0x20}).empty());
}

TEST(SimMisbehaviour, SilentLateWrongLengthAndDrop)
{
    Bench silent("module serial=1 transport=tcp hb=200 silent");
    EXPECT_TRUE(silent.ask(0xAD, {}).empty());
    EXPECT_TRUE(silent.ask({0x49, 0xFF}).empty());
    EXPECT_TRUE(silent.advance(1000).empty()) << "no heartbeats either";

    Bench late("module serial=1 transport=tcp hb=0 late=1500:3:32");
    EXPECT_EQ(late.ask(0xAD, {}).size(), 1u) << "only the chosen answers are late";
    EXPECT_EQ(late.ask({3, 0x49, 0x20}).size(), 1u);
    EXPECT_TRUE(late.ask({3, 0xA0, 0x20, 'a', 0x00}).empty());
    EXPECT_TRUE(late.advance(1499).empty());
    auto ack = late.advance(1);
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(ack[0].data, (Bytes{3, 0xE0, 0}));

    Bench shortb("module serial=1 transport=tcp hb=0 wrong_length=73");
    EXPECT_EQ(shortb.one({0x49, 0xFF}), (Bytes{0x49, 0xFF, 0, 0, 0})) << "five bytes instead of six";
    EXPECT_EQ(shortb.one({3, 0x48, 0x20}).size(), 4u) << "other commands keep their length";

    Bench drop("module serial=1 transport=tcp hb=0 drop_after=3");
    drop.ask(0xAF, {1});
    EXPECT_EQ(drop.ask(0xAD, {}).size(), 1u);
    EXPECT_FALSE(drop.session().dropped());
    EXPECT_TRUE(drop.ask(0xAD, {}).empty());
    EXPECT_TRUE(drop.session().dropped());
}

TEST(SimConfig, DescriptionLinesAreCheckedAndVersionsPacked)
{
    EXPECT_EQ(vmsim::pack_version(2, 14, 3), 0x2E000003u);
    EXPECT_EQ(vmsim::pack_version(2, 15, 0), 0x2F020F00u);
    EXPECT_EQ(vmsim::pack_version(3, 0, 7), 0x2F030007u);
    const std::vector<std::string> bad = {
        "module model=4 transport=tcp",                          // no serial
        "module serial=1",                                       // no transport
        "module serial=1 transport=tcp address=3",               // odd address
        "bus serial=2 address=0x10",                             // no router before it
        "module serial=1 transport=tcp colour=red",              // unknown key
        "module serial=1 transport=tcp name=\"" + std::string(33, 'n') + "\"", // name over 32 bytes
        "router serial=1 transport=tcp\nbus serial=2 address=2", // at the router's address
        "module serial=1 transport=tcp\nmodule serial=1 transport=tcp",
    };
    for (const auto& text : bad) {
        vmsim::LabConfig cfg;
        EXPECT_THROW(vmsim::parse_config_text(text, cfg), std::runtime_error) << text;
    }
    vmsim::LabConfig cfg;
    vmsim::parse_config_text("# lab\nrouter serial=0x0A transport=tcp:9000 address=4\n"
                             "  bus serial=B address=16 name=\"two words\"\n",
                             cfg);
    ASSERT_EQ(cfg.modules.size(), 2u);
    EXPECT_EQ(cfg.modules[0].port, 9000);
    EXPECT_EQ(cfg.modules[1].parent, 0x0Au);
    EXPECT_EQ(cfg.modules[1].name, "two words");
    EXPECT_EQ(*cfg.modules[1].router_address, 4);
}

} // namespace
