// Request/reply round trips through the network server against the same
// round trips on a direct engine link to the same answering module, in one
// run. Opens sockets: run it only inside scripts/netns.sh.
//
//   scripts/netns.sh build/bench/netserver/bench_netserver [round-trips]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/common/aLink.h"
#include "bench/support/socket_io.h"

namespace {

using bench_io::readExactly;
using bench_io::writeAll;

using Clock = std::chrono::steady_clock;

const uint8_t kRequest[5] = {0x02, 0x03, 0x03, 0x48, 0x20};  // system get of the model
const uint8_t kModelReply[6] = {0x02, 0x04, 0x03, 0x08, 0x20, 0x13};

// The answering module: the model query gets the model, address queries an
// empty packet from address 2; route forcing is ignored. One connection at a time.
[[noreturn]] void runPeer(int listenFd)
{
    for (;;) {
        int fd = accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            _exit(0);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        uint8_t head[2];
        uint8_t data[256];
        while (readExactly(fd, head, 2) && readExactly(fd, data, head[1])) {
            if (head[0] == 0xAD) {
                const uint8_t answer[2] = {0x02, 0x00};
                writeAll(fd, answer, 2);
            } else if (head[0] == 0x02 && head[1] == 3 && std::memcmp(data, kRequest + 2, 3) == 0) {
                writeAll(fd, kModelReply, sizeof kModelReply);
            }
        }
        close(fd);
    }
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

uint8_t isReply(const aPacket* p, void*)
{
    return p->dataSize == 4 && p->data[0] == 0x03;
}

// Median microseconds per round trip on the link, after a warm-up; negative on a loss.
double measure(aLinkRef link, int rounds)
{
    std::vector<double> times;
    aPacket* request = aPacket_CreateWithData(kRequest[0], kRequest[1], kRequest + 2);
    for (int i = 0; i < rounds + 100; ++i) {
        const auto t0 = Clock::now();
        aLink_PutPacket(link, request);
        aPacket* reply = aLink_AwaitFirst(link, isReply, nullptr, 3000);
        if (reply == nullptr) {
            std::fprintf(stderr, "round trip %d lost\n", i);
            aPacket_Destroy(&request);
            return -1;
        }
        aPacket_Destroy(&reply);
        if (i >= 100)
            times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    aPacket_Destroy(&request);
    return median(times);
}

} // namespace

int main(int argc, char** argv)
{
    if (std::getenv("VELMARINE_IN_NETNS") == nullptr) {
        std::fprintf(stderr, "bench_netserver opens sockets: run it through scripts/netns.sh\n");
        return 2;
    }
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 3000;

    int listenFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listenFd, 4) != 0) {
        std::perror("listen");
        return 1;
    }
    socklen_t len = sizeof a;
    getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
    const uint16_t port = ntohs(a.sin_port);
    const pid_t child = fork();
    if (child == 0)
        runPeer(listenFd);
    close(listenFd);
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    int status = 1;

    // The same module, first directly, then through a server in front of a
    // new direct link (the peer serves one connection at a time).
    aLinkRef direct = aLink_CreateTCPIP(0x0B0E0C01, loopback, port);
    const double directUs = direct != 0 ? measure(direct, rounds) : -1;
    aLink_Destroy(&direct);

    aLinkRef served = aLink_CreateTCPIP(0x0B0E0C02, loopback, port);
    uint16_t serverPort = 0;
    uint32_t iface = 0;
    aLinkRef client = served != 0 ? aLink_CreateServer(served, &serverPort, &iface, true) : 0;
    if (client == 0) {
        std::fprintf(stderr, "server could not be started\n");
        aLink_Destroy(&served);
    } else {
        const double serverUs = measure(client, rounds);
        if (directUs > 0 && serverUs > 0) {
            std::printf("round trips: %d each, median direct %.1f us, median through the server %.1f us\n", rounds,
                        directUs, serverUs);
            std::printf("ratio server/direct: %.2f (goal <= 3)\n", serverUs / directUs);
            status = 0;
        }
        aLink_Destroy(&client);
    }
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    return status;
}
