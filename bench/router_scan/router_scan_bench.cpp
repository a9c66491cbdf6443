// A full scan of a routing module's bus (discovery of the router, 125 probes,
// three modules read) against the same number of raw round trips over a plain
// TCP socket between the same two processes. Prints the ratio; the aim is at
// most 2. Creates network namespaces and sends discovery: run it only inside
// scripts/netns.sh, as root.
//
//   scripts/netns.sh build/bench/router_scan/bench_router_scan [scans]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "tests/e2e/support/netlab.h"
#include "updater/DeviceInfo.h"
#include "updater/Updater.h"
#include "bench/support/socket_io.h"

namespace {

using bench_io::readExactly;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kRouter = 0x52A0C0DE;
const char* kLab = "router serial=52A0C0DE model=5 address=4 transport=tcp hb=0\n"
                   "bus serial=1B0B0010 model=14 address=0x10\n"
                   "bus serial=1B0B0024 model=19 address=0x24\n"
                   "bus serial=1B0B0040 model=20 address=0x40\n";

class QuietDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char* text) override { fprintf(stderr, "%s\n", text); }
};

// Packets the router received on its last link, from the lab's event log.
long packetsOfLastLink(netlab::SimProcess& sim)
{
    long packets = -1;
    for (const std::string& e : sim.events_of(kRouter)) {
        auto at = e.find("disconnect tcp packets=");
        if (at != std::string::npos) packets = std::atol(e.c_str() + at + 23);
    }
    return packets;
}

// n round trips of an I2C probe of an empty bus address, as raw wire bytes.
double rawRoundTrips(const std::string& address, uint16_t port, long n)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const uint8_t probe[9] = {0x04, 7, 8, 0, 0x12, 2, 3, 0, 0};
    uint8_t reply[7];
    auto t0 = Clock::now();
    for (long i = 0; i < n; ++i) {
        if (write(fd, probe, sizeof probe) != static_cast<ssize_t>(sizeof probe) || !readExactly(fd, reply, sizeof reply)) {
            close(fd);
            return -1;
        }
    }
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    close(fd);
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    if (!getenv("VELMARINE_IN_NETNS")) {
        fprintf(stderr, "run me inside scripts/netns.sh: I send discovery requests\n");
        return 2;
    }
    const int scans = argc > 1 ? std::max(1, atoi(argv[1])) : 5;

    netlab::NetLab lab(kLab);
    if (!lab.ok()) {
        fprintf(stderr, "lab: %s\n", lab.error().c_str());
        return 1;
    }
    const uint16_t port = *lab.sim().tcp_port(kRouter);

    std::vector<double> scanTimes, rawTimes;
    size_t found = 0;
    long packets = -1;
    for (int i = 0; i < scans; ++i) {
        QuietDisplay display;
        Updater updater("http://127.0.0.1:1/cgi/u", "/nonexistent", display);
        double took = -1;
        lab.on_host_side([&] {
            auto t0 = Clock::now();
            std::vector<DeviceInfo> devices = updater.Discover_VMNetwork_Devices(kRouter, TCPIP);
            took = std::chrono::duration<double>(Clock::now() - t0).count();
            found = devices.size();
        });
        lab.sim().wait_event("52A0C0DE disconnect tcp", 2000ms);
        packets = packetsOfLastLink(lab.sim());
        if (found != 3 || packets <= 0) {
            fprintf(stderr, "scan %d found %zu modules over %ld packets\n", i, found, packets);
            return 1;
        }
        scanTimes.push_back(took);

        double raw = -1;
        lab.on_host_side([&] { raw = rawRoundTrips(lab.lab_address(), port, packets); });
        if (raw <= 0) {
            fprintf(stderr, "raw round trips failed\n");
            return 1;
        }
        rawTimes.push_back(raw);
    }
    std::sort(scanTimes.begin(), scanTimes.end());
    std::sort(rawTimes.begin(), rawTimes.end());
    const double scan = scanTimes[scanTimes.size() / 2];
    const double raw = rawTimes[rawTimes.size() / 2];
    printf("router scan: %zu modules, %ld packets to the router, median of %d\n", found, packets, scans);
    printf("  full scan          %8.2f ms\n", scan * 1e3);
    printf("  raw round trips    %8.2f ms\n", raw * 1e3);
    printf("  ratio              %8.2f (aim: at most 2)\n", scan / raw);
    return 0;
}
