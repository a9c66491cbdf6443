// The module side of the upgrade entity: loader blocks, firmware pieces with byte
// sums and writes, reboot, and the switches that make it misbehave.
#include "tests/unit/sim/sim_fixture.h"

namespace {

using simtest::Bench;
using simtest::Bytes;

Bytes image(std::size_t n, uint8_t seed)
{
    Bytes v;
    for (std::size_t i = 0; i < n; ++i)
        v.push_back(static_cast<uint8_t>(seed + i * 13));
    return v;
}

uint32_t sum_of(const Bytes& b, std::size_t from, std::size_t n)
{
    uint32_t s = 0;
    for (std::size_t i = from; i < from + n; ++i)
        s += b[i];
    return s;
}

Bytes be32(uint32_t v)
{
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

// Sends bytes [from, from+n) in data packets of at most 26 bytes.
void send_pieces(Bench& b, const Bytes& img, std::size_t from, std::size_t n)
{
    for (std::size_t off = 0; off < n; off += 26) {
        std::size_t k = std::min<std::size_t>(26, n - off);
        Bytes req{0x5F, 1};
        req.insert(req.end(), img.begin() + from + off, img.begin() + from + off + k);
        ASSERT_EQ(b.one(req), (Bytes{0x5F, 1, static_cast<uint8_t>(k)}));
    }
}

TEST(SimUpgrade, LoaderThenFirmwareEndsInFlashAndTheNewBuild)
{
    Bench b("module serial=1 address=2 transport=tcp hb=0 build=100 build_after_update=101 block_size=64 "
            "load_base=0x10000000");
    EXPECT_EQ(b.one({0x5F, 0}), (Bytes{0x5F, 0, 0x10, 0, 0, 0}));

    const Bytes loader = image(40, 1);
    Bytes prep{0x5F, 3, 0x01};
    Bytes addr = be32(0x10000000);
    prep.insert(prep.end(), addr.begin(), addr.end());
    EXPECT_EQ(b.one(prep), (Bytes{0x5F, 7, 0, 0, 64}));
    send_pieces(b, loader, 0, loader.size());
    Bytes sum{0x5F, 7, 0};
    Bytes s = be32(sum_of(loader, 0, loader.size()));
    sum.insert(sum.end(), s.begin(), s.end());
    EXPECT_EQ(b.one({0x5F, 4}), sum);
    EXPECT_EQ(b.one({0x5F, 2}), (Bytes{0x5F, 2}));
    ASSERT_TRUE(b.top().loader_running());
    EXPECT_EQ(b.top().loader().at(0x10000000), loader);

    // Firmware: one block of 100 bytes at 0x08000000 in pieces of the block size 64.
    const Bytes fw = image(100, 7);
    Bytes fprep{0x5F, 3, 0x02};
    Bytes faddr = be32(0x08000000);
    fprep.insert(fprep.end(), faddr.begin(), faddr.end());
    EXPECT_EQ(b.one(fprep), (Bytes{0x5F, 7, 0, 0, 64}));
    for (std::size_t off = 0; off < fw.size(); off += 64) {
        std::size_t k = std::min<std::size_t>(64, fw.size() - off);
        send_pieces(b, fw, off, k);
        auto r = b.one({0x5F, 4});
        ASSERT_EQ(r.size(), 7u);
        EXPECT_EQ(r[3] << 24 | r[4] << 16 | r[5] << 8 | r[6], static_cast<int>(sum_of(fw, off, k)));
        EXPECT_EQ(b.one({0x5F, 5, 0, static_cast<uint8_t>(k)}), (Bytes{0x5F, 7, 0}));
    }
    EXPECT_TRUE(b.ask({0x5F, 6}).empty()) << "reboot is not answered";
    EXPECT_TRUE(b.session().dropped()) << "the direct link goes down";
    ASSERT_EQ(b.top().flash().size(), 1u);
    EXPECT_EQ(b.top().flash().at(0x08000000), fw);
    EXPECT_EQ(b.top().option(43)->value, 101u);
    EXPECT_FALSE(b.top().loader_running());
}

TEST(SimUpgrade, WriteCountMustMatchAndNothingHappensBeforeInit)
{
    Bench b("module serial=1 transport=tcp hb=0 in_loader");
    EXPECT_EQ(b.one({0x5F, 3, 0, 0, 0, 0x10, 0}), (Bytes{0x5F, 7, 0, 1, 0}));
    send_pieces(b, image(30, 0), 0, 30);
    EXPECT_EQ(b.one({0x5F, 5, 0, 29}), (Bytes{0x5F, 7, 14}));
    EXPECT_TRUE(b.top().flash().empty());

    Bench fresh("module serial=2 transport=tcp hb=0");
    EXPECT_EQ(fresh.one({0x5F, 3, 0, 0, 0, 0, 0}), (Bytes{0x5F, 7, 7}));
    EXPECT_TRUE(fresh.ask({0x5F, 1, 1, 2, 3}).empty());
    EXPECT_TRUE(fresh.ask({0x5F, 2}).empty());
}

TEST(SimUpgrade, MisbehaviourSwitches)
{
    Bench shorty("module serial=1 transport=tcp hb=0 in_loader short_ack bad_upgrade_sum");
    shorty.one({0x5F, 3, 0, 0, 0, 0, 0});
    Bytes piece{0x5F, 1};
    for (int i = 0; i < 26; ++i)
        piece.push_back(1);
    EXPECT_EQ(shorty.one(piece), (Bytes{0x5F, 1, 25})) << "first piece acknowledged one short";
    EXPECT_EQ(shorty.one(piece), (Bytes{0x5F, 1, 26}));
    EXPECT_EQ(shorty.one({0x5F, 4}), (Bytes{0x5F, 7, 0, 0, 0, 0, 27})) << "sum 26 reported as 27";

    Bench refusing("module serial=1 transport=tcp hb=0 in_loader prepare_status=1");
    EXPECT_EQ(refusing.one({0x5F, 3, 0, 0, 0, 0, 0}), (Bytes{0x5F, 7, 1}));

    Bench quiet("module serial=1 transport=tcp hb=0 no_load_reply");
    quiet.one({0x5F, 0});
    EXPECT_TRUE(quiet.ask({0x5F, 2}).empty());
    EXPECT_TRUE(quiet.top().loader_running());
}

TEST(SimUpgrade, BlocksAsByteStringsWhenTheModuleSaysSo)
{
    Bench plain("module serial=1 transport=tcp hb=0");
    EXPECT_EQ(plain.one({0x49, 1, 0x5F, 10, 0, 0x80}), (Bytes{0x49, 1, 0x5F, 10, 0, 28}));

    Bench b("module serial=1 transport=tcp hb=0 in_loader uei_data");
    EXPECT_EQ(b.one({0x49, 1, 0x5F, 10, 0, 0x80}), (Bytes{0x49, 1, 0x5F, 10, 0, 0}));
    b.one({0x5F, 3, 0, 0, 0, 0x20, 0});
    const Bytes blk = image(30, 3);
    Bytes c1{0x5F, 0x8A, 0x20};
    c1.insert(c1.end(), blk.begin(), blk.begin() + 24);
    c1.push_back(0x80);
    EXPECT_TRUE(b.ask(c1).empty());
    Bytes c2{0x5F, 0x8A, 0x20};
    c2.insert(c2.end(), blk.begin() + 24, blk.end());
    c2.push_back(0x01);
    EXPECT_EQ(b.one(c2), (Bytes{0x5F, 0xCA, 0}));
    auto r = b.one({0x5F, 4});
    EXPECT_EQ(r[3] << 24 | r[4] << 16 | r[5] << 8 | r[6], static_cast<int>(sum_of(blk, 0, 30)));
    EXPECT_EQ(b.one({0x5F, 5, 0, 30}), (Bytes{0x5F, 7, 0}));
    EXPECT_EQ(b.top().flash().at(0x2000), blk);
}

TEST(SimUpgrade, BusModuleRebootKeepsTheRoutersLinkUp)
{
    Bench b("router serial=A address=4 transport=tcp hb=0\nbus serial=B address=0x10 in_loader\n");
    EXPECT_TRUE(b.ask(0x10, {0x5F, 6}).empty());
    EXPECT_FALSE(b.session().dropped());
    EXPECT_EQ(b.ask(0xAD, {}).size(), 1u);
}

} // namespace
