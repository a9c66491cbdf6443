// Round trips through the link engine against raw socket ping-pong of the
// same bytes between the same two processes, and the CPU an idle link uses.
// Opens sockets: run it only inside scripts/netns.sh.
//
//   scripts/netns.sh build/bench/link_engine/bench_link_engine [round-trips] [idle-seconds]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "lib/common/aLink.h"
#include "bench/support/socket_io.h"

namespace {

using bench_io::readExactly;
using bench_io::writeAll;

using Clock = std::chrono::steady_clock;

const uint8_t kRequest[5] = {0x02, 0x03, 0x03, 0x48, 0x20};

// The answering module: echoes every packet addressed to a module, answers
// sync queries with an empty packet from address 2, ignores route forcing.
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
            } else if ((head[0] & 1) == 0) {
                uint8_t reply[258];
                std::memcpy(reply, head, 2);
                std::memcpy(reply + 2, data, head[1]);
                writeAll(fd, reply, head[1] + 2u);
            }
        }
        close(fd);
    }
}

int connectTo(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

uint8_t isReply(const aPacket* p, void*) { return p->dataSize == 3 && p->data[0] == 0x03; }

} // namespace

int main(int argc, char** argv)
{
    if (std::getenv("VELMARINE_IN_NETNS") == nullptr) {
        std::fprintf(stderr, "bench_link_engine opens sockets: run it through scripts/netns.sh\n");
        return 2;
    }
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;

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

    // Raw ping-pong of the same bytes.
    std::vector<double> raw;
    {
        int fd = connectTo(port);
        uint8_t reply[5];
        for (int i = 0; i < rounds + 100; ++i) {
            const auto t0 = Clock::now();
            if (!writeAll(fd, kRequest, 5) || !readExactly(fd, reply, 5)) {
                std::fprintf(stderr, "raw ping-pong failed\n");
                return 1;
            }
            if (i >= 100)
                raw.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
        close(fd);
    }

    // The same exchange through an engine link.
    aLinkRef link = aLink_CreateTCPIP(0x0B0E0C01, htonl(INADDR_LOOPBACK), port);
    if (link == 0 || aLink_Sync(link) != aErrNone) {
        std::fprintf(stderr, "engine link failed\n");
        return 1;
    }
    std::vector<double> engine;
    aPacket* request = aPacket_CreateWithData(kRequest[0], kRequest[1], kRequest + 2);
    for (int i = 0; i < rounds + 100; ++i) {
        const auto t0 = Clock::now();
        aLink_PutPacket(link, request);
        aPacket* reply = aLink_AwaitFirst(link, isReply, nullptr, 1000);
        if (reply == nullptr) {
            std::fprintf(stderr, "engine round trip %d lost\n", i);
            return 1;
        }
        aPacket_Destroy(&reply);
        if (i >= 100)
            engine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    aPacket_Destroy(&request);

    const double rawMedian = median(raw);
    const double engineMedian = median(engine);
    std::printf("round trips: %d each, median raw %.1f us, median engine %.1f us\n", rounds, rawMedian,
                engineMedian);
    std::printf("ratio engine/raw: %.2f (goal <= 1.5)\n", engineMedian / rawMedian);
    std::fflush(stdout);

    // An idle running link.
    const double cpu0 = cpuSeconds();
    const auto wall0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double cpu = cpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    std::printf("idle link: %.3f s CPU over %.1f s = %.2f%% of one core (goal < 1%%)\n", cpu, wall,
                100.0 * cpu / wall);

    aLink_Destroy(&link);
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    return 0;
}
