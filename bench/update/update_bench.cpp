// A 512 KiB firmware update over TCP loopback, once on the packet path (one data
// packet of 26 bytes and its acknowledgement at a time, as with -m 0) and once on
// the default path (each block one byte-string write, the link's writer pooling its
// packets), against raw round trips of the same data packets between the same two
// processes. Prints the packet path's time against its round trips at raw speed
// (aim: at most 1.5) and the default path's speed-up over the packet path (aim: at
// least 10). Timed: the firmware phase (blocks, sums, writes and the reboot).
//
// The simulated module listens on loopback only; still run it inside
// scripts/netns.sh like every program that starts the virtual lab:
//
//   scripts/netns.sh build/bench/update/bench_update [rounds] [block size]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "lib/object/Module.h"
#include "tests/e2e/support/netlab.h"
#include "tools/birdtool/birdwriter.h"
#include "updater/BirdFile.h"
#include "updater/UpdaterEntity.h"
#include "updater/Updater_update.h"
#include "bench/support/socket_io.h"

namespace {

using bench_io::readExactly;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Corvane::Velmarine::Module;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 6;
constexpr size_t kImageBytes = 512 * 1024;

class QuietDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char* text) override { fprintf(stderr, "%s\n", text); }
};

// n round trips of a 26-byte upgrade data packet and its acknowledgement, as raw
// wire bytes on a socket of its own.
double rawRoundTrips(uint16_t port, long n)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint8_t data[30] = {kAddress, 28, 0x5F, 0x01};
    for (int i = 4; i < 30; ++i) data[i] = static_cast<uint8_t>(i);
    uint8_t reply[5];
    auto t0 = Clock::now();
    for (long i = 0; i < n; ++i) {
        if (write(fd, data, sizeof data) != static_cast<ssize_t>(sizeof data) || !readExactly(fd, reply, sizeof reply)) {
            close(fd);
            return -1;
        }
    }
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    close(fd);
    return s;
}

std::unique_ptr<Module> connect(uint16_t port)
{
    auto m = std::make_unique<Module>(kAddress, true, static_cast<uint8_t>(0));
    Corvane::Velmarine::aEtherConfig direct;
    direct.enabled = false;
    direct.fallback = false;
    m->setConfig(direct);
    linkSpec s{};
    s.type = TCPIP;
    s.serialNumber = kSerial;
    in_addr a{};
    inet_pton(AF_INET, "127.0.0.1", &a);
    s.ipAddress = a.s_addr;
    s.ipPort = port;
    if (m->connectFromSpec(s) != aErrNone) return nullptr;
    return m;
}

// Packets the module received on its last link, from the lab's event log.
long packetsOfLastLink(netlab::SimProcess& sim)
{
    long packets = -1;
    for (const std::string& e : sim.events_of(kSerial)) {
        auto at = e.find("disconnect tcp packets=");
        if (at != std::string::npos) packets = std::atol(e.c_str() + at + 23);
    }
    return packets;
}

// n round trips of the same data packet through the link engine (request out, the
// acknowledgement awaited), on a module whose loader runs.
double engineRoundTrips(Module& m, long n)
{
    UpdaterEntity entity;
    entity.init(&m, 0, false, false);
    uint8_t data[27] = {UpdaterEntity::val_UPGRADE_DATA};
    for (int i = 1; i < 27; ++i) data[i] = static_cast<uint8_t>(i);
    auto t0 = Clock::now();
    for (long i = 0; i < n; ++i) {
        if (entity.sendPacket(cmdUPGRADE, sizeof data, data) != aErrNone) return -1;
        uint8_t reply[32], length = 2;
        const uint8_t match[2] = {cmdUPGRADE, UpdaterEntity::val_UPGRADE_DATA};
        if (entity.receivePacket(match, &length, reply) != aErrNone) return -1;
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// One update's firmware phase; the loader phase before it is not timed. Returns
// seconds, or -1.
double update(uint16_t port, BirdFile& image, bool ueiBytes)
{
    QuietDisplay display;
    auto m = connect(port);
    if (!m || _transfer_loader(display, *m, image) != aErrNone) return -1;
    auto t0 = Clock::now();
    aErr err = _transfer_firmware(display, *m, image, false, ueiBytes);
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (err != aErrNone) {
        fprintf(stderr, "update failed: %d\n", err);
        return -1;
    }
    return s;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (!getenv("VELMARINE_IN_NETNS")) {
        fprintf(stderr, "run me inside scripts/netns.sh: I start the virtual lab\n");
        return 2;
    }
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const unsigned blockSize = argc > 2 ? static_cast<unsigned>(atoi(argv[2])) : 2048;

    // The image: a small loader and 512 KiB of firmware in one block.
    char dir[] = "/tmp/bench-update.XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string path = std::string(dir) + "/fw.bird";
    std::vector<uint8_t> firmware(kImageBytes), loader(200, 0x4C);
    uint32_t x = 12345;
    for (auto& b : firmware) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    birdwriter::BirdSpec spec;
    spec.blocks = {birdwriter::descriptorBlock(1200, "2.11.0", kSerial, "VM-Temp-4"),
                   birdwriter::loaderBlock(0x10000000, loader), birdwriter::firmwareBlock(0, firmware)};
    if (!birdwriter::write_file(path, birdwriter::make_bird(spec))) return 1;
    BirdFile image(path);
    unlink(path.c_str());
    rmdir(dir);

    netlab::SimProcess sim("module serial=40F5849A model=19 address=6 transport=tcp hb=0 reboot_ms=20 uei_data "
                           "features=0x80000000 block_size=" + std::to_string(blockSize),
                           {}, {"--no-discovery"});
    if (!sim.ready()) {
        fprintf(stderr, "lab: %s\n", sim.error().c_str());
        return 1;
    }
    const uint16_t port = *sim.tcp_port(kSerial);

    std::vector<double> packetTimes, defaultTimes, rawTimes, engineTimes;
    long packets = -1;
    for (int i = 0; i < rounds; ++i) {
        const double p = update(port, image, false);
        sim.wait_event("40F5849A disconnect tcp", 2000ms);
        packets = packetsOfLastLink(sim);
        const double d = update(port, image, true);
        // Raw round trips while the module's loader runs again (it answers data packets).
        QuietDisplay display;
        auto m = connect(port);
        const double r = m && _transfer_loader(display, *m, image) == aErrNone ? rawRoundTrips(port, packets) : -1;
        const double e = m ? engineRoundTrips(*m, packets) : -1;
        if (p <= 0 || d <= 0 || r <= 0 || packets <= 0) {
            fprintf(stderr, "round %d failed (packet %.3f, default %.3f, raw %.3f, %ld packets)\n", i, p, d, r, packets);
            return 1;
        }
        packetTimes.push_back(p);
        defaultTimes.push_back(d);
        rawTimes.push_back(r);
        engineTimes.push_back(e);
    }
    const double p = median(packetTimes), d = median(defaultTimes), r = median(rawTimes);
    printf("firmware update: %zu KiB, block size %u, %ld packets on the packet path, median of %d\n",
           kImageBytes / 1024, blockSize, packets, rounds);
    printf("  packet path (-m 0)      %9.2f ms\n", p * 1e3);
    printf("  raw round trips         %9.2f ms\n", r * 1e3);
    printf("  engine round trips      %9.2f ms (the same packets through the link engine)\n",
           median(engineTimes) * 1e3);
    printf("  default path            %9.2f ms\n", d * 1e3);
    printf("  packet / raw            %9.2f (aim: at most 1.5)\n", p / r);
    printf("  speed-up of default     %9.2f (aim: at least 10)\n", p / d);
    return 0;
}
