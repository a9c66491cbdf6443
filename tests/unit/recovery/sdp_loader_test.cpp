// The serial download engine over a scripted transport: the exact packets it sends
// and its results for every kind of ROM answer.
#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "recovery/SDPLoader.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Replies come out one per read, in order; a read with none left gets nothing.
// The data word sits at bytes 4-7, as on a serial line.
class ScriptedTransport : public SDPLoader_Interface {
public:
    ScriptedTransport(std::vector<Bytes>* sent, bool* destroyed = nullptr) : sent_(sent), destroyed_(destroyed) {}
    ~ScriptedTransport() override {
        if (destroyed_) *destroyed_ = true;
    }
    bool init() override { return opens; }
    int writeData(const Bytes& packet) override {
        sent_->push_back(packet);
        return int(packet.size() - 1);
    }
    int readData(Bytes& reply, int timeoutMs) override {
        timeouts.push_back(timeoutMs);
        if (replies.empty()) return 0;
        Bytes r = replies.front();
        replies.pop_front();
        reply.insert(reply.end(), r.begin(), r.end());
        return int(r.size());
    }
    bool getDataFromBuffer(const Bytes& reply, size_t index, uint32_t& value) override {
        if (reply.size() < (index + 2) * 4) return false;
        for (size_t i = 0; i < 4; ++i) value |= uint32_t(reply[index + 4 + i]) << (8 * i);
        return true;
    }

    bool opens = true;
    std::deque<Bytes> replies;
    std::vector<int> timeouts;

private:
    std::vector<Bytes>* sent_;
    bool* destroyed_;
};

Bytes words(uint32_t security, uint32_t data) {
    Bytes b;
    for (uint32_t w : {security, data})
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(w >> (8 * i)));
    return b;
}

const Bytes kAck = words(0x56787856, 0xF0F0F0F0);
const Bytes kErrorStatus = {1, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

}  // namespace

TEST(SdpLoader, WriteLoaderSendsHeaderThenDataPacketsOfAtMost1024) {
    std::vector<Bytes> sent;
    auto* t = new ScriptedTransport(&sent);
    t->replies = {kAck};
    // Polls before each of the five packets get nothing; then the completion.
    for (int i = 0; i < 5; ++i) t->replies.push_back({});
    t->replies.push_back(words(0x56787856, 0x88888888));
    SDPLoader sdp;
    ASSERT_TRUE(sdp.setLoader(t));
    ASSERT_EQ(sdp.init(), 0);

    Bytes image(5000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7);
    EXPECT_EQ(sdp.writeLoader(image, 0x20000000), 0);

    ASSERT_EQ(sent.size(), 7u);
    EXPECT_EQ(sent[0], kErrorStatus);
    const Bytes header = {1, 0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x13, 0x88, 0, 0, 0, 0, 0};
    EXPECT_EQ(sent[1], header);
    Bytes joined;
    const size_t sizes[] = {1024, 1024, 1024, 1024, 904};
    for (size_t i = 0; i < 5; ++i) {
        const Bytes& p = sent[2 + i];
        ASSERT_EQ(p.size(), sizes[i] + 1) << "packet " << i;
        EXPECT_EQ(p[0], 2);
        joined.insert(joined.end(), p.begin() + 1, p.end());
    }
    EXPECT_EQ(joined, image);
    // The polls during the data phase do not wait; the final status read does.
    ASSERT_EQ(t->timeouts.size(), 7u);
    EXPECT_EQ(t->timeouts[1], 0);
    EXPECT_EQ(t->timeouts.back(), 100);
}

TEST(SdpLoader, WriteLoaderResults) {
    struct Case {
        const char* name;
        std::vector<Bytes> replies;
        int result;
        size_t packetsSent;
    };
    const Bytes none;
    const std::vector<Case> cases = {
        {"silent ROM", {}, 2, 5},
        {"answer in the middle of the data phase", {kAck, none, kAck}, 3, 1 + 1 + 1},
        {"refused completion", {kAck, none, none, words(0x56787856, 0x12345678)}, 4, 1 + 1 + 2},
        {"no completion at all", {kAck, none, none}, 4, 1 + 1 + 2},
        {"ROM wakes on the third error status", {none, none, kAck, none, none, words(0, 0x88888888)}, 0, 3 + 1 + 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bytes> sent;
        auto* t = new ScriptedTransport(&sent);
        t->replies.assign(c.replies.begin(), c.replies.end());
        SDPLoader sdp;
        sdp.setLoader(t);
        EXPECT_EQ(sdp.writeLoader(Bytes(2000, 0xA5), 0x20000000), c.result);
        EXPECT_EQ(sent.size(), c.packetsSent);
    }
}

TEST(SdpLoader, StartLoaderSendsJump) {
    std::vector<Bytes> sent;
    auto* t = new ScriptedTransport(&sent);
    SDPLoader sdp;
    sdp.setLoader(t);
    sdp.startLoader(0x20000400);
    const Bytes jump = {1, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], jump);
}

TEST(SdpLoader, FingerprintReadsTwoRegistersLowThenHigh) {
    std::vector<Bytes> sent;
    auto* t = new ScriptedTransport(&sent);
    t->replies = {kAck, words(0x56787856, 0x1234ABCD), words(0x56787856, 0x0BADF00D)};
    SDPLoader sdp;
    sdp.setLoader(t);
    uint64_t value = 0;
    ASSERT_EQ(sdp.getFingerprint(value), 0);
    EXPECT_EQ(value, 0x0BADF00D1234ABCDull);
    ASSERT_EQ(sent.size(), 3u);
    const Bytes low = {1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0};
    const Bytes high = {1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x20, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0};
    EXPECT_EQ(sent[1], low);
    EXPECT_EQ(sent[2], high);
}

TEST(SdpLoader, FingerprintFailures) {
    {
        SCOPED_TRACE("silent ROM");
        std::vector<Bytes> sent;
        SDPLoader sdp;
        sdp.setLoader(new ScriptedTransport(&sent));
        uint64_t value = 0;
        EXPECT_EQ(sdp.getFingerprint(value), 2);
        EXPECT_EQ(sent.size(), 5u);
    }
    {
        SCOPED_TRACE("second register gives no data word");
        std::vector<Bytes> sent;
        auto* t = new ScriptedTransport(&sent);
        t->replies = {kAck, words(0, 1), Bytes(7, 0)};
        SDPLoader sdp;
        sdp.setLoader(t);
        uint64_t value = 0;
        EXPECT_EQ(sdp.getFingerprint(value), 7);
    }
}

TEST(SdpLoader, TransportOwnershipAndInit) {
    SDPLoader empty;
    EXPECT_EQ(empty.init(), 1);
    EXPECT_FALSE(empty.setLoader(nullptr));

    std::vector<Bytes> sentA, sentB;
    bool destroyedA = false, destroyedB = false;
    auto* a = new ScriptedTransport(&sentA, &destroyedA);
    auto* b = new ScriptedTransport(&sentB, &destroyedB);
    {
        SDPLoader sdp;
        ASSERT_TRUE(sdp.setLoader(a));
        EXPECT_FALSE(sdp.setLoader(b));
        sdp.startLoader(0x20000400);
        EXPECT_EQ(sentA.size(), 1u);  // the first transport stays in place
        EXPECT_TRUE(sentB.empty());
        a->opens = false;
        EXPECT_EQ(sdp.init(), 6);
    }
    EXPECT_TRUE(destroyedA);
    EXPECT_FALSE(destroyedB);
    delete b;
}
